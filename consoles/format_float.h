#pragma once
// FormatFloat: one spectrum value as the consoles print it. Plain C++, no Win32.

namespace consoles {

// Longest result is -FLT_MAX: a sign, 39 digits, a point and ten decimals.
constexpr int kFloatTextCapacity = 64;

struct FloatText {
    wchar_t text[kFloatTextCapacity];
};

// "+Infinity", "-Infinity" or "NaN"; otherwise the value widened to double in "%.10f"
// of the system C library, trailing zeros and a trailing point dropped. Both zeros
// print "0"; a negative value that rounds to zero keeps its sign ("-0").
FloatText FormatFloat(float value);

}  // namespace consoles

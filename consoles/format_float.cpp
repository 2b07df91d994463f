#include "format_float.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <cstdint>

// The digits must be msvcrt's (it rounds exact ties away from zero). In the msvcrt
// runtime, _vsnwprintf is always the DLL import, whatever __USE_MINGW_ANSI_STDIO says;
// the UCRT headers would swap in another printf.
#ifdef _UCRT
#error "FormatFloat prints with msvcrt.dll's _vsnwprintf; build against msvcrt"
#endif

namespace consoles {
namespace {

void Copy(FloatText& out, const wchar_t* text) {
    int i = 0;
    for (; text[i] && i < kFloatTextCapacity - 1; ++i) out.text[i] = text[i];
    out.text[i] = L'\0';
}

int PrintTo(wchar_t* buffer, size_t count, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return n;
}

}  // namespace

FloatText FormatFloat(float value) {
    FloatText out;
    std::uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    if ((bits & 0x7F800000u) == 0x7F800000u) {
        if (bits & 0x007FFFFFu)
            Copy(out, L"NaN");
        else
            Copy(out, (bits & 0x80000000u) ? L"-Infinity" : L"+Infinity");
        return out;
    }
    if (value == 0.0f) value = 0.0f;  // -0 prints as 0

    // _vsnwprintf leaves the buffer unterminated when the text fills it exactly.
    const int n = PrintTo(out.text, kFloatTextCapacity - 1, L"%.10f", static_cast<double>(value));
    if (n < 0) {
        out.text[0] = L'\0';  // cannot happen for a finite float; print nothing rather than junk
        return out;
    }
    out.text[n] = L'\0';

    int end = n;
    if (end > 0 && out.text[end - 1] == L'0' && wcschr(out.text, L'.')) {
        while (out.text[end - 1] == L'0') --end;
        if (out.text[end - 1] == L'.') --end;
        out.text[end] = L'\0';
    }
    return out;
}

}  // namespace consoles

// FormatFloat against the system C library it prints through (msvcrt under Wine here).
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <cstring>
#include <string>

#include "format_float.h"

namespace {

float FromBits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::wstring Format(float value) { return consoles::FormatFloat(value).text; }

struct Case {
    const char* name;
    float value;
    const wchar_t* printed;
};

const Case kCases[] = {
    {"one and a half", 1.5f, L"1.5"},
    {"zero", 0.0f, L"0"},
    {"negative zero", -0.0f, L"0"},
    {"hundred keeps its zeros before the point", 100.0f, L"100"},
    {"ten million", 10000000.0f, L"10000000"},
    {"0.1 as stored", 0.1f, L"0.1000000015"},
    {"123456.789 as stored", 123456.789f, L"123456.7890625"},
    {"1e-10 as stored", 1e-10f, L"0.0000000001"},
    {"small positive rounds to zero", 2.25e-11f, L"0"},
    {"small negative keeps its sign", -2.25e-11f, L"-0"},
    {"negative", -7.25f, L"-7.25"},
    {"positive infinity", FromBits(0x7F800000u), L"+Infinity"},
    {"negative infinity", FromBits(0xFF800000u), L"-Infinity"},
    {"quiet NaN", FromBits(0x7FC00000u), L"NaN"},
    {"negative NaN", FromBits(0xFFC00000u), L"NaN"},
    {"signalling NaN with payload", FromBits(0x7F800001u), L"NaN"},
    {"NaN with full payload", FromBits(0xFFFFFFFFu), L"NaN"},
    // Exact ties at the tenth decimal: msvcrt rounds away from zero, glibc to even.
    {"tie 562.35986328125", 562.35986328125f, L"562.3598632813"},
    {"tie 2^-11", 0.00048828125f, L"0.0004882813"},
    {"negative tie", -0.00048828125f, L"-0.0004882813"},
    {"smallest denormal", FromBits(0x00000001u), L"0"},
    {"largest denormal", FromBits(0x007FFFFFu), L"0"},
    {"negative denormal", FromBits(0x80000001u), L"-0"},
    {"no trailing zero to drop", 0.5f + 1.0f / 1024.0f, L"0.5009765625"},
    {"large integral value", 16777216.0f, L"16777216"},
};

TEST(FormatFloat, PrintsEveryCaseAsTheSystemLibraryDoes) {
    for (const Case& c : kCases) EXPECT_EQ(Format(c.value), c.printed) << c.name;
}

// Beyond 1e17 the digits after the seventeenth significant one are the C library's,
// and so is the rounding of the seventeenth (Windows' msvcrt rounds there, Wine's prints
// the exact value). Ours: the sign, the first sixteen digits, the digit count, no point.
TEST(FormatFloat, HugeValuesKeepTheirLeadingDigitsAndShape) {
    struct Huge {
        float value;
        const wchar_t* exact;  // the float's exact decimal value
    };
    const Huge cases[] = {
        {1e17f, L"99999998430674944"},
        {1e20f, L"100000002004087734272"},
        {FLT_MAX, L"340282346638528859811704183484516925440"},
        {-FLT_MAX, L"340282346638528859811704183484516925440"},
    };
    for (const Huge& c : cases) {
        const std::wstring text = Format(c.value);
        const std::wstring exact = c.exact;
        const bool negative = c.value < 0;
        const std::wstring digits = text.substr(negative ? 1 : 0);
        SCOPED_TRACE(std::string(text.begin(), text.end()));
        EXPECT_EQ(negative, !text.empty() && text[0] == L'-');
        EXPECT_EQ(digits.size(), exact.size());
        EXPECT_EQ(digits.find_first_not_of(L"0123456789"), std::wstring::npos);
        EXPECT_EQ(digits.substr(0, 16), exact.substr(0, 16));
        const int seventeenth = digits.size() > 16 ? digits[16] - L'0' : -1;
        const int exact17 = exact[16] - L'0';
        EXPECT_TRUE(seventeenth == exact17 || seventeenth == exact17 + 1) << "17th digit " << seventeenth;
    }
}

}  // namespace

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "printer.h"

namespace dv::detail {

namespace {

// Powers of ten that a double holds exactly.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxExactPow10 = 22;

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The 12 significant digits of a (finite, positive) rounded to nearest,
// ties to even, and the decimal exponent of the first:
// a ~ digits * 10^(exponent - 11). False when a needs a power of ten that
// a double does not hold exactly.
bool roundTo12Digits(double a, uint64_t& digits, int& exponent) {
    uint64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    const int binaryExponent = static_cast<int>((bits >> 52) & 0x7FF) - 1023;
    // floor(log10(a)), or one less.
    int x = (binaryExponent * 78913) >> 18;
    for (int attempt = 0; attempt < 2; ++attempt) {
        // y = a * 10^k in one correctly rounded operation, within 2^-14 of
        // the exact value t as y < 2^40.
        const int k = 11 - x;
        const bool multiply = k >= 0;
        if ((multiply ? k : -k) > kMaxExactPow10) return false;
        const double scale = kPow10[multiply ? k : -k];
        const double y = multiply ? a * scale : a / scale;
        if (y < 1e11) {
            --x;
            continue;
        }
        if (y >= 1e12) {
            ++x;
            continue;
        }
        const auto whole = static_cast<uint64_t>(y);
        const double fraction = y - static_cast<double>(whole);
        bool up = fraction > 0.5;
        if (fraction > 0.499 && fraction < 0.501) {
            // Near the midpoint: the sign of t - (whole + 0.5), exactly. The
            // product's error and the quotient's remainder are doubles.
            double side;
            if (multiply) {
                side = (fraction - 0.5) + std::fma(a, scale, -y);
            } else {
                side = std::fma(fraction - 0.5, scale, std::fma(-y, scale, a));
            }
            up = side > 0 || (side == 0 && (whole & 1) != 0);
        }
        digits = whole + (up ? 1 : 0);
        exponent = x;
        if (digits == 1000000000000ULL) {
            digits = 100000000000ULL;
            ++exponent;
        }
        return true;
    }
    return false;
}

// Writes the 12 decimal digits of n (below 10^12), leading zeros included.
void write12Digits(char* p, uint64_t n) {
    const uint32_t groups[3] = {static_cast<uint32_t>(n / 100000000),
                                static_cast<uint32_t>(n / 10000 % 10000), static_cast<uint32_t>(n % 10000)};
    for (uint32_t group : groups) {
        std::memcpy(p, kDigitPairs + 2 * (group / 100), 2);
        std::memcpy(p + 2, kDigitPairs + 2 * (group % 100), 2);
        p += 4;
    }
}

// The number of digits left of the 12 at p when trailing '0's are dropped
// (the first digit is not '0').
int significantDigits(const char* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Words of digits with '0' bytes cleared; the last digit is the high byte.
    uint64_t tail;
    std::memcpy(&tail, p + 4, sizeof tail);
    tail ^= 0x3030303030303030ULL;
    if (tail) return 12 - __builtin_clzll(tail) / 8;
    uint32_t head;
    std::memcpy(&head, p, sizeof head);
    head ^= 0x30303030U;
    return 4 - __builtin_clz(head) / 8;
#else
    int count = 12;
    while (p[count - 1] == '0') --count;
    return count;
#endif
}

}  // namespace

char* writeDouble(char* p, double d) {
    uint64_t rounded = 0;
    int x = 0;
    const double a = d < 0 ? -d : d;
    if (a == 0) {
        if (std::signbit(d)) *p++ = '-';
        *p++ = '0';
        return p;
    }
    // Infinities, NaN and the extreme exponents go the long way.
    if (!(a <= 1.7976931348623157e308) || !roundTo12Digits(a, rounded, x)) {
        return std::to_chars(p, p + kDoubleTextSize, d, std::chars_format::general, 12).ptr;
    }
    // "%.12g": no trailing zeros, fixed notation for exponents -4 to 11.
    // The digits are written in place and moved with fixed-size copies
    // (the room after them is kDoubleTextSize).
    if (d < 0) *p++ = '-';
    if (x < -4 || x >= 12) {
        // d.ddde+XX: the first digit goes before the point.
        write12Digits(p + 1, rounded);
        const int count = significantDigits(p + 1);
        p[0] = p[1];
        p[1] = '.';
        p += count > 1 ? count + 1 : 1;
        *p++ = 'e';
        *p++ = x < 0 ? '-' : '+';
        int e = x < 0 ? -x : x;
        if (e >= 100) {
            *p++ = static_cast<char>('0' + e / 100);
            e %= 100;
        }
        std::memcpy(p, kDigitPairs + 2 * e, 2);
        return p + 2;
    }
    if (x < 0) {
        // 0.000ddd
        std::memcpy(p, "0.000000", 8);
        p += 1 - x;
        write12Digits(p, rounded);
        return p + significantDigits(p);
    }
    write12Digits(p, rounded);
    const int count = significantDigits(p);
    const int whole = x + 1;
    if (count <= whole) return p + whole;
    // ddd.ddd: the fraction moves one place for the point.
    char fraction[16];
    std::memcpy(fraction, p + whole, 16);
    std::memcpy(p + whole + 1, fraction, 16);
    p[whole] = '.';
    return p + count + 1;
}

void appendDouble(std::string& out, double d) {
    char buf[kDoubleTextSize];
    out.append(buf, writeDouble(buf, d));
}

}  // namespace dv::detail

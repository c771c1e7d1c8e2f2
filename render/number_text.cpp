#include "render/number_text.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include <json/writer.h>

namespace novex {
namespace render {

namespace {

constexpr int kSignificant = 17;  // "%.17g"

// The writer's own text, for the values the fast way leaves alone.
size_t WriterText(double value, char (&out)[kRealTextRoom]) {
    const std::string text = Json::valueToString(value);
    const size_t length = text.size() < kRealTextRoom ? text.size() : kRealTextRoom;
    std::memcpy(out, text.data(), length);
    return length;
}

// An unsigned integer of up to kLimbs 32-bit limbs, least significant first: the
// float's integer times a power of five.
constexpr int kLimbs = 8;
struct Wide {
    uint32_t limb[kLimbs] = {};
    int used = 1;

    // *= factor; false if the product needs more limbs than there are.
    bool Multiply(uint32_t factor) {
        uint64_t carry = 0;
        for (int i = 0; i < used; ++i) {
            const uint64_t product = uint64_t{limb[i]} * factor + carry;
            limb[i] = static_cast<uint32_t>(product);
            carry = product >> 32;
        }
        if (carry == 0) return true;
        if (used == kLimbs) return false;
        limb[used++] = static_cast<uint32_t>(carry);
        return true;
    }
    // /= 10^9; returns the remainder. (A constant divisor is a multiplication.)
    uint32_t DivideByBillion() {
        constexpr uint64_t kBillion = 1000000000u;
        uint64_t rest = 0;
        for (int i = used; i-- > 0;) {
            const uint64_t part = (rest << 32) | limb[i];
            limb[i] = static_cast<uint32_t>(part / kBillion);
            rest = part % kBillion;
        }
        while (used > 1 && limb[used - 1] == 0) --used;
        return static_cast<uint32_t>(rest);
    }
    bool Zero() const { return used == 1 && limb[0] == 0; }
};

const char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The decimal digits of `number`, most significant first, end at `end`; returns where
// they begin (8 limbs are below 10^78: at most 78 of them).
char* Digits(Wide number, char* end) {
    char* at = end;
    do {
        uint32_t chunk = number.DivideByBillion();
        if (number.Zero()) {  // the leading chunk: no leading zeros
            while (chunk >= 100) {
                at -= 2;
                std::memcpy(at, kPairs + 2 * (chunk % 100), 2);
                chunk /= 100;
            }
            if (chunk >= 10) {
                at -= 2;
                std::memcpy(at, kPairs + 2 * chunk, 2);
            } else if (chunk != 0 || at == end) {
                *--at = static_cast<char>('0' + chunk);
            }
            break;
        }
        for (int i = 0; i < 4; ++i) {
            at -= 2;
            std::memcpy(at, kPairs + 2 * (chunk % 100), 2);
            chunk /= 100;
        }
        *--at = static_cast<char>('0' + chunk);
    } while (true);
    return at;
}

// The significant digits of mantissa * 2^exponent (not zero), rounded to 17, at
// `digits` (room for 96): how many, and where the point goes (the value is
// 0.d1d2d3... * 10^point). False if the value needs more limbs than a Wide has.
bool ExactDigits(uint32_t mantissa, int exponent, char* digits, int& count, int& point) {
    // The exact value as number * 10^-scale.
    Wide number;
    number.limb[0] = mantissa;
    // m * 2^-k = m * 5^k * 10^-k, five to the 13th (below 2^32) at a time.
    static const uint32_t kFives[14] = {1,        5,         25,        125,       625,
                                        3125,     15625,     78125,     390625,    1953125,
                                        9765625,  48828125,  244140625, 1220703125};
    const int step = exponent >= 0 ? 31 : 13;
    int times = exponent >= 0 ? exponent : -exponent;
    const int scale = exponent >= 0 ? 0 : times;
    for (; times > 0; times -= step) {
        const int now = times < step ? times : step;
        const uint32_t factor = exponent >= 0 ? uint32_t{1} << now : kFives[now];
        if (!number.Multiply(factor)) return false;
    }
    char buffer[96];
    const char* const first = Digits(number, buffer + sizeof buffer);
    count = static_cast<int>(buffer + sizeof buffer - first);
    std::memcpy(digits, first, static_cast<size_t>(count));
    point = count - scale;

    // Rounded to 17 significant digits, to nearest, ties to even.
    if (count > kSignificant) {
        bool up = digits[kSignificant] > '5';
        if (digits[kSignificant] == '5') {
            up = (digits[kSignificant - 1] - '0') % 2 != 0;  // a tie goes to the even digit
            for (int i = kSignificant + 1; i < count; ++i)
                if (digits[i] != '0') up = true;
        }
        count = kSignificant;
        if (up) {
            int i = count - 1;
            while (i >= 0 && digits[i] == '9') digits[i--] = '0';
            if (i >= 0) {
                ++digits[i];
            } else {
                digits[0] = '1';  // 99...9 became 100...0
                ++point;
            }
        }
    }
    return true;
}

#if defined(__SIZEOF_INT128__)
// The same for the values of the document, where 128-bit integers hold them: a
// fraction of up to 27 binary digits (m * 2^-k = m * 5^k * 10^-k, below 2^87) or an
// integer below 10^17. Rounding drops the last j of D digits: m * 5^k / 10^j is
// m * 5^(k-j) / 2^j, whose quotient and remainder are a shift and a mask. False for
// any other value.
__extension__ typedef unsigned __int128 Wide128;  // a GCC and Clang type

constexpr int kMostFives = 27;  // 5^27 < 2^63, and m * 5^27 < 10^27

template <typename T, size_t N>
constexpr std::array<T, N> Powers(T base) {
    std::array<T, N> powers{};
    T power = 1;
    for (size_t i = 0; i < N; ++i, power *= base) powers[i] = power;
    return powers;
}
constexpr std::array<uint64_t, kMostFives + 1> kFivePowers = Powers<uint64_t, kMostFives + 1>(5);
constexpr std::array<Wide128, kMostFives + 1> kTenPowers = Powers<Wide128, kMostFives + 1>(10);

// Decimal digits of 0 < n < 10^27.
int DecimalDigits(Wide128 n) {
    const uint64_t high = static_cast<uint64_t>(n >> 64);
    const int bits = high != 0 ? 128 - __builtin_clzll(high)
                               : 64 - __builtin_clzll(static_cast<uint64_t>(n));
    const int digits = (bits * 1233) >> 12;  // bits * log10(2): the count or one short
    return digits + (n >= kTenPowers[static_cast<size_t>(digits)] ? 1 : 0);
}

bool FastDigits(uint32_t mantissa, int exponent, char* digits, int& count, int& point) {
    const uint64_t limit = static_cast<uint64_t>(kTenPowers[kSignificant]);
    uint64_t shown;  // the significant digits, rounded
    int total;       // digits of the exact value
    if (exponent >= 0) {
        if (exponent > 39) return false;
        shown = uint64_t{mantissa} << exponent;  // below 2^63
        if (shown >= limit) return false;
        total = DecimalDigits(shown);
        point = total;
    } else {
        const int k = -exponent;
        if (k > kMostFives) return false;
        const Wide128 exact = Wide128{mantissa} * kFivePowers[static_cast<size_t>(k)];
        total = DecimalDigits(exact);
        point = total - k;
        if (total <= kSignificant) {
            shown = static_cast<uint64_t>(exact);
        } else {
            const int j = total - kSignificant;  // below k: the value is below 2^24
            const Wide128 scaled = Wide128{mantissa} * kFivePowers[static_cast<size_t>(k - j)];
            shown = static_cast<uint64_t>(scaled >> j);
            const Wide128 rest = scaled & ((Wide128{1} << j) - 1);
            const Wide128 half = Wide128{1} << (j - 1);
            if (rest > half || (rest == half && (shown & 1) != 0)) ++shown;
            if (shown == limit) {  // 99...9 became 100...0
                shown /= 10;
                ++point;
            }
            total = kSignificant;
        }
    }
    count = total < kSignificant ? total : kSignificant;
    // Two digits at a time, the last eight apart from the others: two short chains.
    char* at = digits + count;
    int left = count;
    if (left > 8) {
        uint32_t low = static_cast<uint32_t>(shown % 100000000u);
        shown /= 100000000u;
        for (int i = 0; i < 4; ++i, low /= 100) std::memcpy(at -= 2, kPairs + 2 * (low % 100), 2);
        left -= 8;
    }
    auto high = static_cast<uint32_t>(shown);  // below 10^9
    for (; left >= 2; left -= 2, high /= 100) std::memcpy(at -= 2, kPairs + 2 * (high % 100), 2);
    if (left != 0) *--at = static_cast<char>('0' + high);
    return true;
}
#endif

}  // namespace

size_t RealText(double value, char (&out)[kRealTextRoom]) {
    const float single = static_cast<float>(value);
    if (!std::isfinite(value) || static_cast<double>(single) != value)
        return WriterText(value, out);
    uint32_t bits;
    std::memcpy(&bits, &single, sizeof bits);
    const bool negative = (bits >> 31) != 0;
    const int biased = static_cast<int>((bits >> 23) & 0xff);
    uint32_t mantissa = bits & 0x7fffff;
    int exponent = biased == 0 ? -149 : biased - 150;  // value = mantissa * 2^exponent
    if (biased != 0) mantissa |= 1u << 23;

    char digits[96];
    int count = 1;
    int point = 1;
    if (mantissa == 0) {
        digits[0] = '0';
    } else {
        if (exponent < 0) {  // the binary fraction without its trailing zeros
            const int zeros = std::min(__builtin_ctz(mantissa), -exponent);
            mantissa >>= zeros;
            exponent += zeros;
        }
#if defined(__SIZEOF_INT128__)
        const bool fast = FastDigits(mantissa, exponent, digits, count, point);
#else
        const bool fast = false;
#endif
        if (!fast && !ExactDigits(mantissa, exponent, digits, count, point))
            return WriterText(value, out);
    }
    while (count > 1 && digits[count - 1] == '0') --count;  // %g drops trailing zeros

    size_t length = 0;
    if (negative) out[length++] = '-';
    const int decimal_exponent = point - 1;
    bool plain = true;  // neither point nor exponent shown
    if (decimal_exponent < -4 || decimal_exponent >= kSignificant) {
        out[length++] = digits[0];
        if (count > 1) {
            out[length++] = '.';
            std::memcpy(out + length, digits + 1, static_cast<size_t>(count - 1));
            length += static_cast<size_t>(count - 1);
        }
        out[length++] = 'e';
        out[length++] = decimal_exponent < 0 ? '-' : '+';
        const int magnitude = std::abs(decimal_exponent);
        if (magnitude >= 100) out[length++] = static_cast<char>('0' + magnitude / 100);
        out[length++] = static_cast<char>('0' + magnitude / 10 % 10);
        out[length++] = static_cast<char>('0' + magnitude % 10);
        plain = false;
    } else if (point <= 0) {
        out[length++] = '0';
        out[length++] = '.';
        for (int i = point; i < 0; ++i) out[length++] = '0';
        std::memcpy(out + length, digits, static_cast<size_t>(count));
        length += static_cast<size_t>(count);
        plain = false;
    } else {
        for (int i = 0; i < point; ++i) out[length++] = i < count ? digits[i] : '0';
        if (count > point) {
            out[length++] = '.';
            std::memcpy(out + length, digits + point, static_cast<size_t>(count - point));
            length += static_cast<size_t>(count - point);
            plain = false;
        }
    }
    if (plain) {
        out[length++] = '.';
        out[length++] = '0';
    }
    return length;
}

}  // namespace render
}  // namespace novex

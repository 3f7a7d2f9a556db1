// Shortest digits of a float32 by the Schubfach method (R. Giulietti, "The
// Schubfach way to render doubles", 2020), narrowed to float32, and the two
// text layouts built on them. The digits are split in the lanes of one 64-bit
// word (two halves, four pairs, eight digits) and stored as one block where
// the layout wants them; there is no intermediate scientific string.
#include "io/float_text.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace kemb::io {
namespace {

__extension__ typedef unsigned __int128 uint128;

// A finite float32 is c x 2^q with c < 2^24 and -149 <= q <= 104; the decimal
// scale 10^k chosen for it below has -45 <= k <= 31.
constexpr int kMinK = -45;
constexpr int kMaxK = 31;

// floor(q log10 2), floor(q log10 2 + log10 3/4) and floor(k log2 10), in
// fixed point. Compared with exact rational arithmetic for |q|, |k| < 300,
// which covers every float32 with room to spare.
constexpr int floor_log10_pow2(int q) { return (q * 1262611) >> 22; }
constexpr int floor_log10_three_quarters_pow2(int q) { return (q * 1262611 - 524031) >> 22; }
constexpr int floor_log2_pow10(int k) { return (k * 1741647) >> 19; }

// 10^-k scaled by a power of two into [2^63, 2^64) and rounded up:
// floor(10^-k x 2^(63 - floor(log2 10^-k))) + 1. Rounding up keeps every
// product with it at or just above the exact value, never below.
constexpr std::uint64_t scaled_pow10(int k) {
  const int m = -k;
  const int shift = 63 - floor_log2_pow10(m);
  if (m >= 0) {
    // 10^m = 5^m x 2^m, and 5^45 < 2^105 fits: keep its top 64 bits.
    uint128 five = 1;
    for (int i = 0; i < m; ++i) five *= 5;
    const int s = shift + m;
    return static_cast<std::uint64_t>(s >= 0 ? five << s : five >> -s) + 1;
  }
  // 2^shift / 10^-m by long division, one quotient bit per step.
  uint128 divisor = 1;
  for (int i = 0; i < -m; ++i) divisor *= 10;
  uint128 remainder = 1;
  std::uint64_t quotient = 0;
  for (int i = 0; i < shift; ++i) {
    remainder <<= 1;
    quotient <<= 1;
    if (remainder >= divisor) {
      remainder -= divisor;
      quotient |= 1;
    }
  }
  return quotient + 1;
}

constexpr auto kScaledPow10 = [] {
  std::array<std::uint64_t, kMaxK - kMinK + 1> table{};
  for (int k = kMinK; k <= kMaxK; ++k) table[k - kMinK] = scaled_pow10(k);
  return table;
}();
static_assert([] {
  for (std::uint64_t g : kScaledPow10) {
    if (g >> 63 != 1) return false;
  }
  return true;
}());

// g x x / 2^64 rounded to odd: the integer part, with its lowest bit set
// when a fraction was dropped. Against an even integer such a value compares
// exactly as the unrounded one would, and the comparisons below are all
// against even integers. g exceeds the exact power of ten by less than one
// unit, so the low word carries an excess below x < 2^30: bits under 2^30
// are taken as that noise, not as a fraction. That the bits above them never
// mislead is what tools/check_float_text establishes for every float32.
inline std::uint32_t round_to_odd(std::uint64_t g, std::uint32_t x) {
  const uint128 product = static_cast<uint128>(g) * x;
  const auto high = static_cast<std::uint32_t>(product >> 64);
  const auto low = static_cast<std::uint64_t>(product);
  return high | static_cast<std::uint32_t>((low >> 30) != 0);
}

// `bits`: a finite, non-zero float32 without its sign.
[[gnu::always_inline]] inline Decimal decimal_of(std::uint32_t bits) {
  const std::uint32_t biased = bits >> 23;
  const std::uint32_t fraction = bits & 0x7fffffu;
  const std::uint32_t c = biased != 0 ? fraction | 0x800000u : fraction;
  const int q = biased != 0 ? static_cast<int>(biased) - 150 : -149;
  // Everything within half a step of c reads back as c; in quarters of 2^q
  // that is [4c - 2, 4c + 2], except above a power of two, where the step
  // below is half the one above: [4c - 1, 4c + 2]. The bounds belong to the
  // interval when c is even (ties round to even).
  const bool irregular = fraction == 0 && biased > 1;
  // 10^k is chosen so that the interval, scaled by 10^-k, is 1 to 10 wide:
  // it holds at least one integer and at most one multiple of 10.
  const int k = irregular ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
  const int h = q + floor_log2_pow10(-k) + 1;  // 1 to 4
  const std::uint64_t g = kScaledPow10[static_cast<std::size_t>(k - kMinK)];
  const std::uint32_t cb = c << 2;
  const std::uint32_t vb = round_to_odd(g, cb << h);
  const std::uint32_t open = c & 1;
  const std::uint32_t lower = round_to_odd(g, (cb - 2 + irregular) << h) + open;
  const std::uint32_t upper = round_to_odd(g, (cb + 2) << h) - open;
  // In quarters: x is inside exactly when lower <= 4x <= upper.
  const std::uint32_t s = vb >> 2;
  // A multiple of 10 inside is shorter than any other candidate. (Below 10,
  // "10" has no fewer digits than s or s + 1, which the nearest rule then
  // decides.)
  const std::uint32_t sp = s / 10;
  const bool tens_down_inside = lower <= 40 * sp;
  const bool tens_up_inside = 40 * sp + 40 <= upper;
  const bool shorter = (s >= 10) & (tens_down_inside != tens_up_inside);
  // Otherwise s or s + 1, whichever is inside; if both are, the nearer one,
  // and the even one on a tie (vb compares exactly with the even 4s + 2).
  const std::uint32_t middle = 4 * s + 2;
  const bool nearer_up = (vb > middle) | ((vb == middle) & ((s & 1) != 0));
  const bool down_inside = lower <= 4 * s;
  const bool up_inside = 4 * s + 4 <= upper;
  const std::uint32_t nearest = s + (up_inside & (!down_inside | nearer_up));
  // Which of the two it is depends on the value's last digits: no pattern
  // for the branch predictor, so both are computed and one is selected.
  const std::uint32_t take_shorter = 0u - shorter;
  Decimal decimal{((sp + tens_up_inside) & take_shorter) | (nearest & ~take_shorter),
                  k + shorter};
  // Only the shorter candidate can end in zeros, or s + 1 = 10.
  while (decimal.digits % 10 == 0) {
    decimal.digits /= 10;
    ++decimal.exponent;
  }
  return decimal;
}

// "00" to "99", for the exponent.
constexpr auto kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

constexpr std::array<std::uint32_t, 10> kPow10 = {
    1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};

// Decimal digits of d >= 1: 1233 / 4096 is just above log10 2, so the bit
// width gives the count or one less.
int digit_count(std::uint32_t d) {
  const int t = (std::bit_width(d) * 1233) >> 12;
  return t + (d >= kPow10[static_cast<std::size_t>(t)]);
}

// The eight decimal digits of x < 10^8, leading zeros included, as ASCII
// bytes with the first digit in the lowest byte (memory order on x86-64 and
// little-endian ARM). Both halves, then the four pairs, then the eight digits
// are split in parallel in lanes of one 64-bit word; the reciprocals are
// exact for lanes below 10^4 and 100.
std::uint64_t eight_digits(std::uint32_t x) {
  std::uint64_t v = (x / 10000) | (static_cast<std::uint64_t>(x % 10000) << 32);
  const std::uint64_t hundreds = ((v * 10486) >> 20) & 0x0000007f0000007fu;
  v = hundreds | ((v - hundreds * 100) << 16);
  const std::uint64_t tens = ((v * 103) >> 10) & 0x000f000f000f000fu;
  v = tens | ((v - tens * 10) << 8);
  return v + 0x3030303030303030u;
}

void store8(char* out, std::uint64_t bytes) { std::memcpy(out, &bytes, 8); }

// The n digits of d at `out`, with a point after the first `point` of them
// when point < n; returns the end. Up to 9 bytes past the end are scratch.
// Where the point goes is not predictable from one value to the next, so it
// costs no branch: with point = n it lands in the scratch.
[[gnu::always_inline]] inline char* write_digits(char* out, std::uint32_t d, int n, int point) {
  static_assert(std::endian::native == std::endian::little);
  if (n == 9) {
    const std::uint32_t first = d / 100000000;
    d -= first * 100000000;
    *out++ = static_cast<char>('0' + first);
    if (point == 1) {
      *out++ = '.';
      point = n;
    }
    --point;
    --n;
  }
  const std::uint64_t v = eight_digits(d) >> (8 * (8 - n));
  store8(out, v);
  out[point] = '.';
  store8(out + point + 1, v >> (8 * point % 64));  // point = 8 = n: scratch anyway
  return out + n + (point < n);
}

char* write_zeros(char* out, int count) {
  std::memset(out, '0', static_cast<std::size_t>(count));
  return out + count;
}

}  // namespace

Decimal shortest_decimal(float value) noexcept {
  return decimal_of(std::bit_cast<std::uint32_t>(value) & 0x7fffffffu);
}

char* format_float(float value, char* out) noexcept {
  std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  if ((bits & 0x7f800000u) == 0x7f800000u) {
    std::memcpy(out, "null", 4);
    return out + 4;
  }
  // The sign of weights is a coin toss: no branch for it.
  *out = '-';
  out += bits >> 31;
  bits &= 0x7fffffffu;
  if (bits == 0) {
    std::memcpy(out, "0.0", 3);
    return out + 3;
  }
  const Decimal decimal = decimal_of(bits);
  const std::uint32_t d = decimal.digits;
  const int n = digit_count(d);
  const int e = decimal.exponent + n;  // value = 0.d x 10^e
  constexpr int kMaxPositional = 13;
  if (decimal.exponent < 0 && e > -6 && e <= kMaxPositional) {
    // Below one, "0.", -e zeros and the digits; otherwise the digits with a
    // point inside. Data crosses 1 all the time: one path for both.
    const int below_one = -static_cast<int>(e <= 0);  // all ones or zero
    std::memcpy(out, "0.000000", 8);
    return write_digits(out + ((2 - e) & below_one), d, n, e + ((n - e) & below_one));
  }
  if (e > 0 && e <= kMaxPositional) {
    // A whole number: at most 12 zeros follow the digits, stored as one block.
    out = write_digits(out, d, n, n);
    std::memcpy(out, "0000000000000000", 16);
    out += decimal.exponent;
    std::memcpy(out, ".0", 2);
    return out + 2;
  }
  out = write_digits(out, d, n, 1);  // d.ddd, or d alone
  *out++ = 'e';
  int x = e - 1;  // -45 to 38
  if (x < 0) {
    *out++ = '-';
    x = -x;
  }
  if (x >= 10) {
    std::memcpy(out, &kDigitPairs[static_cast<std::size_t>(2 * x)], 2);
    return out + 2;
  }
  *out = static_cast<char>('0' + x);
  return out + 1;
}

char* format_positional(float value, char* out) noexcept {
  std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  if ((bits & 0x7fffffffu) > 0x7f800000u) {
    std::memcpy(out, "NaN", 3);
    return out + 3;
  }
  *out = '-';
  out += bits >> 31;
  bits &= 0x7fffffffu;
  if (bits == 0x7f800000u) {
    std::memcpy(out, "inf", 3);
    return out + 3;
  }
  if (bits == 0) {
    *out = '0';
    return out + 1;
  }
  const Decimal decimal = decimal_of(bits);
  const int n = digit_count(decimal.digits);
  const int e = decimal.exponent + n;
  if (e <= 0) {
    std::memcpy(out, "0.", 2);
    return write_digits(write_zeros(out + 2, -e), decimal.digits, n, n);
  }
  if (e >= n) return write_zeros(write_digits(out, decimal.digits, n, n), e - n);
  return write_digits(out, decimal.digits, n, e);
}

}  // namespace kemb::io

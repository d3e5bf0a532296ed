#include "common/format.h"

#include <algorithm>
#include <charconv>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vm {

FreeLine& FreeLine::text(std::string_view s) {
  body_.append(s);
  any_ = true;
  return *this;
}

// "%12lld": right-aligned in 12 columns, wider where the number needs it.
FreeLine& FreeLine::num(int64_t v) {
  char buf[24];
  const char* end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  const auto digits = static_cast<size_t>(end - buf);
  if (digits < 12) body_.append(12 - digits, ' ');
  body_.append(buf, digits);
  any_ = true;
  return *this;
}

std::string FreeLine::str() const {
  if (!any_) return "\n";
  std::string line;
  line.reserve(body_.size() + 2);
  line.push_back(' ');
  line.append(body_);
  line.push_back('\n');
  return line;
}

std::string fmt_A(std::string_view s, int w) {
  if (w <= 0) return {};
  size_t width = static_cast<size_t>(w);
  if (s.size() >= width) return std::string(s.substr(0, width));
  return std::string(width - s.size(), ' ') + std::string(s);
}

std::string fmt_I(int64_t v, int w, int m) {
  if (w <= 0) return {};
  uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  std::string digits = std::to_string(mag);
  if (m == 0 && v == 0) digits.clear();
  if (static_cast<int>(digits.size()) < m) digits.insert(0, static_cast<size_t>(m) - digits.size(), '0');
  if (v < 0) digits.insert(0, 1, '-');
  if (static_cast<int>(digits.size()) > w) return std::string(static_cast<size_t>(w), '*');
  return std::string(static_cast<size_t>(w) - digits.size(), ' ') + digits;
}

namespace {

// A product of at most 117 bits, high and low words.
struct Wide {
  uint64_t hi, lo;
};

// m * p for m < 2^53 and p < 2^32, in halves that cannot overflow.
Wide multiply(uint64_t m, uint64_t p) {
  const uint64_t upper = (m >> 32) * p, lower = (m & 0xffffffffu) * p;
  const uint64_t lo = lower + (upper << 32);
  return {(upper >> 32) + (lo < lower ? 1 : 0), lo};
}

bool less(Wide a, Wide b) { return a.hi < b.hi || (a.hi == b.hi && a.lo < b.lo); }

// n / 2^s rounded to nearest, a tie to even, for 0 < s < 128 and a
// quotient that fits 64 bits.
uint64_t shift_rounded(Wide n, int s) {
  uint64_t q;
  Wide rest, half;
  if (s >= 64) {
    const int k = s - 64;  // 0..63
    q = k == 0 ? n.hi : n.hi >> k;
    rest = {k == 0 ? 0 : n.hi & ((uint64_t{1} << k) - 1), n.lo};
    half = k == 0 ? Wide{0, uint64_t{1} << 63} : Wide{uint64_t{1} << (k - 1), 0};
  } else {
    q = (n.lo >> s) | (n.hi << (64 - s));
    rest = {0, n.lo & ((uint64_t{1} << s) - 1)};
    half = {0, uint64_t{1} << (s - 1)};
  }
  if (less(half, rest) || (!less(rest, half) && (q & 1) != 0)) ++q;
  return q;
}

constexpr uint64_t kPowersOfTen[] = {1,         10,         100,         1000,         10000,
                                     100000,    1000000,    10000000,    100000000,    1000000000};
constexpr int kMostQuickDecimals = 9;

// |v| * 10^d rounded as printf rounds the exact binary value (to nearest,
// a tie to even), for finite v and d <= kMostQuickDecimals; false when the
// result could pass 2^62.
bool scaled_rounded(double v, int d, uint64_t& q) {
  const uint64_t p = kPowersOfTen[d];
  const double a = std::fabs(v);
  if (!(a < 4611686018427387904.0 / static_cast<double>(p))) return false;  // 2^62
  if (a == 0) {
    q = 0;
    return true;
  }
  int exponent;
  const double fraction = std::frexp(a, &exponent);  // a = fraction * 2^exponent, fraction in [0.5, 1)
  const auto m = static_cast<uint64_t>(std::ldexp(fraction, 53));
  const int e = exponent - 53;  // a = m * 2^e exactly
  if (e >= 0) {
    q = (m << e) * p;
    return true;
  }
  const int s = -e;
  q = s >= 128 ? 0 : shift_rounded(multiply(m, p), s);  // past 2^128 the product is below half a unit
  return true;
}

// The digits of "%.*f": the sign (kept on a value that rounds to zero),
// the whole part, and d decimals; empty where the quick way does not
// apply.
std::string_view quick_fixed(double v, int d, char (&buf)[48]) {
  uint64_t q;
  if (d < 0 || d > kMostQuickDecimals || !std::isfinite(v) || !scaled_rounded(v, d, q)) return {};
  const uint64_t p = kPowersOfTen[d];
  char* out = buf;
  if (std::signbit(v)) *out++ = '-';
  out = std::to_chars(out, buf + sizeof buf, q / p).ptr;
  if (d > 0) {
    *out++ = '.';
    uint64_t decimals = q % p;
    for (int k = d - 1; k >= 0; --k, decimals /= 10) out[k] = static_cast<char>('0' + decimals % 10);
    out += d;
  }
  return {buf, static_cast<size_t>(out - buf)};
}

}  // namespace

void append_F(std::string& out, double v, int w, int d) {
  if (w <= 0) return;
  const size_t width = static_cast<size_t>(w);
  if (std::isnan(v)) {
    out += width >= 3 ? std::string(width - 3, ' ') + "NaN" : std::string(width, '*');
    return;
  }
  if (std::isinf(v)) {
    std::string_view s = v < 0 ? "-Infinity" : "Infinity";
    if (s.size() > width) s = v < 0 ? "-Inf" : "Inf";
    if (s.size() > width) return out.append(width, '*'), void();
    out.append(width - s.size(), ' ').append(s);
    return;
  }
  // printf rounds the exact binary value to nearest, as the formatted
  // write does; a negative value that rounds to zero keeps its sign. The
  // quick way does the same in integers; printf takes what it cannot (a
  // huge magnitude, many decimals), and a value too wide for the buffer
  // is formatted again at its length.
  char buf[48];
  std::string wide;
  std::string_view s = quick_fixed(v, d, buf);
  if (s.empty()) {
    const int len = std::snprintf(buf, sizeof buf, "%.*f", d, v);
    if (len >= 0 && static_cast<size_t>(len) < sizeof buf) {
      s = {buf, static_cast<size_t>(len)};
    } else {
      wide.assign(static_cast<size_t>(std::max(len, 0)), '\0');
      std::snprintf(wide.data(), wide.size() + 1, "%.*f", d, v);
      s = wide;
    }
  }
  if (s.size() > width) {
    // The leading zero before the decimal point is optional.
    if (s.starts_with("0.") && s.size() - 1 <= width) {
      s.remove_prefix(1);
    } else if (s.starts_with("-0.") && s.size() - 1 <= width) {
      out += '-';
      out.append(s.substr(2));
      return;
    } else {
      out.append(width, '*');
      return;
    }
  }
  out.append(width - s.size(), ' ').append(s);
}

std::string fmt_F(double v, int w, int d) {
  std::string s;
  append_F(s, v, w, d);
  return s;
}

std::string_view rtrim(std::string_view s) {
  size_t n = s.size();
  // Eight blanks at a time first: code fields are mostly padding.
  constexpr uint64_t kBlanks = 0x2020202020202020ull;
  for (uint64_t word; n >= 8 && (std::memcpy(&word, s.data() + n - 8, 8), word == kBlanks);) n -= 8;
  while (n > 0 && s[n - 1] == ' ') --n;
  return s.substr(0, n);
}

std::string pad(std::string_view s, size_t w) {
  std::string out(s.substr(0, std::min(s.size(), w)));
  out.resize(w, ' ');
  return out;
}

}  // namespace vm

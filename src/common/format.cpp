#include "common/format.h"

#include <algorithm>

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

FreeLine& FreeLine::num(int64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%12lld", static_cast<long long>(v));
  body_.append(buf);
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

std::string fmt_F(double v, int w, int d) {
  if (w <= 0) return {};
  const size_t width = static_cast<size_t>(w);
  if (std::isnan(v)) return width >= 3 ? std::string(width - 3, ' ') + "NaN" : std::string(width, '*');
  if (std::isinf(v)) {
    std::string s = v < 0 ? "-Infinity" : "Infinity";
    if (s.size() > width) s = v < 0 ? "-Inf" : "Inf";
    if (s.size() > width) return std::string(width, '*');
    return std::string(width - s.size(), ' ') + s;
  }
  // printf rounds the exact binary value to nearest, as the formatted
  // write does; a negative value that rounds to zero keeps its sign.
  // One formatting into a small buffer; only a value too wide for it (a
  // huge magnitude) is formatted again at its length.
  char small[64];
  const int len = std::snprintf(small, sizeof small, "%.*f", d, v);
  std::string s;
  if (len >= 0 && static_cast<size_t>(len) < sizeof small) {
    s.assign(small, static_cast<size_t>(len));
  } else {
    s.assign(static_cast<size_t>(std::max(len, 0)), '\0');
    std::snprintf(s.data(), s.size() + 1, "%.*f", d, v);
  }
  if (s.size() > width) {
    // The leading zero before the decimal point is optional.
    if (s.rfind("0.", 0) == 0 && s.size() - 1 <= width) {
      s.erase(0, 1);
    } else if (s.rfind("-0.", 0) == 0 && s.size() - 1 <= width) {
      s.erase(1, 1);
    } else {
      return std::string(width, '*');
    }
  }
  return std::string(width - s.size(), ' ') + s;
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

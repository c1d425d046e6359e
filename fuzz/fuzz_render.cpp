// The trace renderings of values: every double must read back as itself with
// the fewest digits in the promised notation, and every code point (valid or
// not) must give a quoted character in valid UTF-8 that names it.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "request/trace_log.h"

using namespace anagram;

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool all_digits(std::string_view s) {
  for (char c : s) {
    if (!is_digit(c)) return false;
  }
  return !s.empty();
}

void check_double(double x) {
  const std::string out = render_double(x);
  if (std::isnan(x)) {
    FUZZ_CHECK(out == "NaN");
    return;
  }
  if (std::isinf(x)) {
    FUZZ_CHECK(out == (x > 0 ? "inf" : "-inf"));
    return;
  }
  // Reads back as the very same double, sign of zero included.
  char* end = nullptr;
  const double back = std::strtod(out.c_str(), &end);
  FUZZ_CHECK(end == out.c_str() + out.size());
  FUZZ_CHECK(std::memcmp(&back, &x, sizeof x) == 0);

  const bool negative = std::signbit(x);
  FUZZ_CHECK((out[0] == '-') == negative);
  const std::string_view body = std::string_view(out).substr(negative ? 1 : 0);
  const double mag = std::fabs(x);
  std::string significant;  // the digits without point, exponent and zero padding
  if (mag == 0 || (mag >= 1e-4 && mag < 1e16)) {
    // Plain: digits, a point, at least one digit, no exponent.
    const size_t point = body.find('.');
    FUZZ_CHECK(point != std::string_view::npos);
    const std::string_view whole = body.substr(0, point), frac = body.substr(point + 1);
    FUZZ_CHECK(all_digits(whole) && all_digits(frac));
    FUZZ_CHECK(whole == "0" || whole[0] != '0');
    FUZZ_CHECK(frac == "0" || frac.back() != '0');
    significant = std::string(whole) + std::string(frac);
  } else {
    // Scientific: d[.ddd]e[-]n, no '+', no leading zeros, no trailing zeros.
    const size_t e = body.find('e');
    FUZZ_CHECK(e != std::string_view::npos);
    const std::string_view mant = body.substr(0, e);
    std::string_view exp = body.substr(e + 1);
    FUZZ_CHECK(is_digit(mant[0]) && mant[0] != '0');
    if (mant.size() > 1) {
      FUZZ_CHECK(mant[1] == '.' && all_digits(mant.substr(2)) && mant.back() != '0');
    }
    if (!exp.empty() && exp[0] == '-') exp.remove_prefix(1);
    FUZZ_CHECK(all_digits(exp) && (exp == "0" || exp[0] != '0'));
    significant = std::string(mant.substr(0, 1)) + std::string(mant.size() > 1 ? mant.substr(2) : "");
  }
  if (mag == 0) return;
  significant.erase(0, significant.find_first_not_of('0'));
  significant.erase(significant.find_last_not_of('0') + 1);
  const int n = static_cast<int>(significant.size());
  FUZZ_CHECK(n >= 1 && n <= 17);
  // Fewest digits: the nearest decimal with one digit less does not read back.
  if (n > 1) {
    char shorter[64];
    std::snprintf(shorter, sizeof shorter, "%.*e", n - 2, mag);
    FUZZ_CHECK(std::strtod(shorter, nullptr) != mag);
  }
}

void check_quoted_char(char32_t c) {
  const std::string out = render_quoted_char(c);
  FUZZ_CHECK(out.size() >= 3 && out.front() == '\'' && out.back() == '\'');
  FUZZ_CHECK(fuzz::valid_utf8(out));
  const std::string_view inner = std::string_view(out).substr(1, out.size() - 2);
  const bool valid_scalar = c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
  if (inner[0] != '\\') {
    // Written as itself: exactly that one character, never a special one.
    size_t pos = 0;
    const auto decoded = fuzz::strict_decode(inner, pos);
    FUZZ_CHECK(valid_scalar && decoded && *decoded == c && pos == inner.size());
    FUZZ_CHECK(c >= 0x20 && c != 0x7F && c != '\'' && c != '\\');
    return;
  }
  FUZZ_CHECK(inner.size() >= 2);
  const std::string_view simple[][2] = {{"\\'", "'"}, {"\\\\", "\\"}, {"\\t", "\t"},
                                        {"\\r", "\r"}, {"\\n", "\n"}, {"\\0", std::string_view("\0", 1)}};
  for (const auto& [escape, plain] : simple) {
    if (inner == escape) {
      FUZZ_CHECK(c == static_cast<unsigned char>(plain[0]));
      return;
    }
  }
  FUZZ_CHECK(inner.substr(0, 3) == "\\u{" && inner.back() == '}');
  const std::string_view hex = inner.substr(3, inner.size() - 4);
  FUZZ_CHECK(!hex.empty() && hex.size() <= 8 && hex[0] != '0');
  for (char h : hex) FUZZ_CHECK(is_digit(h) || (h >= 'a' && h <= 'f'));
  FUZZ_CHECK(std::strtoul(std::string(hex).c_str(), nullptr, 16) == c);
  // Printable ASCII is never escaped this way.
  FUZZ_CHECK(!(c >= 0x20 && c < 0x7F));
}

}  // namespace

// First byte picks how the rest becomes a double: raw bits, decimal text, or
// a small integer times a power of ten (the values people actually pass).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0] % 3;
  const uint8_t* rest = data + 1;
  const size_t n = size - 1;

  uint32_t code = 0;
  std::memcpy(&code, rest, std::min<size_t>(n, sizeof code));
  check_quoted_char(static_cast<char32_t>(code));
  if (n >= 1) check_quoted_char(static_cast<char32_t>(rest[0]));

  double x = 0;
  if (mode == 0) {
    uint64_t bits = 0;
    std::memcpy(&bits, rest, std::min<size_t>(n, sizeof bits));
    std::memcpy(&x, &bits, sizeof x);
  } else if (mode == 1) {
    const std::string text(reinterpret_cast<const char*>(rest), std::min<size_t>(n, 64));
    x = std::strtod(text.c_str(), nullptr);
  } else {
    int32_t mantissa = 0;
    std::memcpy(&mantissa, rest, std::min<size_t>(n, sizeof mantissa));
    const int exponent = n > 4 ? static_cast<int8_t>(rest[4]) % 40 : 0;
    char text[48];
    std::snprintf(text, sizeof text, "%de%d", mantissa, exponent);
    x = std::strtod(text, nullptr);
  }
  check_double(x);
  return 0;
}

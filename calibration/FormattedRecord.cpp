#include "calibration/FormattedRecord.h"

#include <charconv>
#include <cmath>

namespace TavoAlgorithm::calibration {

namespace {

constexpr std::string_view kNumber = "%lf";

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t skip_space(std::string_view s, std::size_t i) {
  while (i < s.size() && is_space(s[i])) ++i;
  return i;
}

std::size_t skip_digits(std::string_view s, std::size_t i) {
  while (i < s.size() && is_digit(s[i])) ++i;
  return i;
}

// Parses one decimal number at i; returns the end position or npos.
std::size_t parse_number(std::string_view s, std::size_t i, double& value) {
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  const std::size_t mantissa = i;
  const std::size_t intEnd = skip_digits(s, i);
  std::size_t end = intEnd;
  bool digits = intEnd > i;
  if (end < s.size() && s[end] == '.') {
    const std::size_t fracEnd = skip_digits(s, end + 1);
    digits = digits || fracEnd > end + 1;
    end = fracEnd;
  }
  if (!digits) return std::string_view::npos;
  if (end < s.size() && (s[end] == 'e' || s[end] == 'E')) {
    std::size_t e = end + 1;
    if (e < s.size() && (s[e] == '+' || s[e] == '-')) ++e;
    const std::size_t expEnd = skip_digits(s, e);
    if (expEnd == e) return std::string_view::npos;
    end = expEnd;
  }
  double v = 0.0;
  const auto [ptr, ec] = std::from_chars(s.data() + mantissa, s.data() + end, v, std::chars_format::general);
  if (ec != std::errc() || ptr != s.data() + end || !std::isfinite(v)) return std::string_view::npos;
  value = negative ? -v : v;
  return end;
}

}  // namespace

bool match_record(std::string_view text, std::size_t& pos, std::string_view pattern,
                  std::vector<double>& values) {
  std::size_t t = pos;
  std::vector<double> found;
  std::size_t p = 0;
  while (p < pattern.size()) {
    if (is_space(pattern[p])) {
      p = skip_space(pattern, p);
      t = skip_space(text, t);
    } else if (pattern.substr(p, kNumber.size()) == kNumber) {
      t = skip_space(text, t);
      double v = 0.0;
      const std::size_t end = parse_number(text, t, v);
      if (end == std::string_view::npos) return false;
      found.push_back(v);
      t = end;
      p += kNumber.size();
    } else {
      if (t >= text.size() || text[t] != pattern[p]) return false;
      ++t;
      ++p;
    }
  }
  values.insert(values.end(), found.begin(), found.end());
  pos = t;
  return true;
}

}  // namespace TavoAlgorithm::calibration

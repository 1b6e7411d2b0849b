#include "geometry/InputFile.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <system_error>

namespace TavoAlgorithm {

namespace fs = std::filesystem;

namespace {
bool refuse(InputFault why, const char* text, std::string& error, InputFault* fault) {
  error = text;
  if (fault) *fault = why;
  return false;
}
}  // namespace

bool open_input_file(const std::string& path, std::uint64_t maxBytes, std::ifstream& in, std::string& error,
                     std::uint64_t* size, InputFault* fault) {
  in.close();
  if (fault) *fault = InputFault::None;
  std::error_code ec;
  // Checked before opening: opening a pipe blocks and a device never ends.
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::exists(st)) return refuse(InputFault::CannotOpen, "no such file", error, fault);
  if (!fs::is_regular_file(st)) return refuse(InputFault::NotRegular, "not a regular file", error, fault);
  const std::uintmax_t bytes = fs::file_size(path, ec);
  if (ec) return refuse(InputFault::CannotOpen, "cannot open the file", error, fault);
  if (bytes > maxBytes) {
    refuse(InputFault::TooLarge, "", error, fault);
    error = std::to_string(bytes) + " bytes, more than such a file can need (" + std::to_string(maxBytes) + ")";
    return false;
  }
  in.open(path, std::ios::binary);
  if (!in) return refuse(InputFault::CannotOpen, "cannot open the file", error, fault);
  if (size) *size = bytes;
  return true;
}

bool read_small_file(const std::string& path, std::uint64_t maxBytes, std::string& text, std::string& error,
                     InputFault* fault) {
  std::ifstream in;
  std::uint64_t size = 0;
  if (!open_input_file(path, maxBytes, in, error, &size, fault)) return false;
  std::string out(static_cast<std::size_t>(size), '\0');
  in.read(out.data(), static_cast<std::streamsize>(out.size()));
  // The file may have changed since it was measured: what was read counts,
  // and a file grown past its measured size is refused.
  out.resize(static_cast<std::size_t>(in.gcount()));
  if (in.bad()) return refuse(InputFault::CannotRead, "cannot read the file", error, fault);
  if (in.good() && in.peek() != std::char_traits<char>::eof())
    return refuse(InputFault::CannotRead, "the file changed while it was read", error, fault);
  text = std::move(out);
  return true;
}

LineRead read_bounded_line(std::istream& in, std::size_t maxLength, std::string& line) {
  line.clear();
  std::streambuf* buf = in.rdbuf();
  if (!buf || !in.good()) return LineRead::End;
  using traits = std::char_traits<char>;
  for (;;) {
    const traits::int_type c = buf->sbumpc();
    if (traits::eq_int_type(c, traits::eof())) {
      in.setstate(std::ios::eofbit);
      break;
    }
    if (traits::to_char_type(c) == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return LineRead::Line;
    }
    if (line.size() >= maxLength) return LineRead::TooLong;
    line.push_back(traits::to_char_type(c));
  }
  if (line.empty()) return LineRead::End;
  if (line.back() == '\r') line.pop_back();
  return LineRead::Line;
}

namespace {
// from_chars takes no leading '+', which printf-style writers may emit.
bool strip_plus(std::string_view& t) {
  if (!t.empty() && t.front() == '+') {
    t.remove_prefix(1);
    if (!t.empty() && t.front() == '-') return false;
  }
  return !t.empty();
}
}  // namespace

bool parse_double_token(std::string_view token, double& value) {
  if (!strip_plus(token)) return false;
  double v = 0.0;
  const auto [ptr, ec] = std::from_chars(token.data(), token.data() + token.size(), v, std::chars_format::general);
  if (ec != std::errc() || ptr != token.data() + token.size()) return false;
  value = v;
  return true;
}

bool parse_integer_token(std::string_view token, long long& value) {
  if (!strip_plus(token)) return false;
  long long v = 0;
  const auto [ptr, ec] = std::from_chars(token.data(), token.data() + token.size(), v, 10);
  if (ec != std::errc() || ptr != token.data() + token.size()) return false;
  value = v;
  return true;
}

bool parse_integer_token(std::string_view token, long long lo, long long hi, long long& value) {
  long long v = 0;
  if (!parse_integer_token(token, v) || v < lo || v > hi) return false;
  value = v;
  return true;
}

}  // namespace TavoAlgorithm

#pragma once
// Opening and tokenising files that come from outside: every reader of the
// geometry, calibration and trace files goes through these, so that a device,
// a folder, a pipe, an endless line or a number that does not fit its type is
// refused with a sentence rather than read.
//
// Numbers are read locale-independently: decimal ([+-] digits [. digits]
// [e [+-] digits]) plus "nan" and "inf" for the floating-point parser, and
// always as a whole token (nothing may follow the number).
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

namespace TavoAlgorithm {

// Why a file was refused, for readers whose messages tell these apart.
enum class InputFault { None, CannotOpen, NotRegular, TooLarge, CannotRead };

// Opens `path` for reading raw bytes when it names a regular file (symbolic
// links followed) of at most maxBytes bytes; `size` receives its length. On
// failure returns false, leaves `in` closed and sets `error` to the reason
// (callers put the path in front). Never blocks on a pipe or reads a device.
bool open_input_file(const std::string& path, std::uint64_t maxBytes, std::ifstream& in, std::string& error,
                     std::uint64_t* size = nullptr, InputFault* fault = nullptr);

// Reads the whole of a small file (at most maxBytes bytes) into `text`; same
// refusals as open_input_file.
bool read_small_file(const std::string& path, std::uint64_t maxBytes, std::string& text, std::string& error,
                     InputFault* fault = nullptr);

enum class LineRead { Line, End, TooLong };
// One line without its line end (a trailing carriage return is dropped too).
// TooLong when more than maxLength bytes come before the line end; End at the
// end of the stream with nothing read.
LineRead read_bounded_line(std::istream& in, std::size_t maxLength, std::string& line);

// Whole-token parsers; false for an empty token, trailing characters, or a
// value outside the target type (an overflow or, for doubles, an underflow to
// zero or a denormal).
bool parse_double_token(std::string_view token, double& value);
bool parse_integer_token(std::string_view token, long long& value);
// An integer token within [lo, hi].
bool parse_integer_token(std::string_view token, long long lo, long long hi, long long& value);

// True when v is an integral value in [0, count): the check before a number
// read from a file is used as an index (NaN and 1.5 fail).
inline bool is_index_value(double v, std::uint64_t count) {
  return v >= 0.0 && v < static_cast<double>(count) && v == static_cast<double>(static_cast<std::uint64_t>(v));
}

}  // namespace TavoAlgorithm

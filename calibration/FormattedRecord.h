#pragma once
// Matcher for the fixed text records of the calibration files. A pattern is
// literal text with "%lf" for a number: a run of blanks or line ends in the
// pattern matches any run of whitespace in the text (none included, carriage
// returns count as whitespace); a number may be preceded by whitespace and is
// decimal ([+-] digits [. digits] [e [+-] digits]), finite and in double
// range; every other pattern character must appear literally.
#include <cstddef>
#include <string_view>
#include <vector>

namespace TavoAlgorithm::calibration {

// Matches `pattern` against `text` from `pos`. On success appends the numbers
// to `values`, advances `pos` past the match and returns true; on failure
// returns false and leaves `pos` and `values` unchanged.
bool match_record(std::string_view text, std::size_t& pos, std::string_view pattern,
                  std::vector<double>& values);

}  // namespace TavoAlgorithm::calibration

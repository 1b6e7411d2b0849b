#pragma once
// A 5 x 7 pixel font of the printable ASCII characters for plot labels.
#include <cstdint>

namespace TavoAlgorithm::plot {

inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 7;
// Advance from one character to the next, in font pixels.
inline constexpr int kGlyphAdvance = kGlyphWidth + 1;

// Five columns, left to right; bit r of a column is row r from the top.
// Characters outside ' ' .. '~' draw as '?'.
const std::uint8_t* glyph(char c);

}  // namespace TavoAlgorithm::plot

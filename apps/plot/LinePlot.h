#pragma once
// Line plots of a few series against a common x axis, as an RGB picture or a
// PNG file: a title, labelled axes with round tick values, grid lines, one
// coloured polyline with point markers per series and a legend in the corner
// of the plot area where it hides the least of the lines and points, or
// beside the plot when every corner would hide some. Self-contained (a
// built-in 5 x 7 font); not thread-safe per plot.
#include <Eigen/Core>
#include <cstdint>
#include <string>
#include <vector>

#include "geometry/Image.h"

namespace TavoAlgorithm::plot {

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};

using Picture = Image<3, std::uint8_t>;

// Round tick values covering [lo, hi]: steps of 1, 2, 2.5 or 5 times a power
// of ten, about `target` of them, the first at or below lo and the last at or
// above hi. Empty for a non-finite or inverted range; a single value lo = hi
// gets ticks around it.
std::vector<double> nice_ticks(double lo, double hi, int target = 6);

class LinePlot {
 public:
  static constexpr int kDefaultWidth = 900;
  static constexpr int kDefaultHeight = 560;
  // Smallest picture that leaves room for the labels.
  static constexpr int kMinWidth = 240;
  static constexpr int kMinHeight = 160;

  LinePlot(std::string title, std::string xLabel, std::string yLabel);

  // Points (x[i], y[i]) joined in the given order; the longer list is cut to
  // the shorter, and points with a non-finite coordinate are left out (the
  // line breaks there). Without a colour, series i gets colour i of a
  // ten-colour palette.
  void add_series(std::string name, std::vector<double> x, std::vector<double> y);
  void add_series(std::string name, std::vector<double> x, std::vector<double> y, Rgb colour);
  // Fixed axis ranges (ignored unless finite with lo < hi); by default each
  // axis spans the data, widened to the ticks.
  void set_x_range(double lo, double hi);
  void set_y_range(double lo, double hi);

  int series_count() const { return static_cast<int>(m_series.size()); }
  Rgb series_colour(int i) const { return m_series[i].colour; }

  // The picture, white background; empty for a size below the minimum.
  Picture render(int width = kDefaultWidth, int height = kDefaultHeight) const;
  // render() written as a PNG file; false with the reason in `error`.
  bool write_png(const std::string& path, std::string& error, int width = kDefaultWidth,
                 int height = kDefaultHeight) const;

  // Where data point (x, y) lands in a picture of that size: pixel column
  // and row (row 0 at the top).
  Eigen::Vector2d to_pixel(double x, double y, int width, int height) const;
  // Axis ranges as drawn: x low, x high, y low, y high.
  Eigen::Vector4d axis_ranges() const;

 private:
  struct Series {
    std::string name;
    std::vector<double> x, y;
    Rgb colour;
  };
  struct Frame;
  Frame frame(int width, int height) const;

  std::string m_title, m_xLabel, m_yLabel;
  std::vector<Series> m_series;
  double m_xLo = 0, m_xHi = 0, m_yLo = 0, m_yHi = 0;
  bool m_xFixed = false, m_yFixed = false;
};

}  // namespace TavoAlgorithm::plot

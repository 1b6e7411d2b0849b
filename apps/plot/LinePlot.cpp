#include "LinePlot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>

#include "PlotFont.h"
#include "geometry/PngWriter.h"

namespace TavoAlgorithm::plot {
namespace {

// Text is drawn with every font pixel as a kScale x kScale block.
constexpr int kScale = 2;
constexpr int kTextHeight = kGlyphHeight * kScale;
constexpr int kPad = 10;
constexpr int kTickLength = 5;
constexpr int kLineWidth = 2;
constexpr int kMarkerRadius = 2;
// Markers only where the points are few enough to stay apart.
constexpr std::size_t kMaxMarkedPoints = 150;
constexpr int kLegendRow = 18;
constexpr int kLegendSwatch = 24;
// A legend moved beside the plot leaves it at least 1 / kMinPlotShare of its width.
constexpr int kMinPlotShare = 2;
constexpr int kMaxDecimals = 6;

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kInk{30, 30, 30};
constexpr Rgb kGrid{225, 225, 225};
constexpr Rgb kLegendEdge{170, 170, 170};
constexpr std::array<Rgb, 10> kPalette = {{{31, 119, 180}, {255, 127, 14}, {44, 160, 44}, {214, 39, 40},
                                           {148, 103, 189}, {140, 86, 75}, {227, 119, 194}, {127, 127, 127},
                                           {188, 189, 34}, {23, 190, 207}}};

struct Rect {
  int x0, y0, x1, y1;  // inclusive
  bool contains(double x, double y) const { return x >= x0 && x <= x1 && y >= y0 && y <= y1; }
};

class Canvas {
 public:
  explicit Canvas(Picture& p) : m_p(p) {}
  void put(int x, int y, Rgb c, const Rect* clip = nullptr) {
    if (x < 0 || y < 0 || x >= m_p.width() || y >= m_p.height()) return;
    if (clip && !clip->contains(x, y)) return;
    m_p.at(x, y, 0) = c.r;
    m_p.at(x, y, 1) = c.g;
    m_p.at(x, y, 2) = c.b;
  }
  void fill(int x0, int y0, int x1, int y1, Rgb c, const Rect* clip = nullptr) {
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) put(x, y, c, clip);
  }
  // A segment of the given width, stamped along its length.
  void line(const Eigen::Vector2d& a, const Eigen::Vector2d& b, Rgb c, int width, const Rect* clip = nullptr) {
    const double len = (b - a).norm();
    const int steps = std::max(1, static_cast<int>(std::ceil(len * 2.0)));
    const int lo = -(width - 1) / 2, hi = width / 2;
    for (int s = 0; s <= steps; ++s) {
      const Eigen::Vector2d p = a + (b - a) * (static_cast<double>(s) / steps);
      const int x = static_cast<int>(std::lround(p.x())), y = static_cast<int>(std::lround(p.y()));
      fill(x + lo, y + lo, x + hi, y + hi, c, clip);
    }
  }
  // Text with its top-left corner at (x, y).
  void text(int x, int y, const std::string& s, Rgb c) {
    for_each_dot(s, [&](int along, int row) { dot(x + along * kScale, y + row * kScale, c); });
  }
  // Text turned a quarter counter-clockwise, reading upward from (x, y), its
  // top toward -x: (x, y) is the bottom-left corner of the first character.
  void text_up(int x, int y, const std::string& s, Rgb c) {
    for_each_dot(s, [&](int along, int row) { dot(x + row * kScale, y - (along + 1) * kScale, c); });
  }

 private:
  // Calls f(position along the text, row) for every set font pixel.
  template <class F>
  static void for_each_dot(const std::string& s, F&& f) {
    for (std::size_t i = 0; i < s.size(); ++i) {
      const std::uint8_t* g = glyph(s[i]);
      for (int col = 0; col < kGlyphWidth; ++col)
        for (int row = 0; row < kGlyphHeight; ++row)
          if ((g[col] >> row) & 1) f(static_cast<int>(i) * kGlyphAdvance + col, row);
    }
  }
  void dot(int x, int y, Rgb c) { fill(x, y, x + kScale - 1, y + kScale - 1, c); }

  Picture& m_p;
};

int text_width(const std::string& s) {
  return s.empty() ? 0 : (static_cast<int>(s.size()) * kGlyphAdvance - 1) * kScale;
}

int decimals_of(double step) {
  for (int d = 0; d < kMaxDecimals; ++d) {
    const double scaled = step * std::pow(10.0, d);
    if (std::abs(scaled - std::round(scaled)) < 1e-6 * std::max(1.0, scaled)) return d;
  }
  return kMaxDecimals;
}

std::string format_tick(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.*f", decimals, v);
  return buf;
}

bool finite_point(double x, double y) { return std::isfinite(x) && std::isfinite(y); }

}  // namespace

std::vector<double> nice_ticks(double lo, double hi, int target) {
  if (!std::isfinite(lo) || !std::isfinite(hi) || lo > hi) return {};
  if (lo == hi) {
    const double d = lo == 0.0 ? 1.0 : 0.1 * std::abs(lo);
    lo -= d;
    hi += d;
  }
  const double raw = (hi - lo) / std::max(1, target - 1);
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  const double m = raw / p;
  const double step = (m <= 1.0 ? 1.0 : m <= 2.0 ? 2.0 : m <= 2.5 ? 2.5 : m <= 5.0 ? 5.0 : 10.0) * p;
  const double first = std::floor(lo / step + 1e-9), last = std::ceil(hi / step - 1e-9);
  std::vector<double> ticks;
  for (double k = first; k <= last; k += 1.0) {
    const double v = k * step;
    ticks.push_back(std::abs(v) < 1e-9 * step ? 0.0 : v);
  }
  return ticks;
}

struct LinePlot::Frame {
  Rect area;
  Rect legend{0, 0, -1, -1};  // empty without series
  double xLo, xHi, yLo, yHi;
  std::vector<double> xTicks, yTicks;
  int xDecimals, yDecimals;
  Eigen::Vector2d map(double x, double y) const {
    return {area.x0 + (x - xLo) / (xHi - xLo) * (area.x1 - area.x0),
            area.y1 - (y - yLo) / (yHi - yLo) * (area.y1 - area.y0)};
  }
};

LinePlot::LinePlot(std::string title, std::string xLabel, std::string yLabel)
    : m_title(std::move(title)), m_xLabel(std::move(xLabel)), m_yLabel(std::move(yLabel)) {}

void LinePlot::add_series(std::string name, std::vector<double> x, std::vector<double> y) {
  const Rgb c = kPalette[m_series.size() % kPalette.size()];
  add_series(std::move(name), std::move(x), std::move(y), c);
}

void LinePlot::add_series(std::string name, std::vector<double> x, std::vector<double> y, Rgb colour) {
  const std::size_t n = std::min(x.size(), y.size());
  x.resize(n);
  y.resize(n);
  m_series.push_back({std::move(name), std::move(x), std::move(y), colour});
}

void LinePlot::set_x_range(double lo, double hi) {
  if (!(std::isfinite(lo) && std::isfinite(hi) && lo < hi)) return;
  m_xLo = lo;
  m_xHi = hi;
  m_xFixed = true;
}

void LinePlot::set_y_range(double lo, double hi) {
  if (!(std::isfinite(lo) && std::isfinite(hi) && lo < hi)) return;
  m_yLo = lo;
  m_yHi = hi;
  m_yFixed = true;
}

LinePlot::Frame LinePlot::frame(int width, int height) const {
  Frame f{};
  double xLo = std::numeric_limits<double>::max(), xHi = -xLo, yLo = xLo, yHi = -xLo;
  for (const Series& s : m_series)
    for (std::size_t i = 0; i < s.x.size(); ++i)
      if (finite_point(s.x[i], s.y[i])) {
        xLo = std::min(xLo, s.x[i]);
        xHi = std::max(xHi, s.x[i]);
        yLo = std::min(yLo, s.y[i]);
        yHi = std::max(yHi, s.y[i]);
      }
  if (xLo > xHi) {  // no data
    xLo = yLo = 0.0;
    xHi = yHi = 1.0;
  }
  auto axis = [](bool fixed, double fLo, double fHi, double dLo, double dHi, double& lo, double& hi,
                 std::vector<double>& ticks) {
    if (fixed) {
      lo = fLo;
      hi = fHi;
      for (double t : nice_ticks(lo, hi))
        if (t >= lo - 1e-9 * (hi - lo) && t <= hi + 1e-9 * (hi - lo)) ticks.push_back(t);
      return;
    }
    ticks = nice_ticks(dLo, dHi);
    lo = ticks.front();
    hi = ticks.back();
  };
  axis(m_xFixed, m_xLo, m_xHi, xLo, xHi, f.xLo, f.xHi, f.xTicks);
  axis(m_yFixed, m_yLo, m_yHi, yLo, yHi, f.yLo, f.yHi, f.yTicks);
  f.xDecimals = f.xTicks.size() > 1 ? decimals_of(f.xTicks[1] - f.xTicks[0]) : 0;
  f.yDecimals = f.yTicks.size() > 1 ? decimals_of(f.yTicks[1] - f.yTicks[0]) : 0;

  int labelWidth = 0;
  for (double t : f.yTicks) labelWidth = std::max(labelWidth, text_width(format_tick(t, f.yDecimals)));
  f.area.x0 = kPad + kTextHeight + kPad + labelWidth + kTickLength + 4;
  f.area.x1 = width - 2 * kPad;
  f.area.y0 = kPad + kTextHeight + kPad;
  f.area.y1 = height - (kTickLength + 4 + kTextHeight + kPad + kTextHeight + kPad);
  if (m_series.empty()) return f;

  // Legend in the corner where it covers the least of the lines and points;
  // when every corner covers some, in a column right of the plot, if the
  // plot keeps enough of its width.
  int nameWidth = 0;
  for (const Series& s : m_series) nameWidth = std::max(nameWidth, text_width(s.name));
  const int w = kLegendSwatch + 3 * 6 + nameWidth, h = static_cast<int>(m_series.size()) * kLegendRow + 8;
  // Pixels of the drawn lines and markers the box would cover.
  auto hidden_by = [&](const Rect& r) {
    const Rect grown{r.x0 - kLineWidth, r.y0 - kLineWidth, r.x1 + kLineWidth, r.y1 + kLineWidth};
    long long hidden = 0;
    for (const Series& s : m_series)
      for (std::size_t i = 0; i < s.x.size(); ++i) {
        if (!finite_point(s.x[i], s.y[i])) continue;
        const Eigen::Vector2d p = f.map(s.x[i], s.y[i]);
        hidden += grown.contains(p.x(), p.y());
        if (i + 1 == s.x.size() || !finite_point(s.x[i + 1], s.y[i + 1])) continue;
        const Eigen::Vector2d q = f.map(s.x[i + 1], s.y[i + 1]);
        const int steps = std::max(1, static_cast<int>(std::ceil((q - p).norm())));
        for (int k = 1; k <= steps; ++k) {
          const Eigen::Vector2d m = p + (q - p) * (static_cast<double>(k) / steps);
          hidden += grown.contains(m.x(), m.y());
        }
      }
    return hidden;
  };
  const Rect a = f.area;
  const Rect corners[] = {{a.x0 + kPad, a.y0 + kPad, a.x0 + kPad + w, a.y0 + kPad + h},
                          {a.x1 - kPad - w, a.y1 - kPad - h, a.x1 - kPad, a.y1 - kPad},
                          {a.x1 - kPad - w, a.y0 + kPad, a.x1 - kPad, a.y0 + kPad + h},
                          {a.x0 + kPad, a.y1 - kPad - h, a.x0 + kPad + w, a.y1 - kPad}};
  long long fewest = std::numeric_limits<long long>::max();
  for (const Rect& r : corners) {
    const long long hidden = hidden_by(r);
    if (hidden < fewest) {
      fewest = hidden;
      f.legend = r;
    }
  }
  const int narrowed = a.x1 - w - kPad;
  if (fewest > 0 && (narrowed - a.x0) * kMinPlotShare >= a.x1 - a.x0) {
    f.area.x1 = narrowed;
    f.legend = {narrowed + kPad, a.y0, a.x1, a.y0 + h};
  }
  return f;
}

Eigen::Vector2d LinePlot::to_pixel(double x, double y, int width, int height) const {
  return frame(width, height).map(x, y);
}

Eigen::Vector4d LinePlot::axis_ranges() const {
  const Frame f = frame(kDefaultWidth, kDefaultHeight);
  return {f.xLo, f.xHi, f.yLo, f.yHi};
}

Picture LinePlot::render(int width, int height) const {
  if (width < kMinWidth || height < kMinHeight) return {};
  Picture picture(width, height, 255);
  Canvas c(picture);
  const Frame f = frame(width, height);
  const Rect& a = f.area;

  // Grid, ticks and their values.
  for (double t : f.xTicks) {
    const int x = static_cast<int>(std::lround(f.map(t, f.yLo).x()));
    c.fill(x, a.y0, x, a.y1, kGrid);
    c.fill(x, a.y1, x, a.y1 + kTickLength, kInk);
    const std::string s = format_tick(t, f.xDecimals);
    c.text(x - text_width(s) / 2, a.y1 + kTickLength + 4, s, kInk);
  }
  for (double t : f.yTicks) {
    const int y = static_cast<int>(std::lround(f.map(f.xLo, t).y()));
    c.fill(a.x0, y, a.x1, y, kGrid);
    c.fill(a.x0 - kTickLength, y, a.x0, y, kInk);
    const std::string s = format_tick(t, f.yDecimals);
    c.text(a.x0 - kTickLength - 4 - text_width(s), y - kTextHeight / 2, s, kInk);
  }
  c.fill(a.x0, a.y0, a.x0, a.y1, kInk);
  c.fill(a.x0, a.y1, a.x1, a.y1, kInk);

  // Title and axis labels.
  c.text((width - text_width(m_title)) / 2, kPad, m_title, kInk);
  c.text((a.x0 + a.x1 - text_width(m_xLabel)) / 2, height - kPad - kTextHeight, m_xLabel, kInk);
  c.text_up(kPad, (a.y0 + a.y1 + text_width(m_yLabel)) / 2, m_yLabel, kInk);

  // Series.
  for (const Series& s : m_series) {
    const bool markers = s.x.size() <= kMaxMarkedPoints;
    for (std::size_t i = 0; i < s.x.size(); ++i) {
      if (!finite_point(s.x[i], s.y[i])) continue;
      const Eigen::Vector2d p = f.map(s.x[i], s.y[i]);
      if (i + 1 < s.x.size() && finite_point(s.x[i + 1], s.y[i + 1]))
        c.line(p, f.map(s.x[i + 1], s.y[i + 1]), s.colour, kLineWidth, &a);
      if (markers) {
        const int x = static_cast<int>(std::lround(p.x())), y = static_cast<int>(std::lround(p.y()));
        c.fill(x - kMarkerRadius, y - kMarkerRadius, x + kMarkerRadius, y + kMarkerRadius, s.colour, &a);
      }
    }
  }

  if (m_series.empty()) return picture;
  const Rect& legend = f.legend;
  c.fill(legend.x0, legend.y0, legend.x1, legend.y1, kLegendEdge);
  c.fill(legend.x0 + 1, legend.y0 + 1, legend.x1 - 1, legend.y1 - 1, kWhite);
  for (std::size_t i = 0; i < m_series.size(); ++i) {
    const int y = legend.y0 + 4 + static_cast<int>(i) * kLegendRow;
    const int mid = y + kTextHeight / 2;
    c.fill(legend.x0 + 6, mid - 1, legend.x0 + 6 + kLegendSwatch, mid, m_series[i].colour);
    c.text(legend.x0 + 12 + kLegendSwatch, y, m_series[i].name, kInk);
  }
  return picture;
}

bool LinePlot::write_png(const std::string& path, std::string& error, int width, int height) const {
  const Picture p = render(width, height);
  if (p.empty()) {
    error = "plot: picture smaller than " + std::to_string(kMinWidth) + " x " + std::to_string(kMinHeight);
    return false;
  }
  return TavoAlgorithm::write_png(path, p, error);
}

}  // namespace TavoAlgorithm::plot

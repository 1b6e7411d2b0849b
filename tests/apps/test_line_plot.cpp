// Line plots: tick values, where points land, the glyphs that labels draw,
// the legend's corner, refusals; and the face-coloured PLY of the demo read
// back by the PLY reader.
#include <gtest/gtest.h>

#include <filesystem>
#include <cmath>
#include <limits>
#include <map>

#include "LinePlot.h"
#include "PlotFont.h"
#include "autoscan_demo/face_colour_ply.h"
#include "platform/geometry/temp_dir.h"
#include "ply_reader.h"

using namespace TavoAlgorithm;
using namespace TavoAlgorithm::plot;

namespace {

Rgb pixel(const Picture& p, int x, int y) { return {p.at(x, y, 0), p.at(x, y, 1), p.at(x, y, 2)}; }

long long count_colour(const Picture& p, Rgb c, int x0 = 0, int y0 = 0, int x1 = -1, int y1 = -1) {
  if (x1 < 0) x1 = p.width() - 1;
  if (y1 < 0) y1 = p.height() - 1;
  long long n = 0;
  for (int y = y0; y <= y1; ++y)
    for (int x = x0; x <= x1; ++x) n += pixel(p, x, y) == c;
  return n;
}

}  // namespace

TEST(LinePlot, NiceTicksCoverTheRangeInRoundSteps) {
  EXPECT_EQ(nice_ticks(0, 100), (std::vector<double>{0, 20, 40, 60, 80, 100}));
  EXPECT_EQ(nice_ticks(0, 97), (std::vector<double>{0, 20, 40, 60, 80, 100}));
  EXPECT_EQ(nice_ticks(1, 12), (std::vector<double>{0, 2.5, 5, 7.5, 10, 12.5}));
  EXPECT_EQ(nice_ticks(-0.3, 0.25), (std::vector<double>{-0.4, -0.2, 0, 0.2, 0.4}));
  const std::vector<double> t = nice_ticks(5, 5);
  ASSERT_GE(t.size(), 2u);
  EXPECT_LT(t.front(), 5.0);
  EXPECT_GT(t.back(), 5.0);
  EXPECT_TRUE(nice_ticks(2, 1).empty());
  EXPECT_TRUE(nice_ticks(0, std::numeric_limits<double>::infinity()).empty());
}

TEST(LinePlot, SeriesPointsLandWhereTheAxesSay) {
  LinePlot p("Coverage", "views", "faces (%)");
  p.add_series("a", {0, 1, 2, 3}, {0, 50, 75, 100}, {200, 0, 0});
  p.add_series("b", {0, 3}, {10, 10});
  p.set_y_range(0, 100);
  const Picture im = p.render(600, 400);
  ASSERT_EQ(im.width(), 600);
  ASSERT_EQ(im.height(), 400);
  EXPECT_EQ(p.axis_ranges(), Eigen::Vector4d(0, 3, 0, 100));
  for (int i = 0; i < 4; ++i) {
    const Eigen::Vector2d q = p.to_pixel(i, std::vector<double>{0, 50, 75, 100}[i], 600, 400);
    EXPECT_EQ(pixel(im, static_cast<int>(std::lround(q.x())), static_cast<int>(std::lround(q.y()))), (Rgb{200, 0, 0}))
        << i;
  }
  // Up is up, right is right, and the second series got the palette colour of its place.
  EXPECT_LT(p.to_pixel(0, 100, 600, 400).y(), p.to_pixel(0, 0, 600, 400).y());
  EXPECT_LT(p.to_pixel(0, 0, 600, 400).x(), p.to_pixel(3, 0, 600, 400).x());
  EXPECT_EQ(p.series_colour(1), (Rgb{255, 127, 14}));
  const Eigen::Vector2d mid = p.to_pixel(1.5, 10, 600, 400);
  EXPECT_EQ(pixel(im, static_cast<int>(std::lround(mid.x())), static_cast<int>(std::lround(mid.y()))),
            (Rgb{255, 127, 14}));
  EXPECT_EQ(pixel(im, 1, 1), (Rgb{255, 255, 255}));
}

TEST(LinePlot, LabelsDrawTheirGlyphsAndTheLegendAvoidsTheData) {
  // A title alone: its ink is the glyphs' set bits, 2 x 2 pixels each.
  const std::string title = "Coverage 95%";
  long long bits = 0;
  for (char ch : title)
    for (int col = 0; col < kGlyphWidth; ++col)
      for (int row = 0; row < kGlyphHeight; ++row) bits += (glyph(ch)[col] >> row) & 1;
  LinePlot p(title, "", "");
  const Picture im = p.render(400, 300);
  const Rgb ink{30, 30, 30};
  EXPECT_EQ(count_colour(im, ink, 0, 0, im.width() - 1, 9 + 14), 4 * bits);
  EXPECT_EQ(glyph('\x01'), glyph('?'));

  // Rising data fill the top right and bottom left; the legend goes top left.
  LinePlot q("", "x", "y");
  std::vector<double> x, y;
  for (int i = 0; i <= 20; ++i) {
    x.push_back(i);
    y.push_back(i < 10 ? 0.0 : 100.0);
  }
  q.add_series("step", x, y, {0, 150, 0});
  const Picture qi = q.render(500, 400);
  const Eigen::Vector2d topLeft = q.to_pixel(0, 100, 500, 400), bottomRight = q.to_pixel(20, 0, 500, 400);
  const Rgb edge{170, 170, 170};
  const int tlx = static_cast<int>(topLeft.x()), tly = static_cast<int>(topLeft.y());
  const int brx = static_cast<int>(bottomRight.x()), bry = static_cast<int>(bottomRight.y());
  EXPECT_GT(count_colour(qi, edge, tlx, tly, tlx + 150, tly + 60), 100);
  EXPECT_EQ(count_colour(qi, edge, brx - 150, bry - 60, brx, bry), 0);

  // A falling diagonal has its two points outside every corner's box but its
  // line through the top left and bottom right: the legend goes top right.
  LinePlot d("", "x", "y");
  d.add_series("fall", {0, 1}, {100, 0}, {0, 150, 0});
  const Picture di = d.render(500, 400);
  const Eigen::Vector2d lo = d.to_pixel(0, 0, 500, 400), hi = d.to_pixel(1, 100, 500, 400);
  const int x0 = static_cast<int>(lo.x()), y0 = static_cast<int>(hi.y());
  const int x1 = static_cast<int>(hi.x()), y1 = static_cast<int>(lo.y());
  EXPECT_GT(count_colour(di, edge, x1 - 150, y0, x1, y0 + 60), 100);
  EXPECT_EQ(count_colour(di, edge, x0, y0, x0 + 150, y0 + 60), 0);
  EXPECT_EQ(count_colour(di, edge, x1 - 150, y1 - 60, x1, y1), 0);

  // Lines through all four corners: the legend moves beside the plot, which
  // narrows to make room, and covers no line.
  LinePlot z("", "x", "y");
  z.add_series("fall", {0, 1}, {100, 0}, {0, 150, 0});
  z.add_series("rise", {0, 1}, {0, 100}, {0, 0, 200});
  const Picture zi = z.render(500, 400);
  const Eigen::Vector2d zlo = z.to_pixel(0, 0, 500, 400), zhi = z.to_pixel(1, 100, 500, 400);
  EXPECT_LT(zhi.x(), 500 - 100);
  const int right = static_cast<int>(zhi.x()) + 3;
  EXPECT_GT(count_colour(zi, edge, right, 0, 499, 399), 100);
  EXPECT_EQ(count_colour(zi, edge, 0, 0, right - 1, 399), 0);
  EXPECT_EQ(pixel(zi, static_cast<int>(std::lround(zlo.x())), static_cast<int>(std::lround(zhi.y()))),
            (Rgb{0, 150, 0}));
  EXPECT_EQ(pixel(zi, static_cast<int>(std::lround(zhi.x())), static_cast<int>(std::lround(zhi.y()))),
            (Rgb{0, 0, 200}));
}

TEST(LinePlot, SkipsNonFiniteAndRefusesTinyPictures) {
  LinePlot p("t", "x", "y");
  const double nan = std::numeric_limits<double>::quiet_NaN();
  p.add_series("a", {0, 1, 2, 3, 4}, {1, nan, 3, 4});  // cut to four points, one of them skipped
  p.add_series("empty", {}, {});
  EXPECT_EQ(p.axis_ranges(), Eigen::Vector4d(0, 3, 1, 4));
  EXPECT_FALSE(p.render(600, 400).empty());
  EXPECT_TRUE(p.render(LinePlot::kMinWidth - 1, 400).empty());
  p.set_x_range(5, 5);  // ignored
  p.set_y_range(nan, 1);
  EXPECT_EQ(p.axis_ranges(), Eigen::Vector4d(0, 3, 1, 4));
  EXPECT_FALSE(LinePlot("", "", "").render().empty());

  test::TempDir dir;
  std::string err;
  EXPECT_FALSE(p.write_png(dir.file("small.png"), err, 10, 10));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(std::filesystem::exists(dir.file("small.png")));
  ASSERT_TRUE(p.write_png(dir.file("plot.png"), err)) << err;
  EXPECT_EQ(dir.read("plot.png").substr(1, 3), "PNG");
}

TEST(FaceColourPly, ReadsBackWithItsColoursAndRefusesMismatches) {
  BaseTriMesh m;
  m.set_vCoords({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0.5f}});
  m.set_faces({{0, 1, 2}, {1, 3, 2}});
  test::TempDir dir;
  std::string err;
  ASSERT_TRUE(autoscan_demo::write_face_colour_ply(dir.file("c.ply"), m, {{255, 0, 1}, {2, 3, 250}}, err)) << err;
  ply::File f;
  ASSERT_TRUE(ply::read(dir.file("c.ply"), f, err)) << err;
  const ply::Element* v = f.find("vertex");
  const ply::Element* faces = f.find("face");
  ASSERT_TRUE(v && faces);
  ASSERT_EQ(v->count, 4u);
  EXPECT_EQ(v->find("z")->values, (std::vector<double>{0, 0, 0, 0.5}));
  ASSERT_EQ(faces->count, 2u);
  EXPECT_EQ(faces->find("vertex_indices")->values, (std::vector<double>{0, 1, 2, 1, 3, 2}));
  EXPECT_EQ(faces->find("red")->values, (std::vector<double>{255, 2}));
  EXPECT_EQ(faces->find("green")->values, (std::vector<double>{0, 3}));
  EXPECT_EQ(faces->find("blue")->values, (std::vector<double>{1, 250}));

  EXPECT_FALSE(autoscan_demo::write_face_colour_ply(dir.file("d.ply"), m, {{1, 2, 3}}, err));
  m.add_face({0, 1, 9});
  EXPECT_FALSE(autoscan_demo::write_face_colour_ply(dir.file("d.ply"), m, {{1, 2, 3}, {1, 2, 3}, {1, 2, 3}}, err));
  EXPECT_FALSE(autoscan_demo::write_face_colour_ply(dir.file("missing/d.ply"), BaseTriMesh(), {}, err));
}

TEST(FaceColourPly, CoverageColoursRunFromTheFirstViewToTheLast) {
  // Views 1, 2 and 3 of 3, a reachable face never covered, an unreachable one;
  // the reachable list may be shorter than the faces.
  const std::vector<Color3b> c = autoscan_demo::coverage_colours({1, 2, 3, 0, 0, 0}, {1, 1, 1, 1, 0}, 3);
  ASSERT_EQ(c.size(), 6u);
  EXPECT_EQ(c[0], Color3b(40, 70, 200));
  EXPECT_EQ(c[1], Color3b(145, 140, 120));
  EXPECT_EQ(c[2], Color3b(250, 210, 40));
  EXPECT_EQ(c[3], Color3b(214, 39, 40));
  EXPECT_EQ(c[4], Color3b(150, 150, 150));
  EXPECT_EQ(c[5], Color3b(150, 150, 150));
  // One view: the early colour.
  EXPECT_EQ(autoscan_demo::coverage_colours({1}, {1}, 1)[0], Color3b(40, 70, 200));
}

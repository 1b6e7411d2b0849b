#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "RangeSimulator.h"
#include "common/trace/Trace.h"
#include "trace_folder_test.h"

using namespace TavoAlgorithm;
namespace fs = std::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class TraceTest : public TraceFolderTest {
 protected:
  void record_mode() {
    gDAConfig.enable = true;
    gDAConfig.record = true;
  }
  void replay_mode() {
    gDAConfig.record = false;
    gDAConfig.stream = false;
    gDAConfig.enable = true;
  }
  std::vector<std::uint8_t> file_bytes(const std::string& name) const {
    std::ifstream in(m_dir / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  void write_bytes(const std::string& name, const std::vector<std::uint8_t>& b) const {
    std::ofstream(m_dir / name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
  }
};

// Little-endian byte builder for expected layouts.
struct Bytes {
  std::vector<std::uint8_t> b;
  template <typename T>
  Bytes& put(T v) {
    std::uint8_t raw[sizeof(T)];
    std::memcpy(raw, &v, sizeof(T));
    b.insert(b.end(), raw, raw + sizeof(T));
    return *this;
  }
  Bytes& str(const std::string& s) {
    put<std::int32_t>(static_cast<std::int32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& raw(const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
};

std::string inv(std::string s) {
  for (char& c : s) c = static_cast<char>(~static_cast<unsigned char>(c));
  return s;
}

std::string scrambled(std::string s) {
  scramble_trailer_string(s);
  return s;
}

}  // namespace

TEST_F(TraceTest, RecordedFileHasTheExactLayout) {
  record_mode();
  std::int32_t a = 7;
  bool bc = true;
  EXPECT_EQ(trace("op", a, "a", bc, "bc"), TraceOutcome::Recorded);
  Bytes e;
  e.str(std::string("TESTBUG VERSION: ") + gCommonVersionStr).str(std::string("LAST COMMIT: ") + gGitCommitSHA1);
  e.put<std::uint64_t>(2).raw(inv("abc"));
  e.put<std::int32_t>(7).put<std::uint8_t>(1);
  const std::uint64_t trailer = e.b.size();
  e.put<std::int32_t>(2).str(scrambled(typeid(std::int32_t).name())).str(scrambled(typeid(bool).name()));
  e.put<std::int32_t>(2).str("a").str("bc");
  e.put<std::uint64_t>(trailer).put<std::uint64_t>(e.b.size() + 8);
  EXPECT_EQ(file_bytes("op.tb"), e.b);
}

TEST_F(TraceTest, BitVectorsPackLeastSignificantFirst) {
  record_mode();
  std::vector<bool> bits{true, false, false, true, false, false, false, false, true};  // 9 bits
  std::vector<bool> eight(8, true);
  ASSERT_EQ(trace("bits", bits, "b", eight, "e"), TraceOutcome::Recorded);
  const std::vector<std::uint8_t> f = file_bytes("bits.tb");
  Bytes head;
  head.str(std::string("TESTBUG VERSION: ") + gCommonVersionStr).str(std::string("LAST COMMIT: ") + gGitCommitSHA1);
  head.put<std::uint64_t>(2).raw(inv("be"));
  Bytes data;
  data.put<std::int32_t>(9).put<std::int32_t>(2).put<std::uint8_t>(0x09).put<std::uint8_t>(0x01);
  data.put<std::int32_t>(8).put<std::int32_t>(2).put<std::uint8_t>(0xff).put<std::uint8_t>(0x00);
  ASSERT_GE(f.size(), head.b.size() + data.b.size());
  EXPECT_TRUE(std::equal(data.b.begin(), data.b.end(), f.begin() + head.b.size()));
}

TEST_F(TraceTest, ScramblingIsReversibleAndSkipsShortStrings) {
  for (std::string s : std::vector<std::string>{"", "abc", "1234567", "12345678", "std::vector<RangeData>", std::string(100, 'x')}) {
    std::string t = s;
    scramble_trailer_string(t);
    if (s.size() < 8) EXPECT_EQ(t, s);
    else EXPECT_NE(t, s);
    unscramble_trailer_string(t);
    EXPECT_EQ(t, s);
  }
}

TEST_F(TraceTest, EveryRecordedTypeRoundTrips) {
  sim::Scene scene;
  scene.spheres.push_back({Eigen::Vector3f::Zero(), 0.5f});
  sim::Camera cam;
  cam.rows = 24;
  cam.cols = 32;
  cam.fx = cam.fy = 30.f;
  cam.cx = 16;
  cam.cy = 12;
  cam.pose = sim::look_at(Eigen::Vector3f(0, 0, 2), Eigen::Vector3f::Zero());
  const RangeData frame = sim::render_range_frame(scene, cam);
  ASSERT_GT(frame.get_vn(), 100);

  std::vector<const RangeData*> frames{&frame, &frame};
  std::vector<RigidMatrix> poses{cam.pose, RigidMatrix()};
  std::vector<int> ints{1, -2, 3};
  std::vector<std::vector<float>> weights{{0.5f}, {}, {1.f, 2.f}};
  std::vector<std::vector<bool>> marks{{true, false, true}, {}};
  std::vector<std::vector<Eigen::Vector3f>> points{{Eigen::Vector3f(1, 2, 3)}};
  std::vector<Cloud> clouds{frame};
  BaseTriMesh mesh;
  mesh.set_vCoords({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  mesh.set_faces({{0, 1, 2}});
  mesh.set_fDeleted(0, true);
  BoundingBox box(Eigen::Vector3f(-1, -2, -3), Eigen::Vector3f(4, 5, 6));
  float f = 0.25f;
  std::uint64_t big = 0x0123456789abcdefull;
  ColorImage image(2, 3);
  for (int i = 0; i < 6; ++i) image.data()[i] = Color3b(i, 2 * i, 3 * i);

  record_mode();
  ASSERT_EQ(trace("all", frames, "rangeDatas", poses, "dRts", ints, "ids", weights, "w", marks, "m",
                  points, "p", clouds, "c", mesh, "mesh", box, "box", f, "f", big, "big", image, "img"),
            TraceOutcome::Recorded);

  replay_mode();
  std::vector<const RangeData*> frames2;
  std::vector<RigidMatrix> poses2;
  std::vector<int> ints2;
  std::vector<std::vector<float>> weights2;
  std::vector<std::vector<bool>> marks2;
  std::vector<std::vector<Eigen::Vector3f>> points2;
  std::vector<Cloud> clouds2;
  BaseTriMesh mesh2;
  BoundingBox box2;
  float f2 = 0;
  std::uint64_t big2 = 0;
  ColorImage image2;
  CaptureStdout();
  const TraceOutcome r = trace("all", frames2, "rangeDatas", poses2, "dRts", ints2, "ids", weights2, "w", marks2,
                               "m", points2, "p", clouds2, "c", mesh2, "mesh", box2, "box", f2, "f", big2, "big",
                               image2, "img");
  EXPECT_NE(GetCapturedStdout().find("Opened testbug file: "), std::string::npos);
  ASSERT_EQ(r, TraceOutcome::Replayed);
  ASSERT_EQ(frames2.size(), 2u);
  const RangeData& g = *frames2[1];
  ASSERT_EQ(g.get_vn(), frame.get_vn());
  EXPECT_EQ(g.get_rows(), 24);
  for (int v = 0; v < g.get_vn(); ++v) {
    ASSERT_EQ(g.get_vCoord(v), frame.get_vCoord(v));
    ASSERT_EQ(g.get_vNrv(v), frame.get_vNrv(v));
    ASSERT_EQ(g.get_vUV(v), frame.get_vUV(v));
  }
  for (int c = 0; c < 24 * 32; ++c) ASSERT_EQ(g.get_cellVertex(c / 32, c % 32), frame.get_cellVertex(c / 32, c % 32));
  EXPECT_EQ(g.get_rigidMatrix().to_matrix4(), frame.get_rigidMatrix().to_matrix4());
  EXPECT_EQ(poses2[0].to_matrix4(), poses[0].to_matrix4());
  EXPECT_EQ(ints2, ints);
  EXPECT_EQ(weights2, weights);
  EXPECT_EQ(marks2, marks);
  EXPECT_EQ(points2, points);
  ASSERT_EQ(clouds2.size(), 1u);
  EXPECT_EQ(clouds2[0].get_vn(), frame.get_vn());
  EXPECT_EQ(mesh2.get_fn(), 1);
  EXPECT_TRUE(mesh2.get_fDeleted(0));
  EXPECT_EQ(box2.max_corner(), box.max_corner());
  EXPECT_EQ(f2, f);
  EXPECT_EQ(big2, big);
  ASSERT_EQ(image2.rows(), 2);
  ASSERT_EQ(image2.cols(), 3);
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(image2.data()[i] == image.data()[i]);

  // Old sequence mode reads the same bytes element by element.
  ArchiveReader reader;
  reader.set_option("get_old_std_vector_mode", "true");
  std::vector<const RangeData*> f3;
  std::vector<RigidMatrix> p3;
  std::vector<int> i3;
  reader.add(f3, "rangeDatas");
  reader.add(p3, "dRts");
  reader.add(i3, "ids");
  ReadAble in(std::make_shared<ifsCapture>((m_dir / "all.tb").string()));
  CaptureStdout();
  EXPECT_FALSE(reader.read_file(in));  // 13 recorded, 3 expected
  GetCapturedStdout();
}

TEST_F(TraceTest, ReplayMismatchesPrintTheirMessages) {
  record_mode();
  std::int32_t a = 1, b = 2;
  ASSERT_EQ(trace("two", a, "a", b, "b"), TraceOutcome::Recorded);
  replay_mode();
  std::int32_t c = 0;
  CaptureStdout();
  EXPECT_EQ(trace("two", a, "a", b, "b", c, "c"), TraceOutcome::ReplayFailed);
  const std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("\nError! Parameter Unmatch!\nExpect parameters number: 3\nRead File parameters number: 2\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("Try oldVersion: Error! Parameter Unmatch!"), std::string::npos) << out;

  CaptureStdout();
  EXPECT_EQ(trace("two", a, "a", b, "x"), TraceOutcome::ReplayFailed);
  const std::string names = GetCapturedStdout();
  EXPECT_NE(names.find("Error! Parameter Unmatch! \nExpect parameters: a x\nRead File parameters: a b\n"),
            std::string::npos) << names;

  CaptureStdout();
  EXPECT_EQ(trace("absent", a, "a"), TraceOutcome::ReplayFailed);
  EXPECT_NE(GetCapturedStdout().find(" Error: "), std::string::npos);
}

TEST_F(TraceTest, OldLayoutWithoutVersionLinesStillReads) {
  // int32 count, names in clear, then the data; no version lines, no trailer.
  Bytes old;
  old.put<std::int32_t>(2).raw("ids").raw("w").put<std::int32_t>(2).put<std::int32_t>(5).put<std::int32_t>(6);
  old.put<float>(1.5f);
  write_bytes("old.tb", old.b);
  replay_mode();
  std::vector<int> ids;
  float w = 0;
  CaptureStdout();
  EXPECT_EQ(trace("old", ids, "ids", w, "w"), TraceOutcome::Replayed);
  const std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("Error! Parameter Unmatch!"), std::string::npos);  // the current layout is tried first
  EXPECT_EQ(out.find("Try oldVersion: "), std::string::npos);
  EXPECT_EQ(ids, (std::vector<int>{5, 6}));
  EXPECT_EQ(w, 1.5f);

  // Current layout without version lines: starts at the 64-bit count.
  Bytes cur;
  cur.put<std::uint64_t>(1).raw(inv("w")).put<float>(2.5f);
  write_bytes("cur.tb", cur.b);
  CaptureStdout();
  EXPECT_EQ(trace("cur", w, "w"), TraceOutcome::Replayed);
  GetCapturedStdout();
  EXPECT_EQ(w, 2.5f);
}

TEST_F(TraceTest, BadCountsAreRefusedBeforeAllocating) {
  auto header = [](const std::string& name) {
    Bytes b;
    b.put<std::uint64_t>(1).raw(inv(name));
    return b;
  };
  replay_mode();
  std::vector<int> ids;
  std::vector<bool> bits;
  const std::pair<std::string, std::vector<std::uint8_t>> cases[] = {
      {"negative", header("ids").put<std::int32_t>(-1).b},
      {"huge", header("ids").put<std::int32_t>(0x7fffffff).put<std::int32_t>(1).b},
  };
  for (const auto& [name, bytes] : cases) {
    write_bytes(name + ".tb", bytes);
    CaptureStdout();
    EXPECT_EQ(trace(name, ids, "ids"), TraceOutcome::ReplayFailed) << name;
    EXPECT_NE(GetCapturedStdout().find("wrong item num\n"), std::string::npos) << name;
  }
  write_bytes("shortbits.tb", header("bits").put<std::int32_t>(9).put<std::int32_t>(1).put<std::uint8_t>(1).b);
  CaptureStdout();
  EXPECT_EQ(trace("shortbits", bits, "bits"), TraceOutcome::ReplayFailed);
  EXPECT_NE(GetCapturedStdout().find("can not read vector<bool>\n"), std::string::npos);
}

TEST_F(TraceTest, CorruptedRecordingsNeverCrash) {
  RangeData frame;
  frame.set_grid_size(3, 3);
  for (int i = 0; i < 5; ++i) frame.set_cellVertex(i / 3, i % 3, frame.add_vCoord(Eigen::Vector3f(i, 0, 1)));
  std::vector<const RangeData*> frames{&frame};
  std::vector<std::vector<bool>> marks{{true, false}};
  record_mode();
  ASSERT_EQ(trace("rec", frames, "rangeDatas", marks, "isSample"), TraceOutcome::Recorded);
  const std::vector<std::uint8_t> good = file_bytes("rec.tb");
  replay_mode();
  std::mt19937 rng(3);
  int replayed = 0;
  for (int k = 0; k < 400; ++k) {
    std::vector<std::uint8_t> bad = good;
    if (k < 200) {
      bad.resize(static_cast<std::size_t>(k) * good.size() / 200);  // every truncation length
    } else {
      for (int flips = 0; flips < 3; ++flips) bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    }
    write_bytes("bad.tb", bad);
    std::vector<const RangeData*> f2;
    std::vector<std::vector<bool>> m2;
    CaptureStdout();
    if (trace("bad", f2, "rangeDatas", m2, "isSample") == TraceOutcome::Replayed) ++replayed;
    GetCapturedStdout();
  }
  EXPECT_LT(replayed, 400);
}

TEST_F(TraceTest, ModesFilterAndFileNames) {
  std::int32_t a = 1;
  EXPECT_EQ(trace("off", a, "a"), TraceOutcome::Off);
  record_mode();
  gDAConfig.selectionFilter = true;
  gDAConfig.select("chosen");
  EXPECT_EQ(trace("other", a, "a"), TraceOutcome::Skipped);
  EXPECT_EQ(trace("chosen", a, "a"), TraceOutcome::Recorded);
  EXPECT_FALSE(fs::exists(m_dir / "other.tb"));
  EXPECT_TRUE(fs::exists(m_dir / "chosen.tb"));
  gDAConfig.selectionFilter = false;

  gDebugDS.inner = true;
  gDAConfig.encodeNames = true;
  EXPECT_EQ(trace("in", a, "a"), TraceOutcome::Recorded);
  EXPECT_TRUE(fs::exists(m_dir / (DataArchiveConfig::encode_file_name("__inner_in") + ".tb")));
  gDebugDS.inner = false;
  gDAConfig.encodeNames = false;

  // Thread ids keep concurrent recordings apart; replay finds one by prefix.
  gDAConfig.threadId = true;
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([t] {
      std::int32_t v = t;
      trace("par", v, "v");
    });
  for (auto& w : workers) w.join();
  int files = 0;
  for (const auto& e : fs::directory_iterator(m_dir)) files += e.path().filename().string().rfind("par.", 0) == 0;
  EXPECT_EQ(files, 4);
  replay_mode();
  std::int32_t v = -1;
  CaptureStdout();
  EXPECT_EQ(trace("par", v, "v"), TraceOutcome::Replayed);
  GetCapturedStdout();
  EXPECT_GE(v, 0);
  EXPECT_LT(v, 4);

  // Stream mode: name + header + data for each call, no trailer.
  auto stream = std::make_shared<MemoryWriteAble>();
  gDAConfig.set_shared_stream(stream);
  gDAConfig.stream = true;
  EXPECT_EQ(trace("s", a, "a"), TraceOutcome::Streamed);
  Bytes e;
  e.str("s").str(std::string("TESTBUG VERSION: ") + gCommonVersionStr).str(std::string("LAST COMMIT: ") + gGitCommitSHA1);
  e.put<std::uint64_t>(1).raw(inv("a")).put<std::int32_t>(1);
  EXPECT_EQ(stream->bytes(), e.b);

  const std::int32_t constant = 3;
  gDAConfig.stream = false;
  CaptureStdout();
  EXPECT_EQ(trace("chosen", constant, "a"), TraceOutcome::ReplayFailed);
  GetCapturedStdout();
}

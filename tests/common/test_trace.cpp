#include <gtest/gtest.h>

#include <sys/stat.h>

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
  Bytes& raw(const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& str(const std::string& s) { return put<std::int32_t>(static_cast<std::int32_t>(s.size())).raw(s); }
  Bytes& version_lines() {
    return str(std::string("TESTBUG VERSION: ") + gCommonVersionStr).str(std::string("LAST COMMIT: ") + gGitCommitSHA1);
  }
  // Parameter count, then all names run together, each byte inverted.
  Bytes& names(std::uint64_t count, std::string s) {
    for (char& c : s) c = static_cast<char>(~static_cast<unsigned char>(c));
    return put(count).raw(s);
  }
};

class TraceTest : public TraceFolderTest {
 protected:
  void record_mode() { gDAConfig.enable = gDAConfig.record = true; }
  void replay_mode() {
    gDAConfig.record = gDAConfig.stream = false;
    gDAConfig.enable = true;
  }
  std::vector<std::uint8_t> file_bytes(const std::string& name) const {
    std::ifstream in(m_dir / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  void write_bytes(const std::string& name, const std::vector<std::uint8_t>& b) const {
    std::ofstream(m_dir / name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
  }
  // Replays `name` with the given outputs and returns what it printed.
  template <typename... Args>
  std::string replay(TraceOutcome expected, const std::string& name, Args&... args) {
    CaptureStdout();
    const TraceOutcome got = trace(name, args...);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(got, expected) << name << ": " << out;
    return out;
  }
};

std::string scrambled(std::string s) {
  scramble_trailer_string(s);
  return s;
}

}  // namespace

TEST_F(TraceTest, RecordedFilesHaveTheExactLayout) {
  record_mode();
  std::int32_t a = 7;
  bool bc = true;
  EXPECT_EQ(trace("op", a, "a", bc, "bc"), TraceOutcome::Recorded);
  Bytes e;
  e.version_lines().names(2, "abc").put<std::int32_t>(7).put<std::uint8_t>(1);
  const std::uint64_t trailer = e.b.size();
  e.put<std::int32_t>(2).str(scrambled(typeid(std::int32_t).name())).str(scrambled(typeid(bool).name()));
  e.put<std::int32_t>(2).str("a").str("bc");
  e.put<std::uint64_t>(trailer).put<std::uint64_t>(e.b.size() + 8);
  EXPECT_EQ(file_bytes("op.tb"), e.b);

  // Bits pack least significant first into n / 8 + 1 bytes.
  std::vector<bool> bits{true, false, false, true, false, false, false, false, true}, eight(8, true);
  ASSERT_EQ(trace("bits", bits, "b", eight, "e"), TraceOutcome::Recorded);
  Bytes data;
  data.version_lines().names(2, "be");
  data.put<std::int32_t>(9).put<std::int32_t>(2).put<std::uint8_t>(0x09).put<std::uint8_t>(0x01);
  data.put<std::int32_t>(8).put<std::int32_t>(2).put<std::uint8_t>(0xff).put<std::uint8_t>(0x00);
  const std::vector<std::uint8_t> f = file_bytes("bits.tb");
  ASSERT_GE(f.size(), data.b.size());
  EXPECT_TRUE(std::equal(data.b.begin(), data.b.end(), f.begin()));

  for (std::string s : {"", "abc", "1234567", "12345678", "std::vector<RangeData>"}) {
    std::string t = scrambled(s);
    EXPECT_EQ(t == s, s.size() < 8) << s;  // short strings stay as they are
    unscramble_trailer_string(t);
    EXPECT_EQ(t, s);
  }
}

namespace {
// One value of every recorded type, traced under one call name.
struct EveryType {
  std::vector<const RangeData*> frames;
  std::vector<RigidMatrix> poses;
  std::vector<int> ints;
  std::vector<std::vector<float>> weights;
  std::vector<std::vector<bool>> marks;
  std::vector<std::vector<Eigen::Vector3f>> points;
  std::vector<Cloud> clouds;
  BaseTriMesh mesh;
  BoundingBox box;
  float f = 0;
  std::uint64_t big = 0;
  ColorImage image;
  TraceOutcome run() {
    return trace("all", frames, "rangeDatas", poses, "dRts", ints, "ids", weights, "w", marks, "m", points, "p",
                 clouds, "c", mesh, "mesh", box, "box", f, "f", big, "big", image, "img");
  }
};
}  // namespace

TEST_F(TraceTest, EveryRecordedTypeRoundTrips) {
  sim::Scene scene;
  scene.spheres.push_back({Eigen::Vector3f::Zero(), 0.5f});
  sim::Camera cam{24, 32, 30.f, 30.f, 16.f, 12.f, sim::look_at(Eigen::Vector3f(0, 0, 2), Eigen::Vector3f::Zero())};
  const RangeData frame = sim::render_range_frame(scene, cam);
  ASSERT_GT(frame.get_vn(), 100);
  EveryType in{{&frame, &frame}, {cam.pose, RigidMatrix()}, {1, -2, 3}, {{0.5f}, {}, {1.f, 2.f}},
               {{true, false, true}, {}}, {{Eigen::Vector3f(1, 2, 3)}}, {frame}, BaseTriMesh(),
               BoundingBox(Eigen::Vector3f(-1, -2, -3), Eigen::Vector3f(4, 5, 6)), 0.25f, 0x0123456789abcdefull,
               ColorImage(2, 3)};
  in.mesh.set_vCoords({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  in.mesh.set_faces({{0, 1, 2}});
  in.mesh.set_fDeleted(0, true);
  for (int i = 0; i < 6; ++i) in.image.data()[i] = Color3b(i, 2 * i, 3 * i);
  record_mode();
  ASSERT_EQ(in.run(), TraceOutcome::Recorded);

  replay_mode();
  EveryType out;
  CaptureStdout();
  ASSERT_EQ(out.run(), TraceOutcome::Replayed);
  EXPECT_NE(GetCapturedStdout().find("Opened testbug file: "), std::string::npos);
  ASSERT_EQ(out.frames.size(), 2u);
  const RangeData& g = *out.frames[1];
  ASSERT_EQ(g.get_vn(), frame.get_vn());
  EXPECT_EQ(g.get_rows(), 24);
  for (int v = 0; v < g.get_vn(); ++v)
    ASSERT_TRUE(g.get_vCoord(v) == frame.get_vCoord(v) && g.get_vNrv(v) == frame.get_vNrv(v) &&
                g.get_vUV(v) == frame.get_vUV(v));
  for (int c = 0; c < 24 * 32; ++c) ASSERT_EQ(g.get_cellVertex(c / 32, c % 32), frame.get_cellVertex(c / 32, c % 32));
  EXPECT_EQ(g.get_rigidMatrix().to_matrix4(), frame.get_rigidMatrix().to_matrix4());
  EXPECT_EQ(out.poses[0].to_matrix4(), in.poses[0].to_matrix4());
  EXPECT_EQ(std::tie(out.ints, out.weights, out.marks, out.points), std::tie(in.ints, in.weights, in.marks, in.points));
  ASSERT_EQ(out.clouds.size(), 1u);
  EXPECT_EQ(out.clouds[0].get_vn(), frame.get_vn());
  EXPECT_TRUE(out.mesh.get_fn() == 1 && out.mesh.get_fDeleted(0));
  EXPECT_EQ(out.box.max_corner(), in.box.max_corner());
  EXPECT_EQ(std::tie(out.f, out.big), std::tie(in.f, in.big));
  ASSERT_TRUE(out.image.rows() == 2 && out.image.cols() == 3);
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(out.image.data()[i] == in.image.data()[i]);
}

TEST_F(TraceTest, ReplayMismatchesPrintTheirMessages) {
  record_mode();
  std::int32_t a = 1, b = 2, c = 0;
  ASSERT_EQ(trace("two", a, "a", b, "b"), TraceOutcome::Recorded);
  replay_mode();
  const std::string count = replay(TraceOutcome::ReplayFailed, "two", a, "a", b, "b", c, "c");
  EXPECT_NE(count.find("\nError! Parameter Unmatch!\nExpect parameters number: 3\nRead File parameters number: 2\n"),
            std::string::npos) << count;
  EXPECT_NE(count.find("Try oldVersion: Error! Parameter Unmatch!"), std::string::npos) << count;
  const std::string names = replay(TraceOutcome::ReplayFailed, "two", a, "a", b, "x");
  EXPECT_NE(names.find("Error! Parameter Unmatch! \nExpect parameters: a x\nRead File parameters: a b\n"),
            std::string::npos) << names;
  EXPECT_NE(replay(TraceOutcome::ReplayFailed, "absent", a, "a").find(" Error: "), std::string::npos);
}

TEST_F(TraceTest, FilesWithoutVersionLinesStillRead) {
  // Old layout: int32 count, names in clear, then the data; no trailer.
  Bytes old;
  old.put<std::int32_t>(2).raw("idsw").put<std::int32_t>(2).put<std::int32_t>(5).put<std::int32_t>(6).put(1.5f);
  write_bytes("old.tb", old.b);
  replay_mode();
  std::vector<int> ids;
  float w = 0;
  const std::string out = replay(TraceOutcome::Replayed, "old", ids, "ids", w, "w");
  EXPECT_NE(out.find("Error! Parameter Unmatch!"), std::string::npos);  // the current layout is tried first
  EXPECT_EQ(out.find("Try oldVersion: "), std::string::npos);
  EXPECT_EQ(ids, (std::vector<int>{5, 6}));
  EXPECT_EQ(w, 1.5f);
  // Current layout from its 64-bit count.
  write_bytes("cur.tb", Bytes().names(1, "w").put(2.5f).b);
  replay(TraceOutcome::Replayed, "cur", w, "w");
  EXPECT_EQ(w, 2.5f);
}

TEST_F(TraceTest, BadCountsAreRefusedBeforeAllocating) {
  replay_mode();
  std::vector<int> ids;
  std::vector<bool> bits;
  const std::pair<std::string, Bytes> cases[] = {
      {"negative", Bytes().names(1, "ids").put<std::int32_t>(-1)},
      {"huge", Bytes().names(1, "ids").put<std::int32_t>(0x7fffffff).put<std::int32_t>(1)},
      {"shortbits", Bytes().names(1, "bits").put<std::int32_t>(9).put<std::int32_t>(1).put<std::uint8_t>(1)}};
  for (const auto& [name, bytes] : cases) {
    write_bytes(name + ".tb", bytes.b);
    const std::string out = name == "shortbits" ? replay(TraceOutcome::ReplayFailed, name, bits, "bits")
                                                : replay(TraceOutcome::ReplayFailed, name, ids, "ids");
    EXPECT_NE(out.find(name == "shortbits" ? "can not read vector<bool>\n" : "wrong item num\n"), std::string::npos)
        << name;
  }
}

// A bool is one byte on file; any byte but 0 and 1 would load an invalid
// bool, so it is refused and the caller's value left as it was.
TEST_F(TraceTest, BoolsAreReadAsBytesAndRefusedUnlessZeroOrOne) {
  replay_mode();
  for (const int byte : {0, 1, 2, 0x80, 0xff}) {
    write_bytes("flag.tb", Bytes().names(1, "isSample").put<std::uint8_t>(static_cast<std::uint8_t>(byte)).b);
    bool flag = true;
    const bool valid = byte <= 1;
    const std::string out = replay(valid ? TraceOutcome::Replayed : TraceOutcome::ReplayFailed, "flag", flag, "isSample");
    if (valid) {
      EXPECT_EQ(flag, byte == 1);
    } else {
      EXPECT_TRUE(flag) << byte;
      EXPECT_NE(out.find("cannot read trace parameter isSample"), std::string::npos) << out;
    }
  }
}

// A replay file that is a pipe, a device or a folder is not opened (a pipe
// would block the replay).
TEST_F(TraceTest, ReplayFilesMustBeRegularFiles) {
  replay_mode();
  ASSERT_EQ(::mkfifo((m_dir / "pipe.tb").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", m_dir / "zero.tb");
  fs::create_directories(m_dir / "folder.tb");
  for (const char* name : {"pipe", "zero", "folder"}) {
    std::int32_t a = 7;
    const std::string out = replay(TraceOutcome::ReplayFailed, name, a, "a");
    EXPECT_NE(out.find("cannot open testbug file"), std::string::npos) << out;
    EXPECT_EQ(a, 7);
  }
}

// A grid of 2^31 rows and no columns holds no byte, so no count check can
// catch it; every loop over its rows would run for ever.
TEST_F(TraceTest, GridsWithOneEmptySideOrHugeSidesAreRefused) {
  replay_mode();
  for (const auto& [rows, cols] : {std::pair{0x7fffffff, 0}, std::pair{0, 5}, std::pair{70000, 1}}) {
    // An empty cloud (no points, no attributes), then the grid sides.
    Bytes b = Bytes().names(1, "frame").put<std::int32_t>(0).put<std::uint8_t>(0).put(rows).put(cols);
    // Room for every cell (empty: -1), its flag, the pose and the sensor direction.
    b.b.resize(b.b.size() + static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) * 5 + 120, 0xff);
    write_bytes("grid.tb", b.b);
    RangeData frame;
    const std::string out = replay(TraceOutcome::ReplayFailed, "grid", frame, "frame");
    EXPECT_NE(out.find("cannot read trace parameter frame"), std::string::npos) << rows << " x " << cols;
    EXPECT_EQ(frame.get_rows(), 0);
  }
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
    if (k < 200) bad.resize(static_cast<std::size_t>(k) * good.size() / 200);  // every truncation length
    else
      for (int flips = 0; flips < 3; ++flips) bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    write_bytes("bad.tb", bad);
    std::vector<const RangeData*> f2;
    std::vector<std::vector<bool>> m2;
    CaptureStdout();
    replayed += trace("bad", f2, "rangeDatas", m2, "isSample") == TraceOutcome::Replayed;
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

  gDebugDS.inner = gDAConfig.encodeNames = true;
  EXPECT_EQ(trace("in", a, "a"), TraceOutcome::Recorded);
  EXPECT_TRUE(fs::exists(m_dir / (DataArchiveConfig::encode_file_name("__inner_in") + ".tb")));
  gDebugDS.inner = gDAConfig.encodeNames = false;

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
  replay(TraceOutcome::Replayed, "par", v, "v");
  EXPECT_TRUE(v >= 0 && v < 4) << v;

  // Stream mode: name + header + data for each call, no trailer.
  auto stream = std::make_shared<MemoryWriteAble>();
  gDAConfig.set_shared_stream(stream);
  gDAConfig.stream = true;
  EXPECT_EQ(trace("s", a, "a"), TraceOutcome::Streamed);
  EXPECT_EQ(stream->bytes(), Bytes().str("s").version_lines().names(1, "a").put<std::int32_t>(1).b);
  // A constant cannot take a replayed value.
  const std::int32_t constant = 3;
  gDAConfig.stream = false;
  replay(TraceOutcome::ReplayFailed, "chosen", constant, "a");
}

#include <algorithm>
#include <array>
#include <cstring>
#include <sstream>

#include "common/trace/ArchiveReader.h"
#include "common/trace/ArchiveWriter.h"
#include "geometry/ArchiveConfig.h"

namespace TavoAlgorithm {

namespace {

constexpr const char* kVersionPrefix = "TESTBUG VERSION: ";
constexpr const char* kCommitPrefix = "LAST COMMIT: ";
// A version line longer than this is taken as the start of a file without one.
constexpr std::int32_t kMaxVersionLine = 61;

// Key words of the trailer scrambling, generated once (splitmix64).
const std::array<std::uint64_t, 16>& scramble_keys() {
  static const std::array<std::uint64_t, 16> keys = [] {
    std::array<std::uint64_t, 16> k{};
    std::uint64_t x = 0x5441564f54524143ull;
    for (auto& w : k) {
      std::uint64_t z = (x += 0x9e3779b97f4a7c15ull);
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
      w = z ^ (z >> 31);
    }
    return k;
  }();
  return keys;
}

void xor_window(std::string& s, std::size_t i) {
  unsigned char b[8];
  std::memcpy(b, s.data() + i, 8);
  std::uint64_t w = 0;
  for (int k = 7; k >= 0; --k) w = (w << 8) | b[k];
  w ^= scramble_keys()[i % scramble_keys().size()];
  for (int k = 0; k < 8; ++k) b[k] = static_cast<unsigned char>(w >> (8 * k));
  std::memcpy(s.data() + i, b, 8);
}

std::string inverted(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(~static_cast<unsigned char>(c));
  return out;
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

bool write_string_list(WriteAble& out, std::vector<std::string> list) {
  if (!write_i32(out, static_cast<std::int32_t>(list.size()))) return false;
  for (auto& s : list) {
    scramble_trailer_string(s);
    if (!write_string(out, s)) return false;
  }
  return true;
}

}  // namespace

void scramble_trailer_string(std::string& s) {
  if (s.size() < 8) return;
  for (std::size_t i = 0; i + 8 <= s.size(); ++i) xor_window(s, i);
}

void unscramble_trailer_string(std::string& s) {
  if (s.size() < 8) return;
  for (std::size_t i = s.size() - 8 + 1; i-- > 0;) xor_window(s, i);
}

const RangeData* ReplayFrameStore::adopt(std::unique_ptr<RangeData> frame) {
  std::lock_guard<std::mutex> g(m_mutex);
  m_frames.push_back(std::move(frame));
  return m_frames.back().get();
}

ReplayFrameStore& ReplayFrameStore::instance() {
  static ReplayFrameStore store;
  return store;
}

void ReplayFrameStore::release() {
  std::lock_guard<std::mutex> g(m_mutex);
  m_frames.clear();
}

std::size_t ReplayFrameStore::size() const {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_frames.size();
}

bool InterFace<std::vector<bool>>::write(WriteAble& out, const std::vector<bool>& v) {
  std::vector<std::uint8_t> bytes(v.size() / 8 + 1, 0);
  for (std::size_t i = 0; i < v.size(); ++i)
    if (v[i]) bytes[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
  return write_i32(out, static_cast<std::int32_t>(v.size())) &&
         write_i32(out, static_cast<std::int32_t>(bytes.size())) && out.write(bytes.data(), bytes.size());
}

bool InterFace<std::vector<bool>>::read(ReadAble& in, std::vector<bool>& v, const ArchiveOptions&) {
  std::int32_t bits = 0, count = 0;
  if (!read_i32(in, bits)) return false;
  if (bits < 0) {
    console::text("wrong item num\n");
    return false;
  }
  if (!read_item_count(in, count, 1)) return false;
  if (count < bits / 8 + 1) {
    console::text("can not read vector<bool>\n");
    return false;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
  if (!in.read(bytes.data(), bytes.size())) return false;
  std::vector<bool> tmp(static_cast<std::size_t>(bits));
  for (std::size_t i = 0; i < tmp.size(); ++i) tmp[i] = (bytes[i / 8] >> (i % 8)) & 1u;
  v = std::move(tmp);
  return true;
}

bool ArchiveWriter::write_header(WriteAble& out) const {
  std::string names;
  for (const auto& p : m_params) names += p->name();
  const std::string inv = inverted(names);
  return write_string(out, std::string(kVersionPrefix) + gCommonVersionStr) &&
         write_string(out, std::string(kCommitPrefix) + gGitCommitSHA1) &&
         write_u64(out, m_params.size()) && out.write(inv.data(), inv.size());
}

bool ArchiveWriter::write_trailer(WriteAble& out) const {
  const std::int64_t start = out.tell();
  std::vector<std::string> tags, names;
  for (const auto& p : m_params) {
    tags.push_back(p->tag());
    names.push_back(p->name());
  }
  if (!write_string_list(out, tags) || !write_string_list(out, names) ||
      !write_u64(out, static_cast<std::uint64_t>(start)))
    return false;
  return write_u64(out, static_cast<std::uint64_t>(out.tell() + 8));
}

bool ArchiveWriter::write_file(WriteAble& out) const {
  if (!write_header(out)) return false;
  for (const auto& p : m_params)
    if (!p->write(out)) return false;
  return write_trailer(out) && out.flush();
}

bool ArchiveWriter::write_stream(WriteAble& out, const std::string& operation) const {
  if (!write_string(out, operation) || !write_header(out)) return false;
  for (const auto& p : m_params)
    if (!p->write_alt(out)) return false;
  return out.flush();
}

void ArchiveReader::read_version_line(ReadAble& in, const std::string& prefix, std::string& out) {
  const std::int64_t pos = in.tell();
  std::int32_t len = 0;
  if (read_i32(in, len) && len < kMaxVersionLine && len > static_cast<std::int32_t>(prefix.size()) &&
      count_fits(in, len, 1)) {
    std::string line(static_cast<std::size_t>(len), '\0');
    if (in.read(line.data(), line.size()) && line.rfind(prefix, 0) == 0) {
      out = line.substr(prefix.size());
      return;
    }
  }
  in.seek(pos);
}

bool ArchiveReader::check_header(ReadAble& in, bool oldLayout) {
  const std::string pre = oldLayout ? "Try oldVersion: " : "";
  std::uint64_t count = 0;
  bool ok;
  if (oldLayout) {
    std::int32_t c32 = 0;
    ok = read_i32(in, c32);
    count = c32 < 0 ? ~0ull : static_cast<std::uint64_t>(c32);
  } else {
    ok = read_u64(in, count);
  }
  if (!ok || count != m_params.size()) {
    console::message(pre + "Error! Parameter Unmatch!");
    std::ostringstream e, r;
    e << pre << "Expect parameters number: " << m_params.size();
    r << pre << "Read File parameters number: " << (ok ? std::to_string(static_cast<long long>(count)) : "none");
    console::message(e.str());
    console::message(r.str());
    return false;
  }
  std::vector<std::string> expected, found;
  bool match = true;
  for (const auto& p : m_params) {
    const std::string name = p->name();
    std::string got(name.size(), '\0');
    if (!in.read(got.data(), got.size())) got.clear();
    if (!oldLayout) got = inverted(got);
    expected.push_back(name);
    found.push_back(got);
    match = match && got == name;
  }
  if (!match) {
    console::message(pre + "Error! Parameter Unmatch! ");
    console::message(pre + "Expect parameters: " + joined(expected));
    console::message(pre + "Read File parameters: " + joined(found));
  }
  return match;
}

bool ArchiveReader::read_file(ReadAble& in) {
  read_version_line(in, kVersionPrefix, m_version);
  read_version_line(in, kCommitPrefix, m_commit);
  const std::int64_t pos = in.tell();
  if (!check_header(in, false)) {
    if (!in.seek(pos) || !check_header(in, true)) return false;
  }
  for (const auto& p : m_params)
    if (!p->read(in, m_options)) {
      TAVO_LOG_ERROR("cannot read trace parameter " + p->name());
      return false;
    }
  return true;
}

}  // namespace TavoAlgorithm

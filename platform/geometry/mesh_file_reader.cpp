#include "mesh_file_reader.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <unordered_map>

#include "geometry/InputFile.h"
#include "ply_reader.h"

namespace TavoAlgorithm::mesh_file {

namespace {

constexpr std::uint64_t kMaxFileBytes = ply::kMaxFileBytes;
// A text line longer than this holds no vertex or face a writer produces
// (a face of several thousand corners fits).
constexpr std::size_t kMaxLine = 1 << 16;
constexpr long long kMaxVertices = std::numeric_limits<int>::max();

}  // namespace

std::string extension_of(const std::string& path) {
  const auto dot = path.find_last_of('.');
  const auto slash = path.find_last_of('/');
  std::string ext = dot == std::string::npos || (slash != std::string::npos && dot < slash) ? std::string()
                                                                                            : path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

namespace {

std::vector<std::string> words_of(const std::string& line) {
  std::istringstream ls(line);
  std::vector<std::string> w;
  for (std::string s; ls >> s;) w.push_back(s);
  return w;
}

bool finite_number(const std::string& token, double& v) { return parse_double_token(token, v) && std::isfinite(v); }

bool point_of(const std::string& x, const std::string& y, const std::string& z, Eigen::Vector3f& p) {
  double v[3];
  if (!finite_number(x, v[0]) || !finite_number(y, v[1]) || !finite_number(z, v[2])) return false;
  p = Eigen::Vector3d(v[0], v[1], v[2]).cast<float>();
  return p.allFinite();  // doubles beyond float range
}

void add_polygon(const std::vector<int>& polygon, Polygons& out) {
  out.corners.insert(out.corners.end(), polygon.begin(), polygon.end());
  out.cornerCounts.push_back(static_cast<int>(polygon.size()));
}

std::string at_line(long long n) { return "line " + std::to_string(n) + ": "; }

// Text formats are read line by line with a bounded line length.
class Lines {
 public:
  explicit Lines(std::istream& in) : m_in(in) {}
  // False at the end; sets `error` when a line is too long.
  bool next(std::string& line, std::string& error) {
    const LineRead r = read_bounded_line(m_in, kMaxLine, line);
    if (r == LineRead::End) return false;
    ++m_number;
    if (r == LineRead::TooLong) {
      error = at_line(m_number) + "longer than " + std::to_string(kMaxLine) + " bytes";
      return false;
    }
    return true;
  }
  long long number() const { return m_number; }

 private:
  std::istream& m_in;
  long long m_number = 0;
};

bool read_ply(const std::string& path, Polygons& out, std::string& error) {
  ply::File file;
  if (!ply::read(path, file, error)) return false;
  const ply::Element* verts = file.find("vertex");
  const std::size_t vn = verts ? verts->count : 0;
  if (vn > static_cast<std::size_t>(kMaxVertices)) {
    error = "too many vertices";
    return false;
  }
  if (vn > 0) {
    const ply::Property* axis[3] = {verts->find("x"), verts->find("y"), verts->find("z")};
    if (!axis[0] || !axis[1] || !axis[2] || axis[0]->isList || axis[1]->isList || axis[2]->isList) {
      error = "vertex needs scalar x, y, z";
      return false;
    }
    out.points.resize(vn);
    for (std::size_t i = 0; i < vn; ++i) {
      out.points[i] = Eigen::Vector3d(axis[0]->values[i], axis[1]->values[i], axis[2]->values[i]).cast<float>();
      if (!out.points[i].allFinite()) {
        error = "vertex " + std::to_string(i) + " has a non-finite coordinate";
        return false;
      }
    }
  }
  const ply::Element* faces = file.find("face");
  if (!faces || faces->count == 0) return true;
  const ply::Property* idx = faces->find("vertex_indices");
  if (!idx) idx = faces->find("vertex_index");
  if (!idx || !idx->isList) {
    error = "face needs a vertex_indices list";
    return false;
  }
  std::vector<int> polygon;
  for (std::size_t f = 0; f < faces->count; ++f) {
    const std::size_t b = idx->offsets[f], e = idx->offsets[f + 1];
    if (e - b < 3) {
      error = "face " + std::to_string(f) + " has fewer than three corners";
      return false;
    }
    polygon.clear();
    for (std::size_t k = b; k < e; ++k) {
      if (!is_index_value(idx->values[k], vn)) {
        error = "face " + std::to_string(f) + " has a corner that is no vertex index below " + std::to_string(vn);
        return false;
      }
      polygon.push_back(static_cast<int>(idx->values[k]));
    }
    add_polygon(polygon, out);
  }
  return true;
}

// One OBJ face corner "v", "v/t", "v//n" or "v/t/n" (1-based, negative
// counts back from the last element so far); every reference must name an
// element defined before it.
bool obj_corner(const std::string& token, const long long counts[3], int& vertex) {
  std::size_t start = 0;
  for (int part = 0; part < 3; ++part) {
    const std::size_t slash = std::min(token.find('/', start), token.size());
    const std::string ref = token.substr(start, slash - start);
    if (ref.empty()) {
      if (part == 0) return false;  // the vertex is never optional
    } else {
      long long r = 0;
      if (!parse_integer_token(ref, r) || r == 0) return false;
      const long long i = r > 0 ? r - 1 : counts[part] + r;
      if (i < 0 || i >= counts[part]) return false;
      if (part == 0) vertex = static_cast<int>(i);
    }
    if (slash == token.size()) return true;
    start = slash + 1;
  }
  return false;  // a fourth part
}

bool read_obj(std::istream& in, Polygons& out, std::string& error) {
  Lines lines(in);
  std::string line;
  long long counts[3] = {0, 0, 0};  // v, vt, vn
  std::vector<int> polygon;
  while (lines.next(line, error)) {
    const std::vector<std::string> w = words_of(line);
    if (w.empty() || w[0][0] == '#') continue;
    const std::string& key = w[0];
    const std::string where = at_line(lines.number());
    if (key == "v") {
      // x y z, optionally w or an r g b colour.
      Eigen::Vector3f p;
      double extra = 0;
      bool ok = (w.size() == 4 || w.size() == 5 || w.size() == 7) && point_of(w[1], w[2], w[3], p);
      for (std::size_t k = 4; ok && k < w.size(); ++k) ok = finite_number(w[k], extra);
      if (!ok || counts[0] >= kMaxVertices) {
        error = where + "bad vertex";
        return false;
      }
      out.points.push_back(p);
      ++counts[0];
    } else if (key == "vt" || key == "vn" || key == "vp") {
      const bool normal = key == "vn";
      double x = 0;
      bool ok = normal ? w.size() == 4 : w.size() >= 2 && w.size() <= 4;
      for (std::size_t k = 1; ok && k < w.size(); ++k) ok = finite_number(w[k], x);
      if (!ok) {
        error = where + "bad " + key + " line";
        return false;
      }
      if (key != "vp") ++counts[normal ? 2 : 1];
    } else if (key == "f") {
      polygon.clear();
      for (std::size_t k = 1; k < w.size(); ++k) {
        int v = -1;
        if (!obj_corner(w[k], counts, v)) {
          error = where + "face corner " + w[k] + " names no vertex, texture or normal defined before it";
          return false;
        }
        polygon.push_back(v);
      }
      if (polygon.size() < 3) {
        error = where + "face with fewer than three corners";
        return false;
      }
      add_polygon(polygon, out);
    }
    // Groups, objects, materials, smoothing, lines and points carry no
    // triangles; material libraries are not opened.
  }
  return error.empty();
}

// "OFF", optionally with texture (ST), colour (C) and normal (N) prefixes;
// the counts may follow on the same line.
bool off_keyword(const std::string& word) {
  std::string w = word;
  for (const char* prefix : {"ST", "C", "N"})
    if (w.rfind(prefix, 0) == 0) w = w.substr(std::strlen(prefix));
  return w == "OFF";
}

bool read_off(std::istream& in, std::uint64_t fileBytes, Polygons& out, std::string& error) {
  Lines lines(in);
  std::string line;
  // The next line that is neither blank nor a comment.
  auto content = [&](std::vector<std::string>& w) {
    while (lines.next(line, error)) {
      w = words_of(line);
      if (!w.empty() && w[0][0] != '#') return true;
    }
    return false;
  };
  std::vector<std::string> w;
  if (!content(w) || !off_keyword(w[0])) {
    if (error.empty())
      error = !w.empty() && w[0].find("OFF") != std::string::npos ? "unsupported OFF variant " + w[0] : "not an OFF file";
    return false;
  }
  std::vector<std::string> counts(w.begin() + 1, w.end());
  if (!counts.empty() && counts[0] == "BINARY") {
    error = "binary OFF is not supported";
    return false;
  }
  if (counts.empty() && !content(counts)) {
    if (error.empty()) error = "OFF file ends before its counts";
    return false;
  }
  long long nv = -1, nf = -1, ne = 0;
  if (counts.size() < 2 || counts.size() > 3 || !parse_integer_token(counts[0], 0, kMaxVertices, nv) ||
      !parse_integer_token(counts[1], 0, kMaxVertices, nf) ||
      (counts.size() == 3 && !parse_integer_token(counts[2], 0, std::numeric_limits<int>::max(), ne))) {
    error = "bad OFF counts";
    return false;
  }
  // A vertex takes at least "0 0 0\n", a face "3 0 1 2\n".
  const std::uint64_t least = 6 * static_cast<std::uint64_t>(nv) + 8 * static_cast<std::uint64_t>(nf);
  if (least > fileBytes) {
    error = "OFF counts of " + std::to_string(nv) + " vertices and " + std::to_string(nf) +
            " faces need more than the file's " + std::to_string(fileBytes) + " bytes";
    return false;
  }
  out.points.reserve(static_cast<std::size_t>(nv));
  std::vector<int> polygon;
  long long vertices = 0, faces = 0;
  while ((vertices < nv || faces < nf) && content(w)) {
    const std::string where = at_line(lines.number());
    if (vertices < nv) {
      // x y z, then normal, colour and texture values: at most 12 numbers.
      Eigen::Vector3f p;
      double extra = 0;
      bool ok = w.size() >= 3 && w.size() <= 12 && point_of(w[0], w[1], w[2], p);
      for (std::size_t k = 3; ok && k < w.size(); ++k) ok = finite_number(w[k], extra);
      if (!ok) {
        error = where + "bad vertex";
        return false;
      }
      out.points.push_back(p);
      ++vertices;
      continue;
    }
    long long k = 0;
    if (!parse_integer_token(w[0], 3, std::numeric_limits<int>::max(), k) || static_cast<long long>(w.size()) < k + 1 ||
        static_cast<long long>(w.size()) > k + 5) {
      error = where + "bad face";
      return false;
    }
    polygon.clear();
    for (long long c = 1; c <= k; ++c) {
      long long v = -1;
      if (!parse_integer_token(w[static_cast<std::size_t>(c)], 0, nv - 1, v)) {
        error = where + "face corner " + w[static_cast<std::size_t>(c)] + " is no vertex index below " + std::to_string(nv);
        return false;
      }
      polygon.push_back(static_cast<int>(v));
    }
    double colour = 0;
    for (std::size_t c = static_cast<std::size_t>(k) + 1; c < w.size(); ++c)
      if (!finite_number(w[c], colour)) {
        error = where + "bad face colour";
        return false;
      }
    add_polygon(polygon, out);
    ++faces;
  }
  if (!error.empty()) return false;
  if (vertices < nv || faces < nf) {
    error = "OFF file ends after " + std::to_string(vertices) + " of " + std::to_string(nv) + " vertices and " +
            std::to_string(faces) + " of " + std::to_string(nf) + " faces";
    return false;
  }
  return true;
}

// STL lists every corner of every triangle; equal positions become one vertex.
class Welder {
 public:
  explicit Welder(Polygons& out) : m_out(out) {}
  void add(Eigen::Vector3f p) {
    p = p + Eigen::Vector3f::Zero();  // -0 and +0 are one position
    std::array<std::uint32_t, 3> key;
    std::memcpy(key.data(), p.data(), sizeof(key));
    const auto [it, inserted] = m_index.emplace(key, static_cast<int>(m_out.points.size()));
    if (inserted) m_out.points.push_back(p);
    m_out.corners.push_back(it->second);
    if (++m_pending == 3) {
      m_out.cornerCounts.push_back(3);
      m_pending = 0;
    }
  }

 private:
  struct Hash {
    std::size_t operator()(const std::array<std::uint32_t, 3>& k) const {
      return (std::size_t{k[0]} * 73856093u) ^ (std::size_t{k[1]} * 19349663u) ^ (std::size_t{k[2]} * 83492791u);
    }
  };
  Polygons& m_out;
  int m_pending = 0;  // corners of the triangle being added
  std::unordered_map<std::array<std::uint32_t, 3>, int, Hash> m_index;
};

constexpr std::uint64_t kStlHeader = 84, kStlRecord = 50;

bool read_binary_stl(std::istream& in, std::uint32_t count, Polygons& out, std::string& error) {
  in.seekg(static_cast<std::streamoff>(kStlHeader));
  Welder weld(out);
  unsigned char rec[kStlRecord];
  for (std::uint32_t f = 0; f < count; ++f) {
    if (!in.read(reinterpret_cast<char*>(rec), kStlRecord)) {
      error = "stl data ends inside triangle " + std::to_string(f);
      return false;
    }
    float v[9];
    std::memcpy(v, rec + 12, sizeof(v));  // after the normal
    for (int c = 0; c < 3; ++c) {
      const Eigen::Vector3f p(v[3 * c], v[3 * c + 1], v[3 * c + 2]);
      if (!p.allFinite()) {
        error = "triangle " + std::to_string(f) + " has a non-finite coordinate";
        return false;
      }
      weld.add(p);
    }
  }
  return true;
}

bool read_ascii_stl(std::istream& in, Polygons& out, std::string& error) {
  Lines lines(in);
  std::string line;
  Welder weld(out);
  std::vector<Eigen::Vector3f> facet;
  bool started = false, inFacet = false, ended = false;
  while (!ended && lines.next(line, error)) {
    const std::vector<std::string> w = words_of(line);
    if (w.empty()) continue;
    const std::string where = at_line(lines.number());
    const std::string& key = w[0];
    double n = 0;
    bool ok = true;
    if (!started || key == "solid") {
      ok = key == "solid" && !started;
      started = true;
    } else if (key == "facet") {
      ok = !inFacet && w.size() == 5 && w[1] == "normal";
      for (std::size_t k = 2; ok && k < 5; ++k) ok = parse_double_token(w[k], n);
      inFacet = true;
      facet.clear();
    } else if (key == "outer" || key == "endloop") {
      ok = inFacet && (key == "endloop" ? w.size() == 1 : w.size() == 2 && w[1] == "loop");
    } else if (key == "vertex") {
      Eigen::Vector3f p;
      ok = inFacet && w.size() == 4 && point_of(w[1], w[2], w[3], p);
      if (ok) facet.push_back(p);
    } else if (key == "endfacet") {
      ok = inFacet && facet.size() == 3;
      if (ok)
        for (const auto& p : facet) weld.add(p);
      inFacet = false;
    } else if (key == "endsolid") {
      ok = !inFacet;
      ended = true;
    } else {
      ok = false;
    }
    if (!ok) {
      error = where + "bad stl line";
      return false;
    }
  }
  if (!error.empty()) return false;
  if (!ended) {
    error = "stl data ends before endsolid";
    return false;
  }
  return true;
}

bool read_stl(std::istream& in, std::uint64_t size, Polygons& out, std::string& error) {
  char head[kStlHeader] = {};
  in.read(head, sizeof(head));
  const std::uint64_t got = static_cast<std::uint64_t>(in.gcount());
  std::uint32_t count = 0;
  if (got == kStlHeader) std::memcpy(&count, head + 80, sizeof(count));
  // Binary files may also start with "solid"; their size tells them apart.
  if (got == kStlHeader && size == kStlHeader + kStlRecord * std::uint64_t{count})
    return read_binary_stl(in, count, out, error);
  const std::string start(head, static_cast<std::size_t>(got));
  const std::size_t first = start.find_first_not_of(" \t\r\n");
  if (first == std::string::npos || start.compare(first, 5, "solid") != 0) {
    error = "binary stl size does not match its face count";
    return false;
  }
  in.clear();
  in.seekg(0);
  return read_ascii_stl(in, out, error);
}

}  // namespace

bool read(const std::string& path, Polygons& out, std::string& error) {
  out = Polygons();
  error.clear();
  const std::string ext = extension_of(path);
  if (ext != "ply" && ext != "obj" && ext != "off" && ext != "stl") {
    error = "unsupported mesh format '" + ext + "' (ply, obj, off and stl are read)";
    return false;
  }
  Polygons t;
  bool ok;
  if (ext == "ply") {
    ok = read_ply(path, t, error);
  } else {
    std::ifstream in;
    std::uint64_t size = 0;
    if (!open_input_file(path, kMaxFileBytes, in, error, &size)) return false;
    if (ext == "obj") ok = read_obj(in, t, error);
    else if (ext == "off") ok = read_off(in, size, t, error);
    else ok = read_stl(in, size, t, error);
  }
  if (!ok) return false;
  if (t.corners.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    error = "too many face corners";
    return false;
  }
  out = std::move(t);
  return true;
}

}  // namespace TavoAlgorithm::mesh_file

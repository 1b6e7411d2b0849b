#include "meshproc/RepeatedFaces.h"

#include <algorithm>
#include <array>
#include <climits>

namespace TavoAlgorithm {
namespace {

struct Keyed {
  std::array<int, 3> key;  // sorted corners
  bool even;               // corner order an even permutation of the key
  int face;
};

bool same_key(const Keyed& x, const Keyed& y) {
  return x.key[0] == y.key[0] && x.key[1] == y.key[1] && x.key[2] == y.key[2];
}

bool key_then_face(const Keyed& x, const Keyed& y) {
  if (x.key[0] != y.key[0]) return x.key[0] < y.key[0];
  if (x.key[1] != y.key[1]) return x.key[1] < y.key[1];
  if (x.key[2] != y.key[2]) return x.key[2] < y.key[2];
  return x.face < y.face;
}

// Faces of one key, in face order: the first face of the surplus turn stays,
// if there is a surplus; the others go to `drop`.
void settle_group(const Keyed* first, const Keyed* last, std::vector<int>& drop) {
  int balance = 0;
  for (const Keyed* k = first; k != last; ++k) balance += k->even ? 1 : -1;
  bool kept = false;
  for (const Keyed* k = first; k != last; ++k) {
    const bool keep = !kept && balance != 0 && k->even == (balance > 0);
    kept = kept || keep;
    if (!keep) drop.push_back(k->face);
  }
}

}  // namespace

std::vector<int> repeated_faces(const std::vector<BaseTriFace>& faces, const std::function<bool(int)>& live) {
  std::vector<Keyed> keyed;
  keyed.reserve(faces.size());
  int lo = INT_MAX, hi = INT_MIN;
  for (int f = 0; f < static_cast<int>(faces.size()); ++f) {
    if (!live(f)) continue;
    const BaseTriFace& t = faces[static_cast<std::size_t>(f)];
    // The rotation that puts the smallest corner first decides the turn.
    const int m = t[0] < t[1] ? (t[0] < t[2] ? 0 : 2) : (t[1] < t[2] ? 1 : 2);
    const int b = t[(m + 1) % 3], c = t[(m + 2) % 3];
    keyed.push_back({{t[m], std::min(b, c), std::max(b, c)}, b < c, f});
    lo = std::min(lo, t[m]);
    hi = std::max(hi, t[m]);
  }
  std::vector<int> drop;
  if (keyed.size() < 2) return drop;
  const long long range = static_cast<long long>(hi) - lo + 1;
  if (range > 4 * static_cast<long long>(keyed.size()) + 1024) {
    // Sparse corner numbers: one comparison sort.
    std::sort(keyed.begin(), keyed.end(), key_then_face);
    for (std::size_t i = 0; i < keyed.size();) {
      std::size_t j = i + 1;
      while (j < keyed.size() && same_key(keyed[j], keyed[i])) ++j;
      if (j - i > 1) settle_group(&keyed[i], &keyed[j], drop);
      i = j;
    }
  } else {
    // Bucketed by smallest corner, in face order within a bucket: a marching-cubes
    // mesh puts a handful of faces in each, so only the buckets are sorted (a sort
    // of all faces cost more than the rest of the clean-up).
    std::vector<int> start(static_cast<std::size_t>(range) + 1, 0);
    for (const Keyed& k : keyed) ++start[static_cast<std::size_t>(k.key[0] - lo) + 1];
    for (std::size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
    std::vector<Keyed> bucketed(keyed.size());
    {
      std::vector<int> next(start.begin(), start.end() - 1);
      for (const Keyed& k : keyed) bucketed[static_cast<std::size_t>(next[static_cast<std::size_t>(k.key[0] - lo)]++)] = k;
    }
    for (std::size_t v = 0; v + 1 < start.size(); ++v) {
      Keyed* first = bucketed.data() + start[v];
      Keyed* last = bucketed.data() + start[v + 1];
      if (last - first < 2) continue;
      std::sort(first, last, key_then_face);
      for (Keyed* i = first; i != last;) {
        Keyed* j = i + 1;
        while (j != last && same_key(*j, *i)) ++j;
        if (j - i > 1) settle_group(i, j, drop);
        i = j;
      }
    }
  }
  std::sort(drop.begin(), drop.end());
  return drop;
}

}  // namespace TavoAlgorithm

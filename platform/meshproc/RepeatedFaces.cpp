#include "meshproc/RepeatedFaces.h"

#include <algorithm>
#include <array>

namespace TavoAlgorithm {

std::vector<int> repeated_faces(const std::vector<BaseTriFace>& faces, const std::function<bool(int)>& live) {
  struct Keyed {
    std::array<int, 3> key;  // sorted corners
    bool even;               // corner order an even permutation of the key
    int face;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(faces.size());
  for (int f = 0; f < static_cast<int>(faces.size()); ++f) {
    if (!live(f)) continue;
    const BaseTriFace& t = faces[static_cast<std::size_t>(f)];
    // The rotation that puts the smallest corner first decides the turn.
    const int m = t[0] < t[1] ? (t[0] < t[2] ? 0 : 2) : (t[1] < t[2] ? 1 : 2);
    const int b = t[(m + 1) % 3], c = t[(m + 2) % 3];
    keyed.push_back({{t[m], std::min(b, c), std::max(b, c)}, b < c, f});
  }
  std::sort(keyed.begin(), keyed.end(),
            [](const Keyed& x, const Keyed& y) { return x.key != y.key ? x.key < y.key : x.face < y.face; });
  std::vector<int> drop;
  for (std::size_t i = 0; i < keyed.size();) {
    std::size_t j = i + 1;
    while (j < keyed.size() && keyed[j].key == keyed[i].key) ++j;
    if (j - i > 1) {
      int balance = 0;
      for (std::size_t k = i; k < j; ++k) balance += keyed[k].even ? 1 : -1;
      // The first face of the surplus turn stays, if there is a surplus.
      bool kept = false;
      for (std::size_t k = i; k < j; ++k) {
        const bool keep = !kept && balance != 0 && keyed[k].even == (balance > 0);
        kept = kept || keep;
        if (!keep) drop.push_back(keyed[k].face);
      }
    }
    i = j;
  }
  std::sort(drop.begin(), drop.end());
  return drop;
}

}  // namespace TavoAlgorithm

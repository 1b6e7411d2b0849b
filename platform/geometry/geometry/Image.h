#pragma once
// Interleaved image of `Channels` samples of type T per pixel, row-major with
// no padding: sample c of pixel (x, y) is data[(y * width + x) * Channels + c].
// Pixel (x, y) has its centre at image coordinates (x, y).
#include <cstddef>
#include <vector>

namespace TavoAlgorithm {

template <int Channels, typename T>
class Image {
  static_assert(Channels > 0, "an image has at least one channel");

 public:
  Image() = default;
  // Negative sizes give an empty image.
  Image(int width, int height, T fill = T())
      : m_width(width > 0 && height > 0 ? width : 0),
        m_height(width > 0 && height > 0 ? height : 0),
        m_data(static_cast<std::size_t>(m_width) * m_height * Channels, fill) {}

  int width() const { return m_width; }
  int height() const { return m_height; }
  static constexpr int channels() { return Channels; }
  bool empty() const { return m_data.empty(); }
  // False when the sample array was resized behind the image's back.
  bool is_consistent() const {
    return m_data.size() == static_cast<std::size_t>(m_width) * m_height * Channels;
  }

  T& at(int x, int y, int c = 0) { return m_data[index(x, y, c)]; }
  const T& at(int x, int y, int c = 0) const { return m_data[index(x, y, c)]; }

  std::vector<T>& data() { return m_data; }
  const std::vector<T>& data() const { return m_data; }

 private:
  std::size_t index(int x, int y, int c) const {
    return (static_cast<std::size_t>(y) * m_width + x) * Channels + c;
  }

  int m_width = 0;
  int m_height = 0;
  std::vector<T> m_data;
};

}  // namespace TavoAlgorithm

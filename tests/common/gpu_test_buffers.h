#pragma once
// Moves host vectors to and from back-end memory for the kernel tests.
#include <vector>

#include "common/gpu/device_memory.h"

namespace tavo_test {

template <class T>
TavoGPUAlgorithm::DeviceBuffer<T> to_device(const std::vector<T>& host) {
  TavoGPUAlgorithm::DeviceBuffer<T> b(host.size());
  b.upload(host.data(), host.size());
  return b;
}

template <class T>
std::vector<T> to_host(const TavoGPUAlgorithm::DeviceBuffer<T>& b) {
  std::vector<T> host(b.size());
  b.download(host.data(), host.size());
  return host;
}

inline void set_bit(std::vector<int>& mask, int cell) {
  mask[cell / 32] = static_cast<int>(static_cast<unsigned>(mask[cell / 32]) | (1u << (cell % 32)));
}

inline bool get_bit(const std::vector<int>& mask, int cell) {
  return ((static_cast<unsigned>(mask[cell / 32]) >> (cell % 32)) & 1u) != 0;
}

}  // namespace tavo_test

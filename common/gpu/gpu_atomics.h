#pragma once
// Atomic add and or with the same meaning on both back ends: CUDA intrinsics
// on the device, the compiler's __atomic builtins on the host (relaxed order
// is enough: every launch ends with a join before anybody reads the result).
#include "common/gpu/gpu_types.h"

namespace TavoGPUAlgorithm {

TAVO_HD inline int atomic_add(int* p, int v) {
#if defined(__CUDA_ARCH__)
  return atomicAdd(p, v);
#else
  return __atomic_fetch_add(p, v, __ATOMIC_RELAXED);
#endif
}

TAVO_HD inline int atomic_or(int* p, int v) {
#if defined(__CUDA_ARCH__)
  return atomicOr(p, v);
#else
  return __atomic_fetch_or(p, v, __ATOMIC_RELAXED);
#endif
}

// Many cells may set one flag byte at once; on the host that needs an atomic
// store (the same value either way, but a plain store is a data race).
TAVO_HD inline void atomic_set_flag(char* p) {
#if defined(__CUDA_ARCH__)
  *p = 1;
#else
  __atomic_store_n(p, static_cast<char>(1), __ATOMIC_RELAXED);
#endif
}

TAVO_HD inline float atomic_add(float* p, float v) {
#if defined(__CUDA_ARCH__)
  return atomicAdd(p, v);
#else
  float seen;
  __atomic_load(p, &seen, __ATOMIC_RELAXED);
  float next = seen + v;
  while (!__atomic_compare_exchange(p, &seen, &next, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED))
    next = seen + v;
  return seen;
#endif
}

}  // namespace TavoGPUAlgorithm

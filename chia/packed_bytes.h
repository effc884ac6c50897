#pragma once
// Unaligned loads and stores of packed records and hash inputs, for the kernels that read and
// write them byte-exact.

#include <cstdint>
#include <cstring>

namespace packed_bytes {

template <typename T>
inline T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

template <typename T>
inline void Store(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof(T));
}

inline uint64_t LoadBig64(const uint8_t* p) { return __builtin_bswap64(Load<uint64_t>(p)); }

inline void StoreBig64(uint8_t* p, uint64_t v) { Store(p, __builtin_bswap64(v)); }

}  // namespace packed_bytes

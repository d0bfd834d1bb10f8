#pragma once

#include <cstdint>

namespace salvor {

// Overflow-checked arithmetic on signed 64-bit sizes and offsets read from untrusted data.
inline bool CheckedAdd(long long a, long long b, long long* out) {
  return !__builtin_add_overflow(a, b, out);
}
inline bool CheckedMul(long long a, long long b, long long* out) {
  return !__builtin_mul_overflow(a, b, out);
}

// Loads from a byte pointer; the caller has checked the bounds.
inline uint16_t LoadBE16(const uint8_t* p) {
  return uint16_t(p[0] << 8 | p[1]);
}
inline uint16_t LoadLE16(const uint8_t* p) {
  return uint16_t(p[1] << 8 | p[0]);
}
inline uint32_t LoadBE32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint32_t LoadLE32(const uint8_t* p) {
  return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}
inline uint64_t LoadBE64(const uint8_t* p) {
  return uint64_t(LoadBE32(p)) << 32 | LoadBE32(p + 4);
}
inline uint64_t LoadLE64(const uint8_t* p) {
  return uint64_t(LoadLE32(p + 4)) << 32 | LoadLE32(p);
}

}  // namespace salvor

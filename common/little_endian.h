#pragma once

#include <cstdint>

namespace tilegraft {

// The headers' little-endian fields, byte by byte: they stand at offsets that are not aligned.
inline std::uint16_t readLe16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8U);
}

inline std::uint32_t readLe32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8U |
         static_cast<std::uint32_t>(bytes[2]) << 16U | static_cast<std::uint32_t>(bytes[3]) << 24U;
}

inline void writeLe32(std::uint8_t* bytes, std::uint32_t value) {
  for (unsigned i = 0; i < 4; ++i) {
    bytes[i] = static_cast<std::uint8_t>(value >> (8U * i));
  }
}

} // namespace tilegraft

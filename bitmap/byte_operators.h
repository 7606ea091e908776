#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tilegraft {

// Combines n destination bytes with n source bytes in place, in increasing order, and returns
// the destination. The ranges never overlap: they lie in two different bitmaps.
using ByteOperator = void* (*)(void* destination, const void* source, std::size_t n);

// The operators are defined here, inline, so that a merge's row loop can have its operator
// inlined: the rows of small tiles are only a few bytes long.
namespace detail {

// One SSE register's worth. Both operands are copied into locals of exactly this size, so the
// compiler sees no aliasing and no partial use and makes each step one load, one load-and-combine
// and one store; larger locals leave dead copies on the stack with g++ 12.
inline constexpr std::size_t vectorBytes = 16;

template <std::size_t size, typename Combine>
void combineChunk(unsigned char* to, const unsigned char* from, Combine combine) {
  unsigned char left[size];
  unsigned char right[size];
  std::memcpy(left, to, size);
  std::memcpy(right, from, size);
  for (std::size_t i = 0; i < size; ++i) {
    left[i] = combine(left[i], right[i]);
  }
  std::memcpy(to, left, size);
}

// The bulk goes four vectors at a time, then single vectors; the last 15 bytes or fewer in at
// most four steps of 8, 4, 2 and 1 bytes, since rows of small tiles are often that short.
template <typename Combine>
void* combineBytes(void* destination, const void* source, std::size_t n, Combine combine) {
  auto* to = static_cast<unsigned char*>(destination);
  const auto* from = static_cast<const unsigned char*>(source);
  for (; n >= 4 * vectorBytes; n -= 4 * vectorBytes) {
    combineChunk<vectorBytes>(to, from, combine);
    combineChunk<vectorBytes>(to + vectorBytes, from + vectorBytes, combine);
    combineChunk<vectorBytes>(to + 2 * vectorBytes, from + 2 * vectorBytes, combine);
    combineChunk<vectorBytes>(to + 3 * vectorBytes, from + 3 * vectorBytes, combine);
    to += 4 * vectorBytes;
    from += 4 * vectorBytes;
  }
  for (; n >= vectorBytes; n -= vectorBytes) {
    combineChunk<vectorBytes>(to, from, combine);
    to += vectorBytes;
    from += vectorBytes;
  }
  if ((n & 8U) != 0) {
    combineChunk<8>(to, from, combine);
    to += 8;
    from += 8;
  }
  if ((n & 4U) != 0) {
    combineChunk<4>(to, from, combine);
    to += 4;
    from += 4;
  }
  if ((n & 2U) != 0) {
    combineChunk<2>(to, from, combine);
    to += 2;
    from += 2;
  }
  if ((n & 1U) != 0) {
    *to = combine(*to, *from);
  }
  return destination;
}

inline unsigned char andByte(unsigned char a, unsigned char b) {
  return static_cast<unsigned char>(a & b);
}

inline unsigned char orByte(unsigned char a, unsigned char b) {
  return static_cast<unsigned char>(a | b);
}

inline unsigned char xorByte(unsigned char a, unsigned char b) {
  return static_cast<unsigned char>(a ^ b);
}

} // namespace detail

inline void* copyBytes(void* destination, const void* source, std::size_t n) {
  return std::memcpy(destination, source, n);
}

inline void* andBytes(void* destination, const void* source, std::size_t n) {
  return detail::combineBytes(destination, source, n, detail::andByte);
}

inline void* orBytes(void* destination, const void* source, std::size_t n) {
  return detail::combineBytes(destination, source, n, detail::orByte);
}

inline void* xorBytes(void* destination, const void* source, std::size_t n) {
  return detail::combineBytes(destination, source, n, detail::xorByte);
}

// The four ways a merge combines bytes, in the order of their characters in a merge line.
enum class MergeOperator : std::uint8_t { copy, bitAnd, bitOr, bitXor };

inline constexpr std::string_view operatorCharacters = "=&|^";

// Indexed by MergeOperator.
inline constexpr std::array<ByteOperator, 4> byteOperators{copyBytes, andBytes, orBytes, xorBytes};

constexpr std::size_t operatorIndex(MergeOperator op) { return static_cast<std::size_t>(op); }

} // namespace tilegraft

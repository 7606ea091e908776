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

// The ways a merge combines bytes, in the order of their characters in a merge line: the four
// byte operators, then the copy that keeps the destination's pixels where the source holds its
// key colour.
enum class MergeOperator : std::uint8_t { copy, bitAnd, bitOr, bitXor, keyed };

inline constexpr std::string_view operatorCharacters = "=&|^~";

// Indexed by MergeOperator, the four byte operators only: the keyed copy needs its key.
inline constexpr std::array<ByteOperator, 4> byteOperators{copyBytes, andBytes, orBytes, xorBytes};

// The bytes of one pixel that a keyed copy leaves out; a size of 0 is no key.
struct KeyColour {
  std::array<std::uint8_t, 3> bytes{};
  std::uint8_t size = 0;

  friend bool operator==(const KeyColour&, const KeyColour&) = default;
};

// Copies the 1-byte pixels of a row whose value is not the key: a select per byte, which the
// compiler makes a compare and a blend per vector.
inline void copyUnlessKey8(std::uint8_t* to, const std::uint8_t* from, std::size_t pixels,
                           std::uint8_t key) {
  detail::combineBytes(to, from, pixels, [key](unsigned char kept, unsigned char copied) {
    return copied == key ? kept : copied;
  });
}

// Copies the 3-byte pixels of a row that differ from the key, without a branch per pixel (sprites
// make the outcome unpredictable): each pixel but the last is read and written as 4 bytes, the
// fourth being the next pixel's first byte of the destination, written back as it was read. The
// last goes byte by byte, so that nothing past the row is touched. The words are built from bytes
// in memory order, so the test holds whatever the byte order.
inline void copyUnlessKey24(std::uint8_t* to, const std::uint8_t* from, std::size_t pixels,
                            const std::array<std::uint8_t, 3>& key) {
  constexpr std::uint8_t maskBytes[4] = {0xFF, 0xFF, 0xFF, 0};
  const std::uint8_t keyBytes[4] = {key[0], key[1], key[2], 0};
  std::uint32_t pixelMask = 0;
  std::uint32_t keyWord = 0;
  std::memcpy(&pixelMask, maskBytes, 4);
  std::memcpy(&keyWord, keyBytes, 4);
  for (; pixels > 1; --pixels) {
    std::uint32_t kept = 0;
    std::uint32_t copied = 0;
    std::memcpy(&kept, to, 4);
    std::memcpy(&copied, from, 4);
    // All ones in the pixel's three bytes where it is copied, none where it is the key.
    const std::uint32_t take = (copied & pixelMask) == keyWord ? 0U : pixelMask;
    kept = (kept & ~take) | (copied & take);
    std::memcpy(to, &kept, 4);
    to += 3;
    from += 3;
  }
  if (pixels == 1 && std::memcmp(from, key.data(), 3) != 0) {
    std::memcpy(to, from, 3);
  }
}

constexpr std::size_t operatorIndex(MergeOperator op) { return static_cast<std::size_t>(op); }

} // namespace tilegraft

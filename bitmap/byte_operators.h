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
  std::array<std::uint8_t, 4> bytes{};
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

namespace detail {

// One 3-byte pixel copied unless it is the key.
inline void copyPixelUnlessKey(std::uint8_t* to, const std::uint8_t* from,
                               const std::array<std::uint8_t, 4>& key) {
  if (from[0] != key[0] || from[1] != key[1] || from[2] != key[2]) {
    std::memcpy(to, from, 3);
  }
}

// The constants of one 16-byte chunk that starts at a byte whose place in its pixel is phase:
// for each shift d of -2 to 2, the key byte that each lane's source byte d places on is compared
// with; and which lanes hold a pixel's first, second and third byte.
struct KeyChunk {
  unsigned char keyAt[5][vectorBytes];
  unsigned char place[3][vectorBytes];
};

inline KeyChunk keyChunk(const std::array<std::uint8_t, 4>& key, std::size_t phase) {
  KeyChunk chunk{};
  for (std::size_t i = 0; i < vectorBytes; ++i) {
    for (std::size_t d = 0; d < 5; ++d) {
      chunk.keyAt[d][i] = key[(phase + i + d + 1) % 3]; // + 3 - 2
    }
    for (std::size_t r = 0; r < 3; ++r) {
      chunk.place[r][i] = (phase + i) % 3 == r ? 0xFF : 0;
    }
  }
  return chunk;
}

// Keys 16 bytes: a lane is kept where all three bytes of its pixel match the key. Each lane's
// pixel is read through source loads shifted by -2 to 2, so that no lane depends on another and
// the loop is one vector operation per step.
inline void copyChunkUnlessKey(std::uint8_t* to, const std::uint8_t* from, const KeyChunk& chunk) {
  unsigned char shifted[5][vectorBytes];
  for (std::size_t d = 0; d < 5; ++d) {
    std::memcpy(shifted[d], from + d - 2, vectorBytes);
  }
  unsigned char kept[vectorBytes];
  std::memcpy(kept, to, vectorBytes);
  for (std::size_t i = 0; i < vectorBytes; ++i) {
    unsigned char match[5];
    for (std::size_t d = 0; d < 5; ++d) {
      match[d] = shifted[d][i] == chunk.keyAt[d][i] ? 0xFF : 0;
    }
    const unsigned char first = chunk.place[0][i];
    const unsigned char second = chunk.place[1][i];
    const unsigned char third = chunk.place[2][i];
    // The pixel's other two bytes: +1 and +2 for its first, -1 and +1 for its second, -2 and -1
    // for its third.
    const auto other = static_cast<unsigned char>((match[3] & first) | (match[1] & ~first));
    const auto last =
        static_cast<unsigned char>((match[4] & first) | (match[3] & second) | (match[0] & third));
    const auto key = static_cast<unsigned char>(match[2] & other & last);
    kept[i] = static_cast<unsigned char>((kept[i] & key) | (shifted[2][i] & ~key));
  }
  std::memcpy(to, kept, vectorBytes);
}

} // namespace detail

// Copies the 3-byte pixels of a row that differ from the key. The first pixel and the last few
// go one by one; between them, 48 bytes (16 pixels) at a time, in three chunks whose first byte
// is a pixel's first, second and third, each read with two bytes on either side, which lie
// inside the row.
inline void copyUnlessKey24(std::uint8_t* to, const std::uint8_t* from, std::size_t pixels,
                            const std::array<std::uint8_t, 4>& key) {
  constexpr std::size_t groupBytes = 3 * detail::vectorBytes;
  const std::size_t rowBytes = pixels * 3;
  std::size_t at = 0;
  if (rowBytes >= 3 + groupBytes + 2) {
    const detail::KeyChunk chunks[3] = {detail::keyChunk(key, 0), detail::keyChunk(key, 1),
                                        detail::keyChunk(key, 2)};
    detail::copyPixelUnlessKey(to, from, key);
    for (at = 3; at + groupBytes + 2 <= rowBytes; at += groupBytes) {
      for (std::size_t c = 0; c < 3; ++c) {
        const std::size_t chunkAt = at + c * detail::vectorBytes;
        detail::copyChunkUnlessKey(to + chunkAt, from + chunkAt, chunks[c]);
      }
    }
  }
  for (; at < rowBytes; at += 3) {
    detail::copyPixelUnlessKey(to + at, from + at, key);
  }
}

// Copies the 4-byte pixels of a row that are not the key: one 32-bit compare a pixel, whole
// pixels, so that an alpha byte is kept or copied with its colour. Four pixels at a step are a
// select per 32-bit lane, which the compiler makes a compare and a blend per vector, where a
// branch per pixel cost twice the time on sprites.
inline void copyUnlessKey32(std::uint8_t* to, const std::uint8_t* from, std::size_t pixels,
                            const std::array<std::uint8_t, 4>& key) {
  std::uint32_t keyValue = 0;
  std::memcpy(&keyValue, key.data(), 4);
  constexpr std::size_t step = detail::vectorBytes / 4;
  std::size_t i = 0;
  for (; i + step <= pixels; i += step) {
    std::uint32_t copied[step];
    std::uint32_t kept[step];
    std::memcpy(copied, from + i * 4, sizeof copied);
    std::memcpy(kept, to + i * 4, sizeof kept);
    for (std::size_t lane = 0; lane < step; ++lane) {
      kept[lane] = copied[lane] == keyValue ? kept[lane] : copied[lane];
    }
    std::memcpy(to + i * 4, kept, sizeof kept);
  }
  for (; i < pixels; ++i) {
    std::uint32_t pixel = 0;
    std::memcpy(&pixel, from + i * 4, 4);
    if (pixel != keyValue) {
      std::memcpy(to + i * 4, &pixel, 4);
    }
  }
}

// Which row loops keyed copies run: the widest this processor and build offer (on x86 with
// SSE4.1, 16 pixels of 3 bytes at a step through byte shuffles), or the portable ones above
// alone. Both give the same bytes; tests run both.
enum class KeyedCopyPath : std::uint8_t { widest, portable };

// The path keyed copies take from now on.
void chooseKeyedCopyPath(KeyedCopyPath path);

// The path they take: portable where the widest is the portable one.
KeyedCopyPath keyedCopyPath();

constexpr std::size_t operatorIndex(MergeOperator op) { return static_cast<std::size_t>(op); }

} // namespace tilegraft

#include "bitmap/byte_operators.h"

#include <cstdint>
#include <cstring>

namespace tilegraft {

namespace {

// The bytes are combined in fixed-size chunks copied into locals, so the compiler sees no
// aliasing and a known trip count and turns each chunk into a few vector instructions.
template <typename Combine>
void* combineBytes(void* destination, const void* source, std::size_t n, Combine combine) {
  constexpr std::size_t chunkSize = 32;
  auto* to = static_cast<unsigned char*>(destination);
  const auto* from = static_cast<const unsigned char*>(source);
  std::size_t done = 0;
  for (; done + chunkSize <= n; done += chunkSize) {
    unsigned char left[chunkSize];
    unsigned char right[chunkSize];
    std::memcpy(left, to + done, chunkSize);
    std::memcpy(right, from + done, chunkSize);
    for (std::size_t i = 0; i < chunkSize; ++i) {
      left[i] = combine(left[i], right[i]);
    }
    std::memcpy(to + done, left, chunkSize);
  }
  for (; done + sizeof(std::uint64_t) <= n; done += sizeof(std::uint64_t)) {
    std::uint64_t left = 0;
    std::uint64_t right = 0;
    std::memcpy(&left, to + done, sizeof left);
    std::memcpy(&right, from + done, sizeof right);
    left = combine(left, right);
    std::memcpy(to + done, &left, sizeof left);
  }
  for (; done < n; ++done) {
    to[done] = combine(to[done], from[done]);
  }
  return destination;
}

} // namespace

void* copyBytes(void* destination, const void* source, std::size_t n) {
  return std::memcpy(destination, source, n);
}

void* andBytes(void* destination, const void* source, std::size_t n) {
  return combineBytes(destination, source, n, [](auto a, auto b) { return static_cast<decltype(a)>(a & b); });
}

void* orBytes(void* destination, const void* source, std::size_t n) {
  return combineBytes(destination, source, n, [](auto a, auto b) { return static_cast<decltype(a)>(a | b); });
}

void* xorBytes(void* destination, const void* source, std::size_t n) {
  return combineBytes(destination, source, n, [](auto a, auto b) { return static_cast<decltype(a)>(a ^ b); });
}

} // namespace tilegraft

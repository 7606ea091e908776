#pragma once

#include <cstdint>

namespace tilegraft {

// Co-ordinate, count and layout arithmetic wraps around in 32-bit two's complement. The sums and
// products are done in unsigned arithmetic, where wrapping is defined, and read back as signed
// (a conversion that C++20 defines as modular).

constexpr std::int32_t wrapAdd(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

constexpr std::int32_t wrapSub(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

constexpr std::int32_t wrapMul(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

// True when a × b is a signed 32-bit value, so that wrapMul gives the true product.
constexpr bool productFits(std::int32_t a, std::int32_t b) {
  const std::int64_t product = std::int64_t{a} * b;
  return product >= INT32_MIN && product <= INT32_MAX;
}

} // namespace tilegraft

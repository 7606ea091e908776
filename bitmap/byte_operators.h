#pragma once

#include <array>
#include <cstddef>

namespace tilegraft {

// Combines n destination bytes with n source bytes in place, in increasing order, and returns
// the destination. The ranges never overlap: they lie in two different bitmaps.
using ByteOperator = void* (*)(void* destination, const void* source, std::size_t n);

void* copyBytes(void* destination, const void* source, std::size_t n);
void* andBytes(void* destination, const void* source, std::size_t n);
void* orBytes(void* destination, const void* source, std::size_t n);
void* xorBytes(void* destination, const void* source, std::size_t n);

// The operator characters of a merge line; an operator's index is its position here.
inline constexpr char operatorCharacters[] = "=&|^";
inline constexpr int copyOperator = 0;
inline constexpr int xorOperator = 3;

inline constexpr std::array<ByteOperator, 4> byteOperators{copyBytes, andBytes, orBytes, xorBytes};

} // namespace tilegraft

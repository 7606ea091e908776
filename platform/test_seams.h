#pragma once

// Where tests reach into the platform layer; the product never changes these.

#include <string>

namespace tilegraft {

// Called once, with half of the bytes written, while the save holds what it holds.
inline void (*afterHalfWrittenForTesting)() = nullptr;
// False makes saves use named temporary files, as on systems without unnamed ones.
inline bool unnamedFilesForTesting = true;

// false makes every load copy, as where no lease can be had.
inline bool fileMappingsForTesting = true;
// false makes saves of a mapped image pass every byte through a buffer.
inline bool blockSharingForTesting = true;
// Called after each whole read of a file, before it is looked at again.
inline void (*afterFileReadForTesting)(const std::string& fileName) = nullptr;
// Called when a lease's chunk copy has read the file, before it takes its place; in handlers too.
inline void (*afterChunkReadForTesting)() = nullptr;

template <typename Seam, typename... Arguments>
void reach(Seam seam, const Arguments&... arguments) {
  if (seam != nullptr) {
    seam(arguments...);
  }
}

} // namespace tilegraft

#pragma once

// The seams by which tests reach into the platform layer: each does nothing unless a test
// changes it, and the product never does.

#include <string>

namespace tilegraft {

// --- The file writer ---

// Called once, with half of the bytes written, while the save holds what it holds.
inline void (*afterHalfWrittenForTesting)() = nullptr;
// False makes saves use named temporary files, as on systems without unnamed ones.
inline bool unnamedFilesForTesting = true;

// --- File images ---

// false makes every load copy, as where no lease can be had.
inline bool fileMappingsForTesting = true;
// false makes saves of a mapped image read and write every byte they send from its file, as
// where the kernel copies nothing between the two files (and so shares no blocks).
inline bool blockSharingForTesting = true;
// Called after each whole read of a file, before it is looked at again.
inline void (*afterFileReadForTesting)(const std::string& fileName) = nullptr;
// Called when a lease's copy of a chunk has read and checked the file, before the copy takes
// the file's pages' place; from a signal handler too.
inline void (*afterChunkReadForTesting)() = nullptr;

} // namespace tilegraft

#pragma once

// The seams by which tests reach into the platform layer: the product only reads them, and
// leaves them as they are.

namespace tilegraft {

// The file writer's.
// Called once, with half of the bytes written, while the save holds what it holds.
inline void (*afterHalfWrittenForTesting)() = nullptr;
// False makes saves use named temporary files, as on systems without unnamed ones.
inline bool unnamedFilesForTesting = true;

} // namespace tilegraft

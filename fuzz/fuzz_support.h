#pragma once

// Helpers shared by the fuzz targets: a private work directory, small valid bitmaps, and the
// loads and merges that every bitmap target runs on what it loaded.

#include "bitmap/bitmap_image.h"
#include "common/script_error.h"
#include "tests/support/bmp_builder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace tilegraft::fuzzing {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory, one per process, under TMPDIR when it is set (fuzz/run.sh points it at a
// directory of its own and removes that at the end), else in memory where the machine offers
// it: every input is written to a file and read back, and a disk makes that ten times slower.
// The directory is removed when the fuzzer exits normally and left behind after a crash, to
// help reproduce the finding.
inline std::string makeWorkDirectory() {
  std::error_code ignored;
  const char* chosen = std::getenv("TMPDIR");
  const bool inMemory =
      (chosen == nullptr || *chosen == '\0') && std::filesystem::is_directory("/dev/shm", ignored);
  const std::filesystem::path parent =
      inMemory ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path();
  std::string pattern = (parent / "tilegraft-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  static std::filesystem::path made;
  made = pattern;
  std::atexit([] {
    std::error_code failed;
    std::filesystem::remove_all(made, failed);
  });
  return pattern;
}

// The lowest free file descriptor: a file that a run leaves open moves it.
inline int lowestFreeDescriptor() {
  const int probe = dup(0);
  close(probe);
  return probe;
}

inline void writeFile(const std::string& name, const Bytes& bytes) {
  std::FILE* file = std::fopen(name.c_str(), "wb");
  if (file == nullptr) {
    std::perror(name.c_str());
    std::abort();
  }
  const bool written = bytes.empty() || std::fwrite(bytes.data(), bytes.size(), 1, file) == 1;
  if (std::fclose(file) != 0 || !written) {
    std::perror(name.c_str());
    std::abort();
  }
}

inline Bytes readFile(const std::string& name) {
  Bytes bytes;
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) {
    std::perror(name.c_str());
    std::abort();
  }
  std::uint8_t chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  std::fclose(file);
  return bytes;
}

// A bottom-up uncompressed bitmap whose pixels depend on the seed, so that merges change bytes.
inline Bytes smallBitmap(std::int32_t width, std::int32_t height, int bitsPerPixel,
                         std::uint32_t seed) {
  return testing::BmpBuilder(width, height, bitsPerPixel).fillPattern(seed).bytes();
}

[[noreturn]] inline void finding(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// Loads the named file; false when the load is refused, which must leave no file open
// (freeDescriptor: the lowest free descriptor before the load).
inline bool loadsOrIsRefused(BitmapImage& image, const std::string& name, int freeDescriptor) {
  try {
    image.load(name);
  } catch (const ScriptError&) {
    if (lowestFreeDescriptor() != freeDescriptor) {
      finding("a failed load left its file open");
    }
    return false;
  }
  return true;
}

// Layouts that exercise coalescing in both axes and in one axis only, a pitch of 0 (every tile on
// the pixel at (0, 0)) and a negative pitch.
inline const TileLayout layouts[] = {
    {0, 0, 1, 0, 0, 0, 1, 0},     {0, 0, 2, 0, 0, 0, 2, 0},   {1, 1, 2, 1, 0, 0, 2, 0},
    {1, -1, 2, -1, 1, -1, 2, -1}, {-3, 0, 2, 0, 6, 1, 2, -5},
};

// Returns the message of the refusal, or an empty text when the merge went through. A pixel merge
// of one copy checks everything before it changes a byte, so a refused one must change nothing.
inline std::string tryMerge(bool tiles, MergeOperator op, BitmapImage& destination,
                            const BitmapImage& source, std::int32_t at, std::int32_t size,
                            MergeRepeats repeats) {
  const bool oneCopy = !tiles && repeats.across == 1 && repeats.down == 1;
  std::vector<std::uint8_t> before;
  if (oneCopy) {
    before.assign(destination.fileBytes().begin(), destination.fileBytes().end());
  }
  try {
    if (tiles) {
      destination.mergeTiles(op, at, at, source, 0, 0, size, size, repeats);
    } else {
      destination.mergePixels(op, at, at, source, 0, 0, size, size, repeats);
    }
  } catch (const ScriptError& error) {
    if (oneCopy && !std::equal(before.begin(), before.end(), destination.fileBytes().begin(),
                               destination.fileBytes().end())) {
      finding("a refused pixel merge changed the destination");
    }
    return error.message();
  }
  return {};
}

// Pixel and tile merges both ways between a loaded bitmap and a partner of its depth, over every
// layout, operator and a few sizes and repeats.
inline void mergeAll(BitmapImage& loadedImage, BitmapImage& partner) {
  const std::int32_t sizes[] = {1, 2, 0, -1, 7};
  const MergeRepeats repeatList[] = {{1, 1}, {3, 2}, {2147483647, 2147483647}};
  int round = 0;
  for (const TileLayout& layout : layouts) {
    loadedImage.setTileLayout(layout);
    partner.setTileLayout(layout);
    for (const std::int32_t size : sizes) {
      const MergeRepeats repeats = repeatList[round % 3];
      const auto op = static_cast<MergeOperator>(round % 5);
      ++round;
      for (const bool tiles : {false, true}) {
        tryMerge(tiles, op, loadedImage, partner, round % 3, size, repeats);
        tryMerge(tiles, op, partner, loadedImage, 0, size, repeats);
      }
    }
  }
}

} // namespace tilegraft::fuzzing

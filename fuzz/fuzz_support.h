#pragma once

// Helpers shared by the fuzz targets: a private work directory and small valid bitmaps.

#include "tests/support/bmp_builder.h"

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

} // namespace tilegraft::fuzzing

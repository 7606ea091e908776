#pragma once

// Helpers shared by the fuzz targets: a private work directory and small valid bitmaps.

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

inline void putLe(Bytes& bytes, std::size_t offset, std::uint32_t value, int length) {
  for (int i = 0; i < length; ++i) {
    bytes[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

// A bottom-up uncompressed bitmap with a grey colour table at 8 bits and a pixel pattern that
// depends on the seed, so that merges change bytes.
inline Bytes smallBitmap(std::int32_t width, std::int32_t height, int bitsPerPixel,
                         std::uint32_t seed) {
  const std::size_t tableBytes = bitsPerPixel == 8 ? 1024 : 0;
  const std::size_t stride =
      (static_cast<std::size_t>(width) * static_cast<std::size_t>(bitsPerPixel / 8) + 3) / 4 * 4;
  const std::size_t pixelStart = 54 + tableBytes;
  Bytes bytes(pixelStart + stride * static_cast<std::size_t>(height), 0);
  bytes[0] = 'B';
  bytes[1] = 'M';
  putLe(bytes, 2, static_cast<std::uint32_t>(bytes.size()), 4);
  putLe(bytes, 10, static_cast<std::uint32_t>(pixelStart), 4);
  putLe(bytes, 14, 40, 4);
  putLe(bytes, 18, static_cast<std::uint32_t>(width), 4);
  putLe(bytes, 22, static_cast<std::uint32_t>(height), 4);
  putLe(bytes, 26, 1, 2);
  putLe(bytes, 28, static_cast<std::uint32_t>(bitsPerPixel), 2);
  for (std::size_t entry = 0; entry < tableBytes / 4; ++entry) {
    for (std::size_t channel = 0; channel < 3; ++channel) {
      bytes[54 + entry * 4 + channel] = static_cast<std::uint8_t>(entry);
    }
  }
  for (std::size_t i = pixelStart; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>((i - pixelStart) * 37 + seed * 101 + 11);
  }
  return bytes;
}

} // namespace tilegraft::fuzzing

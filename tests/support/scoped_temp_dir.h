#pragma once

#include "tests/support/bmp_builder.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace tilegraft::testing {

// A fresh, empty directory under the system temp directory, removed with all its contents when
// the object goes. Throws std::runtime_error when it cannot be made.
class ScopedTempDir {
public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::filesystem::path& path() const { return root; }
  // The path of a file (or subdirectory) in the directory; nothing is created.
  std::filesystem::path file(std::string_view name) const { return root / name; }

private:
  std::filesystem::path root;
};

// Whole-file helpers; each throws std::runtime_error when the file cannot be read or written.
Bytes readFileBytes(const std::filesystem::path& path);
void writeFileBytes(const std::filesystem::path& path, const Bytes& bytes);
void writeTextFile(const std::filesystem::path& path, std::string_view text);
// The file's bytes as a string, convenient for comparing text files.
std::string readTextFile(const std::filesystem::path& path);

} // namespace tilegraft::testing

#include "tests/support/scoped_temp_dir.h"

#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace tilegraft::testing {

ScopedTempDir::ScopedTempDir() {
  // A name no other test process picks: create_directory fails when it exists.
  std::random_device entropy;
  const std::filesystem::path parent = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate =
        parent / ("tilegraft-test-" + std::to_string(entropy()) + std::to_string(attempt));
    if (std::filesystem::create_directory(candidate)) {
      root = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary directory in " + parent.string());
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}

Bytes readFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot open " + path.string());
  }
  // In pieces rather than a character at a time: the sanitizer builds read files of many
  // megabytes, where a stream iterator took most of a minute.
  Bytes bytes;
  std::vector<char> piece(std::size_t{1} << 20);
  while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
    bytes.insert(bytes.end(), piece.begin(), piece.begin() + in.gcount());
  }
  if (in.bad()) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return bytes;
}

void writeFileBytes(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

void writeTextFile(const std::filesystem::path& path, std::string_view text) {
  writeFileBytes(path, Bytes(text.begin(), text.end()));
}

std::string readTextFile(const std::filesystem::path& path) {
  const Bytes bytes = readFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

} // namespace tilegraft::testing

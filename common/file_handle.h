#pragma once

#include <cstdio>
#include <memory>

namespace tilegraft {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// An open C stream with one owner, closed exactly once on every path.
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

} // namespace tilegraft

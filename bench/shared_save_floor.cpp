// The floor of a save that shares blocks, without the tool: the shared regime's base cloned to
// out.bmp, then the pages its 100 blocks lie in written over the clone, in runs joined as the
// tool joins them. Two ways to have those pages in memory, each timed from the first read of
// the base to the last write:
//   private   the base mapped private and each run's pages made the process's own by
//             madvise(MADV_POPULATE_WRITE), then written from there (what the tool does);
//   buffer    each run read into one reused buffer and written from it, as a save that merged
//             into the pages as it wrote them would.
// Linux only. Usage (in the folder of the shared regime's base.bmp):
//   shared_save_floor private|buffer
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t pageSize = 4096;
constexpr std::size_t joinedGapPages = 4;

// The pages of the shared regime's blocks: 64x64 at 10x10 places 1,790 pixels apart in an
// 18000x18000 24-bit bitmap stored bottom-up after a 54-byte header.
std::vector<bool> writtenPages(std::size_t length) {
  constexpr std::size_t width = 18000;
  constexpr std::size_t stride = width * 3;
  std::vector<bool> pages(length / pageSize + 1);
  for (std::size_t block = 0; block < 100; ++block) {
    const std::size_t x = block % 10 * 1790;
    const std::size_t y = block / 10 * 1790;
    for (std::size_t row = y; row < y + 64; ++row) {
      const std::size_t start = 54 + (width - 1 - row) * stride + x * 3;
      for (std::size_t page = start / pageSize; page <= (start + 64 * 3 - 1) / pageSize; ++page) {
        pages[page] = true;
      }
    }
  }
  return pages;
}

} // namespace

int main(int argc, char** argv) {
  const bool buffered = argc == 2 && std::strcmp(argv[1], "buffer") == 0;
  if (argc != 2 || (!buffered && std::strcmp(argv[1], "private") != 0)) {
    std::fprintf(stderr, "usage: shared_save_floor private|buffer\n");
    return 2;
  }
  const int in = open("base.bmp", O_RDONLY);
  const off_t end = in < 0 ? -1 : lseek(in, 0, SEEK_END);
  const int out = open("out.bmp", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (end <= 0 || out < 0) {
    std::perror("base.bmp or out.bmp");
    return 1;
  }
  const auto length = static_cast<std::size_t>(end);
  const std::vector<bool> pages = writtenPages(length);
  const auto start = std::chrono::steady_clock::now();
  auto* mapped = static_cast<std::uint8_t*>(
      buffered ? MAP_FAILED : mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, in, 0));
  std::vector<std::uint8_t> buffer;
  if (ioctl(out, FICLONE, in) != 0 || (!buffered && mapped == MAP_FAILED)) {
    std::perror("clone or map");
    return 1;
  }
  std::size_t writes = 0;
  for (std::size_t page = 0; page < pages.size();) {
    if (!pages[page]) {
      ++page;
      continue;
    }
    std::size_t runEnd = page;
    for (;;) {
      while (runEnd < pages.size() && pages[runEnd]) {
        ++runEnd;
      }
      std::size_t next = runEnd;
      while (next < pages.size() && !pages[next] && next - runEnd <= joinedGapPages) {
        ++next;
      }
      if (next == pages.size() || !pages[next]) {
        break;
      }
      runEnd = next;
    }
    const std::size_t from = page * pageSize;
    const std::size_t count = std::min(length, runEnd * pageSize) - from;
    const std::uint8_t* bytes = nullptr;
    if (buffered) {
      buffer.resize(std::max(buffer.size(), count));
      bytes = buffer.data();
      if (pread(in, buffer.data(), count, static_cast<off_t>(from)) !=
          static_cast<ssize_t>(count)) {
        return 1;
      }
    } else {
      bytes = mapped + from;
      // The written pages only; the clean ones between are read through the mapping.
      for (std::size_t first = page; first < runEnd;) {
        std::size_t last = first;
        while (last < runEnd && pages[last]) {
          ++last;
        }
        if (last > first && madvise(mapped + first * pageSize, (last - first) * pageSize,
                                    MADV_POPULATE_WRITE) != 0) {
          std::perror("madvise");
          return 1;
        }
        first = std::max(last, first + 1);
      }
    }
    if (pwrite(out, bytes, count, static_cast<off_t>(from)) != static_cast<ssize_t>(count)) {
      return 1;
    }
    ++writes;
    page = runEnd;
  }
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.1f ms, %zu writes\n", ms, writes);
  return 0;
}

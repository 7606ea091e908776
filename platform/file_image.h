#pragma once

#include "platform/file_image_memory.h"
#include "platform/posix_features.h"

#include <csignal>
#include <cstring>
#include <span>
#include <string>

namespace tilegraft {

enum class FileReadResult {
  read,
  notOpened,     // no such file, or not one the process may open
  tooManyOpen,   // the process's or the system's limit of open files was reached
  lengthRefused, // the file is shorter or longer than allowed
  noMemory,      // no memory for a file of its length
  notRead,       // a read failed, the file has no length (a pipe), or it kept changing
};

// Why an image no longer holds its load-time bytes; a loss only rises, the higher cause wins.
enum class ImageLoss : std::sig_atomic_t {
  none,     // intact
  noMemory, // no memory for a copy that had to be made
  notRead,  // the file changed under the image, or could not be read again in time
};

// The bytes of one file exactly as they were loaded, whatever happens to the file afterwards,
// readable as one block. Two ways to hold them, with byte-identical results:
// - Mapped (Linux, a large regular file on a local file system, a read lease granted): the file's
//   own pages, read-only. Before another program may open the file to write, the kernel tells
//   the process, which copies what it still shares and lets go. Merges copy in what they write,
//   2 MiB at a time; a save sends the untouched parts from file to file.
// - Copied (everywhere else, and wherever no lease can be had): read whole into memory at load.
class FileImage {
public:
  struct Mapping;

  FileImage() = default;
  FileImage(FileImage&& other) noexcept { *this = std::move(other); }
  FileImage& operator=(FileImage&& other) noexcept {
    if (this != &other) {
      reset();
      copy = std::move(other.copy);
      mapping = std::exchange(other.mapping, nullptr);
      view = std::exchange(other.view, nullptr);
      length = std::exchange(other.length, 0);
      lossState = std::exchange(other.lossState, &neverLost);
    }
    return *this;
  }
  ~FileImage() { reset(); }

  // Holds the named file's bytes, its length within the limits. Never waits for a writer to come
  // (a named pipe is refused), but for an in-place save to end; a file changed while read is read
  // again a few times. Holds nothing unless it returns read.
  FileReadResult load(const std::string& fileName, std::size_t minLength, std::size_t maxLength);
  // Holds size zero bytes of its own, for writableBytes(); false, holding nothing, without memory.
  bool holdZeroed(std::size_t size) noexcept {
    reset();
    if (size == 0 || !copy.allocate(size)) {
      return false;
    }
    view = copy.get();
    length = size;
    return true;
  }
  // Holds a copy of these bytes, as if a file held them; false, holding nothing, without memory.
  bool holdCopy(std::span<const std::uint8_t> source) noexcept {
    if (!holdZeroed(source.size())) {
      return false;
    }
    std::memcpy(copy.get(), source.data(), source.size());
    return true;
  }
  void reset() noexcept;

  const std::uint8_t* bytes() const { return view; }
  std::size_t size() const { return length; }
  explicit operator bool() const { return view != nullptr; }
  // True while some of the image is still the file's own pages.
  bool isMapped() const;
  // Only a mapped image is lost, for good: its lease taken back by force and the file changed, or
  // its copy out of time or memory. A lost image must not be read, merged or saved.
  ImageLoss loss() const { return static_cast<ImageLoss>(*lossState); }
  bool isIntact() const { return *lossState == 0; }
  // Both images of a merge in one test, cheap enough for every block; valid while both stay.
  class LossWatch {
  public:
    LossWatch(const FileImage& a, const FileImage& b) : first(a.lossState), second(b.lossState) {}
    bool bothIntact() const { return (*first | *second) == 0; }

  private:
    const volatile std::sig_atomic_t* first;
    const volatile std::sig_atomic_t* second;
  };

  // Gives bytes [offset + r * stride, + count), r < rows, memory of their own; false without.
  bool makeWritable(std::size_t offset, std::size_t count, std::size_t rows = 1,
                    std::size_t stride = 0) noexcept {
    return mapping == nullptr || copyIn(offset, count, rows, stride);
  }
  std::uint8_t* writableBytes() { return view; }

#ifndef _WIN32
  // Writes bytes [from, to) to the descriptor (at those offsets when positioned), mapped parts by
  // copy_file_range (sharing blocks). False on a write error or a lost image.
  bool writeTo(int descriptor, std::size_t from, std::size_t to, bool positioned) const;
#endif

private:
  bool copyIn(std::size_t offset, std::size_t count, std::size_t rows, std::size_t stride) noexcept;

  static constexpr std::sig_atomic_t neverLost = 0;

  FileImageMemory copy;       // the copied image
  Mapping* mapping = nullptr; // the mapped image's state; it stays put when the image moves
  std::uint8_t* view = nullptr;
  std::size_t length = 0;
  // The mapping's loss (its handler may raise it at any time), or neverLost.
  const volatile std::sig_atomic_t* lossState = &neverLost;
};

inline constexpr bool fileMappingsExist = TILEGRAFT_LINUX_CALLS != 0;

} // namespace tilegraft

#pragma once

#include "platform/file_image_memory.h"
#include "platform/posix_features.h"

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <utility>

namespace tilegraft {

enum class FileReadResult {
  read,
  notOpened,     // no such file, or not one the process may open
  tooManyOpen,   // the process's or the system's limit of open files was reached
  lengthRefused, // the file is shorter or longer than allowed
  noMemory,      // no memory for a file of its length
  notRead,       // a read failed, the file has no length (a pipe), or it kept changing
};

// Why an image no longer holds its load-time bytes. The order matters: an image's loss only
// ever rises, and the higher cause is the one reported.
enum class ImageLoss : std::sig_atomic_t {
  none,     // intact
  noMemory, // no memory for a copy that had to be made
  notRead,  // the file changed under the image, or could not be read again in time
};

// The bytes of one file exactly as they were when it was loaded, whatever happens to the file
// afterwards, readable as one block; the parts that are written get memory of their own.
//
// Two ways to hold them, with byte-identical results:
// - Mapped (Linux, a large regular file on a local file system, and a read lease granted): the
//   block is the file's own pages in the page cache, read-only. The lease makes the kernel tell
//   the process before any other program may open the file to write or truncate it; the process
//   then copies what it still shares and lets go, so the other program waits only for that copy.
//   Parts that merges write are copied in on first write, a whole chunk of 2 MiB at a time; a
//   save sends the untouched parts from file to file without passing them through the process.
// - Copied (everywhere else, and whenever the lease cannot be had: another program has the file
//   open to write, the process may not take leases on it, a network or user-space file system):
//   the whole file is read into memory of the process's own at load, as the only safe choice.
class FileImage {
public:
  struct Mapping;

  FileImage() = default;
  FileImage(const FileImage&) = delete;
  FileImage& operator=(const FileImage&) = delete;
  // The image changes owner; the one moved from holds nothing.
  FileImage(FileImage&& other) noexcept { take(other); }
  FileImage& operator=(FileImage&& other) noexcept {
    if (this != &other) {
      reset();
      take(other);
    }
    return *this;
  }
  ~FileImage() { reset(); }

  // Holds the named file's bytes, after checking its length against the limits. Never waits
  // for a writer to come (a named pipe is refused at once), but does wait for an in-place save
  // of the file to end (replaceFile's exclusive lock), so as never to hold half of one. A file that
  // another program changes while it is read (its length or change times differ before and after)
  // is read again a few times, so the image is always one that the file really held. Holds nothing
  // unless it returns read.
  FileReadResult load(const std::string& fileName, std::size_t minLength, std::size_t maxLength);
  // Holds a copy of these bytes, as if a file held them. False, holding nothing, when there is
  // no memory for them.
  bool holdCopy(std::span<const std::uint8_t> source) noexcept {
    reset();
    if (source.empty() || !copy.allocate(source.size())) {
      return false;
    }
    std::memcpy(copy.get(), source.data(), source.size());
    view = copy.get();
    length = source.size();
    return true;
  }
  // Lets go of the image, if any. Never fails.
  void reset() noexcept;

  const std::uint8_t* bytes() const { return view; }
  std::size_t size() const { return length; }
  explicit operator bool() const { return view != nullptr; }
  // True while some of the image is still the file's own pages.
  bool isMapped() const;
  // none while the image holds its load-time bytes. Only a mapped image loses them: the lease
  // was taken back by force (the process was stopped longer than the system's lease-break time
  // while a writer waited) and the file changed, the lease's copy could not finish within that
  // time, or there was no memory for it. A lost image must not be read, merged or saved. Once
  // lost, an image stays lost: nothing sets it back.
  ImageLoss loss() const { return static_cast<ImageLoss>(*lossState); }
  bool isIntact() const { return *lossState == 0; }
  // Watches both images of a merge with one test, cheap enough for every block: a signal
  // handler may lose either image between two blocks. Valid while neither image is loaded,
  // reset or moved.
  class LossWatch {
  public:
    LossWatch(const FileImage& a, const FileImage& b) : first(a.lossState), second(b.lossState) {}
    bool bothIntact() const { return (*first | *second) == 0; }

  private:
    const volatile std::sig_atomic_t* first;
    const volatile std::sig_atomic_t* second;
  };

  // Gives bytes [offset + r * stride, offset + r * stride + count) for each r below rows memory
  // of their own, so that they may be written through writableBytes(). False when there is no
  // memory for them.
  bool makeWritable(std::size_t offset, std::size_t count, std::size_t rows = 1,
                    std::size_t stride = 0) noexcept {
    return mapping == nullptr || copyIn(offset, count, rows, stride);
  }
  // The image, for writing the parts that makeWritable made the process's own.
  std::uint8_t* writableBytes() { return view; }

#ifndef _WIN32
  // For the file writer: writes bytes [from, to) to the descriptor (at those offsets when
  // positioned, else at its position). The parts still mapped go from file to file by the
  // kernel's copy (copy_file_range), which shares blocks where the file system can (XFS with
  // reflink, Btrfs), or through a buffer where it refuses. False on a write error or when the
  // image is no longer intact: nothing is sent from a lost image.
  bool writeTo(int descriptor, std::size_t from, std::size_t to, bool positioned) const;
#endif

private:
  bool copyIn(std::size_t offset, std::size_t count, std::size_t rows, std::size_t stride) noexcept;
  void take(FileImage& other) noexcept {
    copy = std::move(other.copy);
    mapping = std::exchange(other.mapping, nullptr);
    view = std::exchange(other.view, nullptr);
    length = std::exchange(other.length, 0);
    lossState = std::exchange(other.lossState, &neverLost);
  }

  // What every image that is not mapped points at: a copy is never lost.
  static constexpr std::sig_atomic_t neverLost = 0;

  FileImageMemory copy;       // the copied image
  Mapping* mapping = nullptr; // the mapped image's state; it stays put when the image moves
  std::uint8_t* view = nullptr;
  std::size_t length = 0;
  // The mapping's record of loss, which its signal handler may raise at any time.
  const volatile std::sig_atomic_t* lossState = &neverLost;
};

// Whether this system's build maps files at all: the leases are Linux's.
#if TILEGRAFT_LINUX_CALLS
inline constexpr bool fileMappingsExist = true;
#else
inline constexpr bool fileMappingsExist = false;
#endif

} // namespace tilegraft

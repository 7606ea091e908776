#pragma once

#include "platform/file_image.h"
#include "platform/posix_descriptor.h"
#include "platform/posix_features.h"

#if TILEGRAFT_LINUX_CALLS

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <signal.h>
#include <sys/stat.h>

namespace tilegraft {

// The read lease under which a mapped file image keeps its load-time bytes, and the signal
// handlers that serve it; posix_lease.cpp states the rules they keep. For the POSIX
// implementation files only.

// Parts of a mapped image become private this many bytes at a time: a huge page, so that each
// takes one page fault, and few enough system calls for a merge of many small blocks.
inline constexpr std::size_t chunkSize = std::size_t{2} << 20;

// What a save that shares the file's blocks writes over them: whole pages of this size, the block
// size of the file systems that share blocks.
inline constexpr std::size_t writtenPageSize = 4096;

// A mapped image's loss. It only rises: there is no way to lower it. Raised only by the
// handlers, which never nest, and by the main line with their signals held, so its test and
// its store are never split by another writer.
class LossRecord {
public:
  void lose(ImageLoss why) {
    const auto level = static_cast<std::sig_atomic_t>(why);
    if (level > value) {
      value = level;
    }
  }
  const volatile std::sig_atomic_t* state() const { return &value; }

private:
  volatile std::sig_atomic_t value = 0;
};

// The mapped image's state. Whatever a handler may change is a sig_atomic_t; the main line
// changes it, and the rest, only with the handlers' signals held.
struct FileImage::Mapping {
  Descriptor file;       // read-only, holding the lease
  struct stat loaded {}; // the file as the lease found it
  std::uint8_t* start = nullptr;
  std::size_t length = 0;       // the file's bytes
  std::size_t mappedLength = 0; // in whole pages
  std::size_t chunks = 0;
  // Per chunk: 1 once it is memory of the process's own (a copy, or zeros for a lost chunk).
  // Only ever goes from 0 to 1.
  std::unique_ptr<volatile std::sig_atomic_t[]> own;
  // Per page of writtenPageSize bytes, one bit, set once makeWritable gave the page out. In a
  // chunk not yet own, a set bit means the page alone is private already (privatePages). Set by
  // the main line only, after the page became private; read by the handlers.
  std::unique_ptr<std::uint64_t[]> written;
  // The file is mapped private and writable, so that a merge that changes a few rows of a chunk
  // takes those pages alone (copy-on-write) rather than the whole chunk.
  bool privatePages = false;
  // How long the handler may spend copying before it lets the lease go, read at load.
  std::int64_t copyNanoseconds = 0;
  volatile std::sig_atomic_t leaseHeld = 1;
  LossRecord loss;

  Mapping() = default;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();
};

// Holds the handlers' signals (the lease signal, SIGIO and the terminal's stop requests) back
// for the length of a piece of work on a mapping or its descriptor, so that no handler lets the
// lease go in the middle of it.
class LeaseSignalHeld {
public:
  LeaseSignalHeld();
  ~LeaseSignalHeld();
  // Blocked already, as a parent may leave it: a lease whose break is never heard would hold a
  // writer up, then be taken back by force, so no lease is taken.
  bool wasHeld() const;
  LeaseSignalHeld(const LeaseSignalHeld&) = delete;
  LeaseSignalHeld& operator=(const LeaseSignalHeld&) = delete;

private:
  sigset_t before{};
};

// Puts memory of the process's own holding the file's bytes in place of chunk c's file pages,
// and the chunk's private pages as they are now. False, with the chunk unchanged, only when
// there is no memory; a read that fails or finds the file changed raises the loss. Only with
// the handlers' signals held, or from a handler.
bool copyChunkIn(FileImage::Mapping& mapping, std::size_t c);

// Makes the pages of [from, to), in a chunk not yet own, private copies of the file's pages,
// which hold the load-time bytes while the lease holds (stillAsLoaded confirms it). False where
// they could not all be made so (no memory, a kernel without the call): the caller then copies
// the chunk in. Only with the handlers' signals held.
bool makePagesPrivate(FileImage::Mapping& mapping, std::size_t from, std::size_t to);
// True while the file's status is the load's; else false, with the loss raised.
bool stillAsLoaded(FileImage::Mapping& mapping);
// The same test on a status already read.
bool asLoaded(FileImage::Mapping& mapping, const struct stat& now);

inline bool pageWritten(const FileImage::Mapping& mapping, std::size_t page) {
  return (mapping.written[page / 64] >> (page % 64) & 1U) != 0;
}

// Maps the open regular file under a read lease, holding it in mapped. Gives read, or
// lengthRefused or notRead (nothing held), or nothing when this file or this system allows no
// lease: then file is still open, the lease let go, and the caller copies.
std::optional<FileReadResult> mapUnderLease(Descriptor& file, std::size_t minLength,
                                            std::size_t maxLength, FileImage::Mapping*& mapped);

// Forgets and frees the mapping; the descriptor's close lets its lease go. Never fails.
void dropMapping(FileImage::Mapping* mapping) noexcept;

} // namespace tilegraft

#endif

#pragma once

#include "platform/posix_features.h"

#if TILEGRAFT_LINUX_CALLS

#include "platform/file_image.h"
#include "platform/posix_descriptor.h"

#include <memory>
#include <optional>

// The read lease under which a mapped file image keeps its load-time bytes, and the signal
// handlers that serve it; posix_lease.cpp says what they do.

namespace tilegraft {

// Parts of a mapped image become the process's own this many bytes at a time: a huge page, so
// that each takes one page fault, and few enough system calls for a merge of many small blocks.
inline constexpr std::size_t chunkSize = std::size_t{2} << 20;
// Within a chunk, which blocks merges wrote is kept per block of this size (the largest block
// of the file systems that share blocks), so that a save sends the others from the file.
inline constexpr std::size_t writtenBlock = 4096;
inline constexpr std::size_t wordsPerChunk = chunkSize / writtenBlock / 64;

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
  // Per writtenBlock, a bit set once makeWritable gave it out. No handler touches it.
  std::unique_ptr<std::uint64_t[]> written;
  // 1 until the handler lets the lease go: the file then may change, and every byte is sent
  // from the image.
  volatile std::sig_atomic_t leased = 1;
  // How long the handler may spend copying before it lets the lease go, read at load.
  std::int64_t copyNanoseconds = 0;
  // The image's ImageLoss. It only rises (lose): raised only by the handlers, which never nest,
  // and by the main line with their signals held, so its test and its store are never split.
  volatile std::sig_atomic_t loss = 0;

  ~Mapping();
};

inline void lose(FileImage::Mapping& mapping, ImageLoss why) {
  if (static_cast<std::sig_atomic_t>(why) > mapping.loss) {
    mapping.loss = static_cast<std::sig_atomic_t>(why);
  }
}

// The handlers' signals (the lease signal, SIGIO and the terminal's stop requests), held back
// (HeldSignals) for the length of a piece of work on a mapping or its descriptor, so that no
// handler lets the lease go in the middle of it.
sigset_t leaseHandlerSignals();

// Puts memory of the process's own holding the file's bytes in place of chunk c's file pages.
// False, with the chunk unchanged, only when there is no memory; a read that fails or finds the
// file changed raises the loss. Only with the handlers' signals held, or from a handler.
bool copyChunkIn(FileImage::Mapping& mapping, std::size_t c);

// Whether the file still holds the load's bytes; else false, with the loss raised.
bool stillAsLoaded(FileImage::Mapping& mapping);

// Maps the open regular file under a read lease, holding it in mapped. Gives read, or
// lengthRefused or notRead (nothing held), or nothing when this file or this system allows no
// lease: then file is still open, the lease let go, and the caller copies.
std::optional<FileReadResult> mapUnderLease(Descriptor& file, std::size_t minLength,
                                            std::size_t maxLength, FileImage::Mapping*& mapped);

// Forgets and frees the mapping; the descriptor's close lets its lease go. Never fails.
void dropMapping(FileImage::Mapping* mapping) noexcept;

} // namespace tilegraft

#endif

#pragma once

#include "platform/posix_features.h"

#if TILEGRAFT_LINUX_CALLS

#include "platform/file_image.h"
#include "platform/posix_descriptor.h"

#include <memory>
#include <optional>

// The read lease under which a mapped file image keeps its load-time bytes (posix_lease.cpp).

namespace tilegraft {

// Parts of a mapped image become the process's own a huge page at a time: one fault each.
inline constexpr std::size_t chunkSize = std::size_t{2} << 20;
// What merges wrote is kept per 4 KiB, the largest block of the file systems that share them.
inline constexpr std::size_t writtenBlock = 4096;

// What a handler may change is a sig_atomic_t; the main line changes all with them held.
struct FileImage::Mapping {
  Descriptor file;       // read-only, holding the lease
  struct stat loaded {}; // the file as the lease found it
  std::uint8_t* start = nullptr;
  std::size_t length = 0;       // the file's bytes
  std::size_t mappedLength = 0; // in whole pages
  std::size_t chunks = 0;
  // Per chunk: 0, then 1 once it is memory of the process's own (a copy, or a lost chunk's zeros).
  std::unique_ptr<volatile std::sig_atomic_t[]> own;
  // Per writtenBlock, a bit set once makeWritable gave it out. No handler touches it.
  std::unique_ptr<std::uint64_t[]> written;
  // 1 until the handler lets the lease go (the file may then change).
  volatile std::sig_atomic_t leased = 1;
  // How long the handler may copy before it lets the lease go.
  std::int64_t copyNanoseconds = 0;
  // The image's ImageLoss; it only rises (lose), by the handlers, which never nest, or the main
  // line with their signals held, so its test and its store are never split.
  volatile std::sig_atomic_t loss = 0;

  ~Mapping();
};

inline void lose(FileImage::Mapping& mapping, ImageLoss why) {
  if (static_cast<std::sig_atomic_t>(why) > mapping.loss) {
    mapping.loss = static_cast<std::sig_atomic_t>(why);
  }
}

// The handlers' signals, held for work on a mapping, so no handler meets it half done.
sigset_t leaseHandlerSignals();

// Puts memory of the process's own holding the file's bytes in place of chunk c's file pages.
// False, the chunk unchanged, only without memory; a failed read or a changed file raises the
// loss. Only with the handlers' signals held, or from a handler.
bool copyChunkIn(FileImage::Mapping& mapping, std::size_t c);

// Whether the file still holds the load's bytes; else false, with the loss raised.
bool stillAsLoaded(FileImage::Mapping& mapping);

// Maps the file under a read lease; nothing where no lease may be had (the caller copies).
std::optional<FileReadResult> mapUnderLease(Descriptor& file, std::size_t minLength,
                                            std::size_t maxLength, FileImage::Mapping*& mapped);

// Forgets and frees the mapping; the descriptor's close lets its lease go.
void dropMapping(FileImage::Mapping* mapping) noexcept;

} // namespace tilegraft

#endif

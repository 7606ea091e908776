#include "platform/files.h"
#include "platform/posix_descriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace tilegraft {

namespace {

// A file rewritten this many times in a row, each time during the read, is given up.
constexpr int readAttempts = 4;

bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

#ifdef __APPLE__
const struct timespec& changeTime(const struct stat& s) { return s.st_ctimespec; }
const struct timespec& modifyTime(const struct stat& s) { return s.st_mtimespec; }
#else
const struct timespec& changeTime(const struct stat& s) { return s.st_ctim; }
const struct timespec& modifyTime(const struct stat& s) { return s.st_mtim; }
#endif

bool unchanged(const struct stat& before, const struct stat& after) {
  return before.st_dev == after.st_dev && before.st_ino == after.st_ino &&
         before.st_size == after.st_size && sameTime(modifyTime(before), modifyTime(after)) &&
         sameTime(changeTime(before), changeTime(after));
}

// Reads exactly length bytes from the start; false on an error or an early end.
bool readAll(int descriptor, std::uint8_t* bytes, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = pread(descriptor, bytes + done, length - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

FileReadResult readOnce(int descriptor, std::size_t minLength, std::size_t maxLength,
                        FileImageMemory& memory, std::size_t& length, bool& changed,
                        const std::string& fileName) {
  struct stat before {};
  if (fstat(descriptor, &before) != 0) {
    return FileReadResult::notRead;
  }
  const bool regular = S_ISREG(before.st_mode);
  // A device tells its length by a seek; a pipe, a socket or a named pipe has none.
  const off_t end = regular ? before.st_size : lseek(descriptor, 0, SEEK_END);
  if (end < 0) {
    return FileReadResult::notRead;
  }
  const auto fileLength = static_cast<std::uint64_t>(end);
  if (fileLength < minLength || fileLength > maxLength) {
    return FileReadResult::lengthRefused;
  }
  length = static_cast<std::size_t>(fileLength);
  if (!memory.allocate(length)) {
    return FileReadResult::noMemory;
  }
  const bool whole = readAll(descriptor, memory.get(), length);
  if (afterFileReadForTesting != nullptr) {
    afterFileReadForTesting(fileName);
  }
  if (!regular) {
    return whole ? FileReadResult::read : FileReadResult::notRead;
  }
  struct stat after {};
  if (fstat(descriptor, &after) != 0) {
    return FileReadResult::notRead;
  }
  // A changed file is read again; one shorter than it says and unchanged (a length that is only
  // an estimate, as in sysfs) is a read error.
  changed = !unchanged(before, after);
  return whole && !changed ? FileReadResult::read : FileReadResult::notRead;
}

} // namespace

FileReadResult readFileImage(const std::string& fileName, std::size_t minLength,
                             std::size_t maxLength, FileImageMemory& memory, std::size_t& length) {
  // Without O_NONBLOCK a named pipe would wait for a writer for ever. Every attempt reads the
  // one open file: a program that replaces the name by a rename leaves it as it was.
  const Descriptor file(open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.get() < 0) {
    return FileReadResult::notOpened;
  }
  const int flags = fcntl(file.get(), F_GETFL);
  if (flags != -1) {
    fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
  }
  FileReadResult result = FileReadResult::notRead;
  for (int attempt = 0; attempt < readAttempts; ++attempt) {
    bool changed = false;
    result = readOnce(file.get(), minLength, maxLength, memory, length, changed, fileName);
    if (!changed) {
      break;
    }
  }
  if (result != FileReadResult::read) {
    memory.reset();
  }
  return result;
}

std::FILE* openScriptFile(const std::string& fileName, bool& isFolder) {
  // A folder opens here, and its first read fails.
  isFolder = false;
  return std::fopen(fileName.c_str(), "r");
}

bool nameIsTaken(const std::string& fileName) {
  struct stat existing {};
  return lstat(fileName.c_str(), &existing) == 0;
}

} // namespace tilegraft

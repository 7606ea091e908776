#pragma once

#include "platform/file_writer.h"
#include "platform/posix_descriptor.h"
#include "platform/posix_save_signals.h"
#include "platform/test_seams.h"

#include <cstdio>
#include <ctime>

// The new file a save writes beside the name before it takes the name. For the POSIX writer.

namespace tilegraft {

// Renames within the folder, EEXIST where the new name is taken (else by link, then unlink).
bool renameNoReplace(int folder, const char* from, const char* to);

// Gives the new file the old one's access list and attributes, so a rename neither widens nor
// narrows who may use it; false where one that bears on that could not be copied.
bool copyAttributes(int folder, const std::string& entry, const struct stat& file, int to);

// The new file beside the old one; its name, if any, is short and relative to the folder.
class Temporary {
public:
  explicit Temporary(int folderDescriptor) : folder(folderDescriptor) {}
  ~Temporary() { discard(); }

  // A file without a name where the system can, else (mayBeNamed) a named one. The mode is
  // open(2)'s: a folder's default access list takes the umask's place.
  bool create(bool mayBeNamed, mode_t mode) {
#if TILEGRAFT_LINUX_CALLS
    if (unnamedFilesForTesting && unnamedFilesCanBeLinked()) {
      file = Descriptor(openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
      // A file system without unnamed files says so in one of these ways.
      if (file || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT)) {
        return static_cast<bool>(file);
      }
    }
#endif
    return mayBeNamed && takeFreshName([this, mode] {
             file = Descriptor(
                 openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode));
             return static_cast<bool>(file);
           });
  }

  int descriptor() const { return file.get(); }

  // Names the finished file while the name is free (else nameTaken); closes it, then syncs.
  ReplaceResult linkAsNew(const std::string& entry) {
    if (named && !file.closeNow()) {
      return ReplaceResult::notWritten;
    }
    {
      const HeldSignals hold(heldDuringSave);
      if (!(named ? renameNoReplace(folder, name, entry.c_str()) : linkUnnamed(entry.c_str()))) {
        return errno == EEXIST ? ReplaceResult::nameTaken : ReplaceResult::notWritten;
      }
      forgetName();
      nameHolds.store(NameHolds::newFile);
    }
    return file.closeNow() && (bulkSaves || syncFolder(folder)) ? ReplaceResult::replaced
                                                                : ReplaceResult::notWritten;
  }

  // Renames the finished file over the entry while it is the file seen (else nameTaken; no call
  // renames over one file only). renameRefused: it may be written in place instead.
  ReplaceResult replace(const std::string& entry, const struct stat& seen, bool& renameRefused) {
    renameRefused = false;
    const HeldSignals hold(heldDuringSave);
    // In the rename's held stretch: only an uncatchable kill between the two leaves the name.
    if (!named && !takeFreshName([this] { return linkUnnamed(name); })) {
      return ReplaceResult::notWritten;
    }
    if (!file.closeNow()) {
      return ReplaceResult::notWritten;
    }
    struct stat now {};
    if (fstatat(folder, entry.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(now, seen)) {
      return ReplaceResult::nameTaken;
    }
    if (renameat(folder, name, folder, entry.c_str()) != 0) {
      // A file that is a mount point (as containers mount single files) may be written in place.
      renameRefused = errno == EBUSY;
      return ReplaceResult::notWritten;
    }
    forgetName();
    nameHolds.store(NameHolds::newFile);
    return bulkSaves || syncFolder(folder) ? ReplaceResult::replaced : ReplaceResult::notWritten;
  }

  void discard() noexcept {
    file.closeNow();
    if (named) {
      const HeldSignals hold(heldDuringSave);
      unlinkat(folder, name, 0);
      forgetName();
    }
  }

private:
  // Linking an unnamed file by its descriptor alone takes a privilege; through /proc it does not.
  static bool unnamedFilesCanBeLinked() {
    return access("/proc/self/fd", X_OK) == 0 || geteuid() == 0;
  }

  // Links the unnamed file under the name, which must be free (EEXIST otherwise).
  bool linkUnnamed(const char* as) {
    if (linkat(AT_FDCWD, descriptorPath(file.get()).c_str(), folder, as, AT_SYMLINK_FOLLOW) == 0) {
      return true;
    }
#ifdef AT_EMPTY_PATH
    return errno == ENOENT && linkat(file.get(), "", folder, as, AT_EMPTY_PATH) == 0;
#else
    return false;
#endif
  }

  // The first free name makeFile accepts: ".tilegraft-" and 8 hex digits that differ each time.
  template <typename MakeFile> bool takeFreshName(MakeFile makeFile) {
    for (unsigned long attempt = 0; attempt < 100; ++attempt) {
      const HeldSignals hold(heldDuringSave);
      struct timespec now {};
      clock_gettime(CLOCK_REALTIME, &now);
      const auto mixed = static_cast<unsigned long>(now.tv_nsec) ^
                         static_cast<unsigned long>(getpid()) << 12U ^ attempt * 2654435761UL;
      std::snprintf(name, sizeof name, ".tilegraft-%08lx", mixed & 0xFFFFFFFFUL);
      if (makeFile()) {
        named = true;
        recordPending(folder, name);
        return true;
      }
      if (errno != EEXIST) {
        return false;
      }
    }
    return false;
  }

  void forgetName() {
    forgetPending();
    named = false;
  }

  int folder;
  Descriptor file;
  char name[32] = {};
  bool named = false;
};

} // namespace tilegraft

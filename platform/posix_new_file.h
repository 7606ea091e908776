#pragma once

#include "platform/file_writer.h"
#include "platform/posix_descriptor.h"
#include "platform/posix_features.h"
#include "platform/posix_save_signals.h"
#include "platform/test_seams.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// The new file that a save writes beside the name before it takes the name: made, named, given
// the old file's attributes, linked or renamed, or removed. For the POSIX file writer only.

namespace tilegraft {

// Where the system has them, a file without a name that the last step links into the folder.
#if TILEGRAFT_LINUX_CALLS && defined(O_TMPFILE)
constexpr bool unnamedFilesExist = true;
#else
constexpr bool unnamedFilesExist = false;
#endif

// Renames within the folder without replacing anything: fails with EEXIST when the new name is
// taken. Where renames cannot refuse, the file takes the second name and then loses the first.
bool renameNoReplace(int folder, const char* from, const char* to);

// Gives the new file (to) the access list and extended attributes of the old one, the entry in
// folder that must still be file, so that a save by rename neither widens nor narrows who may use
// the file (the mode's group bits are the list's mask, not the group's rights). False where one
// that bears on that could not be copied: the file is then written in place.
bool copyAttributes(int folder, const std::string& entry, const struct stat& file, int to);

// The new file beside the old one. Its name, once it has one, is short (so it fits whatever
// the target's name and path) and relative to the folder's descriptor (so a rename of the folder
// or a long path changes nothing).
class Temporary {
public:
  explicit Temporary(int folderDescriptor) : folder(folderDescriptor) {}
  ~Temporary() { discard(); }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  // False when no file could be made: no space, no inodes, the folder refused, or only a named
  // file could be made and mayBeNamed is false. The mode is open(2)'s: a folder's default access
  // list, where it has one, takes the place of the umask.
  bool create(bool mayBeNamed, mode_t mode) {
    if (unnamedFilesExist && unnamedFilesForTesting && unnamedFilesCanBeLinked()) {
#if TILEGRAFT_LINUX_CALLS && defined(O_TMPFILE)
      file = Descriptor(openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
      if (file) {
        return true;
      }
      // A file system without unnamed files says so in one of these ways; others are real.
      const bool noUnnamedFilesHere =
          errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT;
      if (!noUnnamedFilesHere) {
        return false;
      }
#endif
    }
    return mayBeNamed && takeFreshName([this, mode] {
             file = Descriptor(
                 openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode));
             return static_cast<bool>(file);
           });
  }

  int descriptor() const { return file.get(); }

  // Gives the finished file the new name, which must still be free: nameTaken when it is not.
  ReplaceResult linkAsNew(const std::string& entry) {
    if (!named) {
      {
        const HeldSignals hold(heldDuringSave);
        if (!linkUnnamed(entry.c_str())) {
          return errno == EEXIST ? ReplaceResult::nameTaken : ReplaceResult::notWritten;
        }
        nameHolds.store(NameHolds::newFile);
      }
      return file.closeNow() && syncFolder(folder) ? ReplaceResult::replaced
                                                   : ReplaceResult::notWritten;
    }
    if (!file.closeNow()) {
      return ReplaceResult::notWritten;
    }
    const HeldSignals hold(heldDuringSave);
    if (!renameNoReplace(folder, name, entry.c_str())) {
      return errno == EEXIST ? ReplaceResult::nameTaken : ReplaceResult::notWritten;
    }
    forgetName();
    nameHolds.store(NameHolds::newFile);
    return syncFolder(folder) ? ReplaceResult::replaced : ReplaceResult::notWritten;
  }

  // Renames the finished file over the entry, which must still be the file seen there: nameTaken
  // when another has taken its place. (One that does so in the instant between that look and the
  // rename is replaced: no call renames over one given file only.) renameRefused tells a file
  // that cannot be renamed over but may be written in place.
  ReplaceResult replace(const std::string& entry, const struct stat& seen, bool& renameRefused) {
    renameRefused = false;
    const HeldSignals hold(heldDuringSave);
    // An unnamed file takes its temporary name here, in the same held stretch as the rename: a
    // kill that cannot be caught leaves that name only if it lands between the two calls.
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
      // A file that is a mount point of its own (as containers mount single files) cannot be
      // renamed over; it can still be written in place.
      renameRefused = errno == EBUSY;
      return ReplaceResult::notWritten;
    }
    forgetName();
    nameHolds.store(NameHolds::newFile);
    return syncFolder(folder) ? ReplaceResult::replaced : ReplaceResult::notWritten;
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

  // Gives the file the first free short name that makeFile accepts (it creates or links the
  // name in the member, and fails with EEXIST when the name is taken). False on other failures.
  template <typename MakeFile> bool takeFreshName(MakeFile makeFile) {
    constexpr int nameAttempts = 100;
    for (int attempt = 0; attempt < nameAttempts; ++attempt) {
      const HeldSignals hold(heldDuringSave);
      chooseName(attempt);
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

  // ".tilegraft-" and eight hexadecimal digits that differ between processes and attempts.
  void chooseName(int attempt) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const auto mixed = static_cast<unsigned long>(now.tv_nsec) ^
                       static_cast<unsigned long>(getpid()) << 12U ^
                       static_cast<unsigned long>(attempt) * 2654435761UL;
    std::snprintf(name, sizeof name, ".tilegraft-%08lx", mixed & 0xFFFFFFFFUL);
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

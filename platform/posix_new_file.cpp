#include "platform/posix_new_file.h"

#include <optional>
#include <string_view>
#include <vector>
#if TILEGRAFT_LINUX_CALLS
#include <sys/xattr.h>
#endif

namespace tilegraft {

bool renameNoReplace(int folder, const char* from, const char* to) {
#if TILEGRAFT_LINUX_CALLS && defined(RENAME_NOREPLACE)
  if (renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
    return false;
  }
#endif
  if (linkat(folder, from, folder, to, 0) != 0) {
    return false;
  }
  unlinkat(folder, from, 0);
  return true;
}

#if TILEGRAFT_LINUX_CALLS
namespace {

// The names of a file's extended attributes, each ended by a NUL; nullopt where they cannot be
// listed. The path is one of /proc's, of a descriptor.
std::optional<std::vector<char>> attributeNames(const char* path) {
  for (;;) {
    const ssize_t size = listxattr(path, nullptr, 0);
    if (size < 0) {
      return errno == EOPNOTSUPP ? std::optional<std::vector<char>>(std::vector<char>())
                                 : std::nullopt;
    }
    std::vector<char> names(static_cast<std::size_t>(size));
    const ssize_t listed = listxattr(path, names.data(), names.size());
    if (listed >= 0) {
      names.resize(static_cast<std::size_t>(listed));
      return names;
    }
    if (errno != ERANGE) {
      return std::nullopt;
    }
  }
}

std::optional<std::vector<char>> attributeValue(const char* path, const char* name) {
  for (;;) {
    const ssize_t size = getxattr(path, name, nullptr, 0);
    if (size < 0) {
      return std::nullopt;
    }
    std::vector<char> value(static_cast<std::size_t>(size));
    const ssize_t read = getxattr(path, name, value.data(), value.size());
    if (read >= 0) {
      value.resize(static_cast<std::size_t>(read));
      return value;
    }
    if (errno != ERANGE) {
      return std::nullopt;
    }
  }
}

constexpr const char* accessList = "system.posix_acl_access";

} // namespace

// A security module's labels (security.*) and what only the system may set
// (trusted.*) are copied where the process may, and otherwise left as the new file has them.
bool copyAttributes(int folder, const std::string& entry, const struct stat& file, int to) {
  const Descriptor old(openat(folder, entry.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!old || fstat(old.get(), &status) != 0 || !sameFile(status, file)) {
    return false;
  }
  const std::string oldPath = descriptorPath(old.get());
  const char* path = oldPath.c_str();
  const std::optional<std::vector<char>> names = attributeNames(path);
  if (!names) {
    return false;
  }
  bool listCopied = false;
  for (std::size_t at = 0; at < names->size();) {
    const char* name = names->data() + at;
    const std::string_view view(name);
    at += view.size() + 1;
    const bool bearsOnUse = !view.starts_with("security.") && !view.starts_with("trusted.");
    const std::optional<std::vector<char>> value = attributeValue(path, name);
    const bool copied = value && fsetxattr(to, name, value->data(), value->size(), 0) == 0;
    if (!copied && bearsOnUse) {
      return false;
    }
    listCopied = listCopied || (copied && view == accessList);
  }
  // A new file takes its folder's default list; a file that had none gets none.
  return listCopied || fremovexattr(to, accessList) == 0 || errno == ENODATA || errno == EOPNOTSUPP;
}
#else
// Elsewhere each system keeps access lists and extended attributes its own way (macOS's and the
// BSDs' acl_get_fd, extattr_get_fd), and none is read here: a save by rename keeps the mode,
// owner and group only, and the documents say so. A list's extra rights are then lost, and so is
// a macOS deny entry; writing every file in place instead would give up whole-or-old saves for
// all files, which matters more than the rare list.
bool copyAttributes(int, const std::string&, const struct stat&, int) { return true; }
#endif

} // namespace tilegraft

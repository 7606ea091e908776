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

// What call (an extended attribute call that, without a buffer, tells the size it needs) gives.
template <typename Call> std::optional<std::vector<char>> sized(Call call) {
  for (;;) {
    const ssize_t size = call(nullptr, 0);
    if (size < 0) {
      return std::nullopt;
    }
    std::vector<char> data(static_cast<std::size_t>(size));
    const ssize_t got = call(data.data(), data.size());
    if (got >= 0) {
      data.resize(static_cast<std::size_t>(got));
      return data;
    }
    if (errno != ERANGE) {
      return std::nullopt;
    }
  }
}

constexpr const char* accessList = "system.posix_acl_access";

} // namespace

// Security labels (security.*) and what only the system may set (trusted.*) are copied where
// the process may, else left as the new file has them.
bool copyAttributes(int folder, const std::string& entry, const struct stat& file, int to) {
  const Descriptor old(openat(folder, entry.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!old || fstat(old.get(), &status) != 0 || !sameFile(status, file)) {
    return false;
  }
  const std::string path = descriptorPath(old.get());
  const std::optional<std::vector<char>> names =
      sized([&](char* list, std::size_t size) { return listxattr(path.c_str(), list, size); });
  if (!names && errno != EOPNOTSUPP) {
    return false;
  }
  bool listCopied = false;
  for (std::size_t at = 0; names && at < names->size();) {
    const char* name = names->data() + at;
    const std::string_view view(name);
    at += view.size() + 1;
    const bool bearsOnUse = !view.starts_with("security.") && !view.starts_with("trusted.");
    const std::optional<std::vector<char>> value = sized(
        [&](char* data, std::size_t size) { return getxattr(path.c_str(), name, data, size); });
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
// Elsewhere none is read: a rename keeps mode, owner and group (as documented). Writing in place
// instead would give up whole-or-old saves, which matters more than a rare access list.
bool copyAttributes(int, const std::string&, const struct stat&, int) { return true; }
#endif

} // namespace tilegraft

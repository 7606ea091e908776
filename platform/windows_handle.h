#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <windows.h>

// Helpers of the Windows implementation files.

namespace tilegraft {

// UTF-8 inside the tool, UTF-16 at the Windows API.
std::wstring wideName(const std::string& utf8);

// Moves all count bytes by call (a ReadFile or WriteFile of want bytes after done, at most 1 GiB,
// that sets moved): false on an error or an early end.
template <typename Call> bool transferAll(std::size_t count, Call call) {
  for (std::size_t done = 0; done < count;) {
    DWORD moved = 0;
    const auto want = static_cast<DWORD>(std::min(count - done, std::size_t{1} << 30));
    if (!call(done, want, moved) || moved == 0) {
      return false;
    }
    done += moved;
  }
  return true;
}

// A Windows handle with one owner, closed exactly once.
class Handle {
public:
  explicit Handle(HANDLE opened = INVALID_HANDLE_VALUE) : handle(opened) {}
  ~Handle() { closeNow(); }
  Handle(Handle&& other) noexcept : handle(std::exchange(other.handle, INVALID_HANDLE_VALUE)) {}
  Handle& operator=(Handle&& other) noexcept {
    std::swap(handle, other.handle);
    return *this;
  }

  HANDLE get() const { return handle; }
  explicit operator bool() const { return handle != INVALID_HANDLE_VALUE; }
  // True when nothing was open or the close succeeded.
  bool closeNow() noexcept {
    const HANDLE was = std::exchange(handle, INVALID_HANDLE_VALUE);
    return was == INVALID_HANDLE_VALUE || CloseHandle(was) != 0;
  }

private:
  HANDLE handle;
};

} // namespace tilegraft

#pragma once

#include <utility>
#include <windows.h>

namespace tilegraft {

// A Windows handle with one owner, closed exactly once. For the Windows implementation files
// only.
class Handle {
public:
  explicit Handle(HANDLE opened = INVALID_HANDLE_VALUE) : handle(opened) {}
  ~Handle() { closeNow(); }
  Handle(Handle&& other) noexcept : handle(std::exchange(other.handle, INVALID_HANDLE_VALUE)) {}
  Handle& operator=(Handle&& other) noexcept {
    std::swap(handle, other.handle);
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

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

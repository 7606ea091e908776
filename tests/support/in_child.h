#pragma once

#include <functional>
#include <sys/wait.h>
#include <unistd.h>

namespace tilegraft::testing {

// Runs the body in a child process and gives its wait status; the child's exit status is the
// body's result.
inline int inChild(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

} // namespace tilegraft::testing

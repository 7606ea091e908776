#pragma once

// Whether this build may use the calls only Linux has; TILEGRAFT_PORTABLE_POSIX builds on Linux
// what macOS and the BSDs get instead, so that their path is tested here too.
#if defined(__linux__) && !defined(TILEGRAFT_PORTABLE_POSIX)
#define TILEGRAFT_LINUX_CALLS 1
#else
#define TILEGRAFT_LINUX_CALLS 0
#endif

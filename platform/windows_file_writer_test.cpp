#include "platform/file_writer.h"
#include "tests/support/scoped_temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

namespace tilegraft {
namespace {

using testing::Bytes;
using testing::readFileBytes;
using testing::ScopedTempDir;
using testing::writeFileBytes;

// A save that cannot be made on Windows leaves the old file as it was and no temporary file:
// a target another program holds open without sharing, a read-only one, a folder.
TEST(WindowsFileWriterTest, RefusedSavesKeepTheOldFileAndLeaveNothing) {
  const Bytes old{'o', 'l', 'd'};
  const Bytes fresh(5000, 0x42);
  struct Case {
    const char* title;
    bool holdOpen;
    bool readOnly;
    bool folder;
    ReplaceResult expected;
  };
  for (const Case& c : {Case{"held open", true, false, false, ReplaceResult::notWritten},
                        Case{"read-only", false, true, false, ReplaceResult::notCreated},
                        Case{"a folder", false, false, true, ReplaceResult::notCreated},
                        Case{"plain", false, false, false, ReplaceResult::replaced}}) {
    SCOPED_TRACE(c.title);
    const ScopedTempDir dir;
    const std::filesystem::path target = dir.file("out.bmp");
    if (c.folder) {
      std::filesystem::create_directory(target);
    } else {
      writeFileBytes(target, old);
    }
    if (c.readOnly) {
      SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
    }
    HANDLE held = c.holdOpen ? CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr)
                             : INVALID_HANDLE_VALUE;
    EXPECT_EQ(replaceFile(target.string(), fresh), c.expected);
    if (held != INVALID_HANDLE_VALUE) {
      CloseHandle(held);
    }
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!c.folder) {
      EXPECT_EQ(readFileBytes(target), c.expected == ReplaceResult::replaced ? fresh : old);
    }
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"out.bmp"});
  }
}

} // namespace
} // namespace tilegraft

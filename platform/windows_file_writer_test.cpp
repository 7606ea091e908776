#include "platform/file_writer.h"
#include "platform/files.h"
#include "platform/test_seams.h"
#include "tests/support/scoped_temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <iterator>
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

// The file seen when the question was asked is the only one a save replaces; another that takes
// its place, before the save or while it writes, is kept and asked about anew.
TEST(WindowsFileWriterTest, ASaveReplacesOnlyTheFileThatWasSeen) {
  static std::filesystem::path target;
  const auto swapFile = [] {
    writeFileBytes(target.string() + ".other", Bytes{'p'});
    MoveFileExW((target.wstring() + L".other").c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
  };
  struct Case {
    const char* title;
    void (*before)();
    void (*midSave)();
  };
  for (const Case& c :
       {Case{"the file seen", nullptr, nullptr},
        Case{"another file in its place before the save", +swapFile, nullptr},
        Case{"another file in its place while the save writes", nullptr, +swapFile}}) {
    SCOPED_TRACE(c.title);
    const ScopedTempDir dir;
    target = dir.file("out.bmp");
    writeFileBytes(target, Bytes{'o', 'l', 'd'});
    const NameState seen = lookAtName(target.string());
    if (c.before != nullptr) {
      c.before();
    }
    afterHalfWrittenForTesting = c.midSave;
    const ReplaceResult result = replaceFile(target.string(), Bytes(5000, 0x42), seen);
    afterHalfWrittenForTesting = nullptr;
    const bool kept = c.before != nullptr || c.midSave != nullptr;
    EXPECT_EQ(result, kept ? ReplaceResult::nameTaken : ReplaceResult::replaced);
    EXPECT_EQ(readFileBytes(target), kept ? Bytes{'p'} : Bytes(5000, 0x42));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);
  }
}

} // namespace
} // namespace tilegraft

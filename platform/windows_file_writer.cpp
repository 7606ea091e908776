#include "platform/file_writer.h"
#include "platform/test_seams.h"
#include "platform/windows_handle.h"
#include "platform/windows_text.h"

#include <cstdio>
#include <windows.h>

namespace tilegraft {

namespace {

bool writeRange(HANDLE file, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    constexpr std::size_t chunk = std::size_t{1} << 30;
    const auto want = static_cast<DWORD>(bytes.size() < chunk ? bytes.size() : chunk);
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), want, &written, nullptr) || written == 0) {
      return false;
    }
    bytes = bytes.subspan(written);
  }
  return true;
}

// In two halves, with the tests' seam between them.
bool writeImage(HANDLE file, std::span<const std::uint8_t> bytes) {
  const std::size_t half = bytes.size() / 2;
  if (!writeRange(file, bytes.first(half))) {
    return false;
  }
  if (afterHalfWrittenForTesting != nullptr) {
    afterHalfWrittenForTesting();
  }
  return writeRange(file, bytes.subspan(half));
}

// Another program that has the file open without sharing it holds a replacement back for a
// moment (an editor saving, a virus scanner); after this long, the save fails.
bool heldByAnotherProgram(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED || error == ERROR_USER_MAPPED_FILE;
}
constexpr int replaceAttempts = 20;
constexpr DWORD replacePause = 50; // milliseconds

// Writes over what is at the name: a device, or a file with several links (a new file would
// part them). A file is locked and its new length reserved before an old byte changes.
ReplaceResult writeInPlace(const std::string& name, const std::wstring& target,
                           std::span<const std::uint8_t> bytes) {
  Handle file(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    return ReplaceResult::notCreated;
  }
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    return writeImage(file.get(), bytes) && file.closeNow() ? ReplaceResult::replaced
                                                            : ReplaceResult::notWritten;
  }
  // Another program's lock is waited for a bounded time, as on POSIX systems.
  OVERLAPPED whole{};
  const auto lock = [&] {
    return LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                      MAXDWORD, &whole) ||
           GetLastError() != ERROR_LOCK_VIOLATION;
  };
  if (!lock()) {
    std::fflush(stdout);
    std::fprintf(stderr,
                 "Waiting up to %d seconds for another program to release its lock on %s...\n",
                 lockWaitSeconds, name.c_str());
    const ULONGLONG deadline = GetTickCount64() + lockWaitSeconds * 1000ULL;
    do {
      Sleep(10);
      if (GetTickCount64() >= deadline) {
        return ReplaceResult::locked;
      }
    } while (!lock());
  }
  FILE_ALLOCATION_INFO reserved{};
  reserved.AllocationSize.QuadPart = static_cast<LONGLONG>(bytes.size());
  if (!SetFileInformationByHandle(file.get(), FileAllocationInfo, &reserved, sizeof reserved)) {
    return ReplaceResult::notWritten;
  }
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(bytes.size());
  // On the disk before the cut and after it, as on POSIX systems.
  const bool written = writeImage(file.get(), bytes) && FlushFileBuffers(file.get()) &&
                       SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) &&
                       SetEndOfFile(file.get()) && FlushFileBuffers(file.get());
  return written && file.closeNow() ? ReplaceResult::replaced : ReplaceResult::notWritten;
}

// True for a device, or a file with more than one link.
bool needsInPlace(const std::wstring& target) {
  const Handle file(CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  return GetFileType(file.get()) != FILE_TYPE_DISK ||
         (GetFileInformationByHandle(file.get(), &information) && information.nNumberOfLinks > 1);
}

} // namespace

// A free name is only created, and a file that was seen is the only one replaced: another file
// at the name, before the write or after it, is asked about anew. A name changed in the instant
// between the last look and the move is still replaced: no call moves over one given file only.
ReplaceResult replaceFile(const std::string& fileName, std::span<const std::uint8_t> bytes,
                          const NameState& expected) {
  const std::wstring target = wideName(fileName);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && lookAtName(fileName) != expected) {
    return ReplaceResult::nameTaken;
  }
  // The calls that replace a file pass over its read-only mark, so the mark is checked here, and
  // a folder is refused as elsewhere.
  if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return ReplaceResult::notCreated;
  }
  if (exists ? needsInPlace(target) : GetLastError() != ERROR_FILE_NOT_FOUND) {
    // A device such as NUL, several links, or a name that cannot be looked at: the open decides.
    return writeInPlace(fileName, target, bytes);
  }

  // A short name beside the target, which no other save picks.
  std::wstring folder = wideName(folderOf(fileName));
  if (folder.back() != L'/' && folder.back() != L'\\') {
    folder += L'\\';
  }
  std::wstring temporary;
  Handle file;
  for (int attempt = 0; attempt < 100 && !file; ++attempt) {
    wchar_t suffix[32];
    std::swprintf(suffix, 32, L".tilegraft-%08lx",
                  static_cast<unsigned long>(GetTickCount64() ^ (GetCurrentProcessId() << 12U) ^
                                             static_cast<unsigned long>(attempt) * 2654435761UL));
    temporary = folder + suffix;
    file = Handle(CreateFileW(temporary.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file && GetLastError() != ERROR_FILE_EXISTS) {
      break;
    }
  }
  if (!file) {
    return ReplaceResult::notCreated;
  }
  // Marked for deletion while it is written, so that a process killed meanwhile leaves nothing:
  // the system removes it when the last handle goes.
  FILE_DISPOSITION_INFO disposition{TRUE};
  const bool marked =
      SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
  // On the disk before it takes the name: the move, write-through, then puts the name there.
  const bool written = writeImage(file.get(), bytes) && FlushFileBuffers(file.get());
  disposition.DeleteFile = FALSE;
  if (!written || (marked && !SetFileInformationByHandle(file.get(), FileDispositionInfo,
                                                         &disposition, sizeof disposition))) {
    file.closeNow();
    DeleteFileW(temporary.c_str());
    return ReplaceResult::notWritten;
  }
  if (!file.closeNow()) {
    DeleteFileW(temporary.c_str());
    return ReplaceResult::notWritten;
  }
  // The new file takes the old one's attributes (hidden, archive, ...); its access rights are
  // the folder's, as for any new file. ReplaceFileW would keep the old rights, but where it
  // fails it can leave files of its own behind.
  if (exists) {
    SetFileAttributesW(temporary.c_str(), attributes);
    if (lookAtName(fileName) != expected) {
      DeleteFileW(temporary.c_str());
      return ReplaceResult::nameTaken;
    }
  }
  for (int attempt = 0; attempt < replaceAttempts; ++attempt) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (exists ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExW(temporary.c_str(), target.c_str(), flags) != 0) {
      return ReplaceResult::replaced;
    }
    if (!exists && GetLastError() == ERROR_ALREADY_EXISTS) {
      DeleteFileW(temporary.c_str());
      return ReplaceResult::nameTaken;
    }
    if (!heldByAnotherProgram(GetLastError())) {
      break;
    }
    Sleep(replacePause);
  }
  DeleteFileW(temporary.c_str());
  return ReplaceResult::notWritten;
}

ReplaceResult replaceFile(const std::string& fileName, const FileImage& image,
                          const NameState& expected) {
  return replaceFile(fileName, std::span<const std::uint8_t>(image.bytes(), image.size()),
                     expected);
}

ReplaceResult replaceFile(const std::string& fileName, std::span<const std::uint8_t> bytes) {
  return replaceFile(fileName, bytes, lookAtName(fileName));
}

ReplaceResult replaceFile(const std::string& fileName, const FileImage& image) {
  return replaceFile(fileName, image, lookAtName(fileName));
}

bool replaceLooksPossible(const std::string& fileName) {
  const std::wstring target = wideName(fileName);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
  }
  const DWORD folderAttributes = GetFileAttributesW(wideName(folderOf(fileName)).c_str());
  return folderAttributes != INVALID_FILE_ATTRIBUTES &&
         (folderAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace tilegraft

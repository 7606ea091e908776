#include "platform/file_writer.h"
#include "platform/test_seams.h"
#include "platform/windows_handle.h"

#include <cstdio>

namespace tilegraft {

namespace {

bool writeRange(HANDLE file, std::span<const std::uint8_t> bytes) {
  return transferAll(bytes.size(), [&](std::size_t done, DWORD want, DWORD& moved) {
    return WriteFile(file, bytes.data() + done, want, &moved, nullptr) != 0;
  });
}

// In two halves, with the tests' seam between them.
bool writeImage(HANDLE file, std::span<const std::uint8_t> bytes) {
  const std::size_t half = bytes.size() / 2;
  if (!writeRange(file, bytes.first(half))) {
    return false;
  }
  reach(afterHalfWrittenForTesting);
  return writeRange(file, bytes.subspan(half));
}

// Another program with the file open (an editor, a virus scanner) holds a replacement back.
bool heldByAnotherProgram(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED || error == ERROR_USER_MAPPED_FILE;
}
constexpr int replaceAttempts = 20;
constexpr DWORD replacePause = 50; // milliseconds

// Writes over a device, or a file with several links; a file is locked and reserved first.
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
  OVERLAPPED whole{};
  if (!waitForLock(name, [&] {
        return LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                          MAXDWORD, MAXDWORD, &whole) ||
               GetLastError() != ERROR_LOCK_VIOLATION;
      })) {
    return ReplaceResult::locked;
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

// A free name is only created, the file seen the only one replaced (but for one put there in the
// instant before the move: no call moves over one given file only).
ReplaceResult replaceFile(const std::string& fileName, std::span<const std::uint8_t> bytes,
                          const NameState& expected) {
  const std::wstring target = wideName(fileName);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && lookAtName(fileName) != expected) {
    return ReplaceResult::nameTaken;
  }
  // The calls that replace a file pass over its read-only mark: it is checked here.
  if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return ReplaceResult::notCreated;
  }
  if (exists ? needsInPlace(target) : GetLastError() != ERROR_FILE_NOT_FOUND) {
    // A device such as NUL, several links, or a name that cannot be looked at: the open decides.
    return writeInPlace(fileName, target, bytes);
  }

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
  const auto fail = [&](ReplaceResult result) {
    file.closeNow();
    DeleteFileW(temporary.c_str());
    return result;
  };
  // Marked for deletion while written, so a process killed meanwhile leaves nothing.
  FILE_DISPOSITION_INFO disposition{TRUE};
  const bool marked =
      SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
  // Synced before it takes the name, the move written through (bulk jobs: synced only over an old
  // file, the move not written through).
  disposition.DeleteFile = FALSE;
  if (!writeImage(file.get(), bytes) || !((bulkSaves && !exists) || FlushFileBuffers(file.get())) ||
      (marked && !SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                             sizeof disposition)) ||
      !file.closeNow()) {
    return fail(ReplaceResult::notWritten);
  }
  // The old attributes; the folder's rights (ReplaceFileW may leave files of its own behind).
  if (exists) {
    SetFileAttributesW(temporary.c_str(), attributes);
  }
  if (exists && lookAtName(fileName) != expected) {
    return fail(ReplaceResult::nameTaken);
  }
  for (int attempt = 0; attempt < replaceAttempts; ++attempt) {
    const DWORD flags =
        (bulkSaves ? 0 : MOVEFILE_WRITE_THROUGH) | (exists ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExW(temporary.c_str(), target.c_str(), flags) != 0) {
      return ReplaceResult::replaced;
    }
    if (!exists && GetLastError() == ERROR_ALREADY_EXISTS) {
      return fail(ReplaceResult::nameTaken);
    }
    if (!heldByAnotherProgram(GetLastError())) {
      break;
    }
    Sleep(replacePause);
  }
  return fail(ReplaceResult::notWritten);
}

ReplaceResult replaceFile(const std::string& fileName, const FileImage& image,
                          const NameState& expected) {
  return replaceFile(fileName, std::span<const std::uint8_t>(image.bytes(), image.size()),
                     expected);
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

#include "platform/file_image.h"
#include "platform/test_seams.h"
#include "platform/windows_handle.h"
#include "platform/windows_text.h"

#include <windows.h>

namespace tilegraft {

namespace {

constexpr int readAttempts = 4;

struct Version {
  LARGE_INTEGER size{};
  FILE_BASIC_INFO times{};
  bool operator==(const Version& other) const {
    return size.QuadPart == other.size.QuadPart &&
           times.LastWriteTime.QuadPart == other.times.LastWriteTime.QuadPart &&
           times.ChangeTime.QuadPart == other.times.ChangeTime.QuadPart;
  }
};

bool versionOf(HANDLE file, Version& version) {
  return GetFileSizeEx(file, &version.size) &&
         GetFileInformationByHandleEx(file, FileBasicInfo, &version.times, sizeof version.times);
}

bool readAll(HANDLE file, std::uint8_t* bytes, std::size_t length) {
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
    return false;
  }
  std::size_t done = 0;
  while (done < length) {
    constexpr std::size_t chunk = std::size_t{1} << 30;
    const auto want = static_cast<DWORD>(length - done < chunk ? length - done : chunk);
    DWORD got = 0;
    if (!ReadFile(file, bytes + done, want, &got, nullptr) || got == 0) {
      return false;
    }
    done += got;
  }
  return true;
}

} // namespace

// No leases here: every image is copied whole at load.
FileReadResult FileImage::load(const std::string& fileName, std::size_t minLength,
                               std::size_t maxLength) {
  reset();
  // Others may go on reading, writing, renaming or deleting it, as on other systems.
  const Handle file(CreateFileW(wideName(fileName).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_TOO_MANY_OPEN_FILES) {
      return FileReadResult::tooManyOpen;
    }
    return error == ERROR_ACCESS_DENIED &&
                   (GetFileAttributesW(wideName(fileName).c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0
               ? FileReadResult::lengthRefused
               : FileReadResult::notOpened;
  }
  // A pipe or a console has no length to read.
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    return FileReadResult::notRead;
  }
  FileReadResult result = FileReadResult::notRead;
  for (int attempt = 0; attempt < readAttempts; ++attempt) {
    Version before;
    if (!versionOf(file.get(), before)) {
      break;
    }
    const auto fileLength = static_cast<std::uint64_t>(before.size.QuadPart);
    if (fileLength < minLength || fileLength > maxLength) {
      result = FileReadResult::lengthRefused;
      break;
    }
    length = static_cast<std::size_t>(fileLength);
    if (!copy.allocate(length)) {
      result = FileReadResult::noMemory;
      break;
    }
    const bool whole = readAll(file.get(), copy.get(), length);
    if (afterFileReadForTesting != nullptr) {
      afterFileReadForTesting(fileName);
    }
    Version after;
    if (!versionOf(file.get(), after)) {
      break;
    }
    if (after == before) {
      result = whole ? FileReadResult::read : FileReadResult::notRead;
      break;
    }
  }
  if (result != FileReadResult::read) {
    reset();
    return result;
  }
  view = copy.get();
  return result;
}

void FileImage::reset() noexcept {
  copy.reset();
  view = nullptr;
  length = 0;
}

bool FileImage::isMapped() const { return false; }
bool FileImage::copyIn(std::size_t, std::size_t, std::size_t, std::size_t) noexcept { return true; }

} // namespace tilegraft

#include "platform/file_image.h"
#include "platform/test_seams.h"
#include "platform/windows_handle.h"

#include <optional>

namespace tilegraft {

bool FileImageMemory::allocate(std::size_t length) noexcept {
  reset();
  // One byte more than the image, as on other systems; committed pages are zero.
  bytes = static_cast<std::uint8_t*>(
      VirtualAlloc(nullptr, length + 1, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  mappedLength = bytes != nullptr ? length + 1 : 0;
  return bytes != nullptr;
}

void FileImageMemory::reset() noexcept {
  if (bytes != nullptr) {
    VirtualFree(std::exchange(bytes, nullptr), 0, MEM_RELEASE);
    mappedLength = 0;
  }
}

namespace {

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
    return error == ERROR_TOO_MANY_OPEN_FILES ? FileReadResult::tooManyOpen
           : error == ERROR_ACCESS_DENIED &&
                   (GetFileAttributesW(wideName(fileName).c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0
               ? FileReadResult::lengthRefused
               : FileReadResult::notOpened;
  }
  // A pipe or a console has no length to read.
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    return FileReadResult::notRead;
  }
  const auto readOnce = [&]() -> std::optional<FileReadResult> {
    Version before;
    Version after;
    if (!versionOf(file.get(), before)) {
      return FileReadResult::notRead;
    }
    const auto fileLength = static_cast<std::uint64_t>(before.size.QuadPart);
    if (fileLength < minLength || fileLength > maxLength) {
      return FileReadResult::lengthRefused;
    }
    length = static_cast<std::size_t>(fileLength);
    if (!copy.allocate(length)) {
      return FileReadResult::noMemory;
    }
    const LARGE_INTEGER start{};
    const bool whole = SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) &&
                       transferAll(length, [&](std::size_t done, DWORD want, DWORD& moved) {
                         return ReadFile(file.get(), copy.get() + done, want, &moved, nullptr);
                       });
    reach(afterFileReadForTesting, fileName);
    const bool known = versionOf(file.get(), after);
    if (!known || after == before) {
      return known && whole && after == before ? FileReadResult::read : FileReadResult::notRead;
    }
    return std::nullopt; // changed while read
  };
  std::optional<FileReadResult> result;
  for (int attempt = 0; attempt < 4 && !result; ++attempt) {
    result = readOnce();
  }
  if (result != FileReadResult::read) {
    reset();
    return result.value_or(FileReadResult::notRead);
  }
  view = copy.get();
  return FileReadResult::read;
}

void FileImage::reset() noexcept {
  copy.reset();
  view = nullptr;
  length = 0;
}

bool FileImage::isMapped() const { return false; }
bool FileImage::copyIn(std::size_t, std::size_t, std::size_t, std::size_t) noexcept { return true; }

} // namespace tilegraft

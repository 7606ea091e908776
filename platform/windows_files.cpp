#include "platform/files.h"
#include "platform/windows_handle.h"
#include "platform/windows_text.h"

#include <climits>
#include <io.h>
#include <windows.h>

namespace tilegraft {

std::FILE* openScriptFile(const std::string& fileName, bool& isFolder) {
  const std::wstring name = wideName(fileName);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  isFolder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (isFolder) {
    return nullptr;
  }
  // Text mode: CR LF reads as LF, and a Ctrl-Z ends the script there.
  return _wfopen(name.c_str(), L"rt");
}

std::optional<std::size_t> readScriptBytes(std::FILE* script, char* buffer, std::size_t capacity) {
  // _read keeps the stream's text mode: CR LF arrives as LF, and a Ctrl-Z ends the script.
  const int got = _read(_fileno(script), buffer,
                        static_cast<unsigned>(capacity < INT_MAX ? capacity : INT_MAX));
  if (got < 0) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(got);
}

bool nameIsTaken(const std::string& fileName) {
  return GetFileAttributesW(wideName(fileName).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string whereNameLeads(const std::string& fileName) { return fileName; }

NameState lookAtStandardInput() {
  BY_HANDLE_FILE_INFORMATION information{};
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == INVALID_HANDLE_VALUE || input == nullptr || GetFileType(input) != FILE_TYPE_DISK ||
      GetFileInformationByHandle(input, &information) == 0) {
    return {};
  }
  return {true, information.dwVolumeSerialNumber,
          (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

NameState lookAtName(const std::string& fileName) {
  // Opened for no access at all, only to ask what it is; folders open with backup semantics.
  const Handle file(CreateFileW(wideName(fileName).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION information{};
  if (!file || GetFileInformationByHandle(file.get(), &information) == 0) {
    // Taken all the same when something is there that cannot be opened.
    return {nameIsTaken(fileName)};
  }
  return {true, information.dwVolumeSerialNumber,
          (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

namespace {

NameTrouble troubleOf(DWORD error) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND:
    return NameTrouble::missing;
  case ERROR_PATH_NOT_FOUND:
    return NameTrouble::folderMissing;
  case ERROR_ACCESS_DENIED:
    return NameTrouble::noPermission;
  case ERROR_WRITE_PROTECT:
    return NameTrouble::readOnly;
  default:
    return NameTrouble::unknown;
  }
}

} // namespace

NameFacts troubleReading(const std::string& fileName) {
  NameFacts facts{NameTrouble::unknown, folderOf(fileName), 0};
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (GetFileAttributesExW(wideName(fileName).c_str(), GetFileExInfoStandard, &data) == 0) {
    facts.trouble = troubleOf(GetLastError());
  } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    facts.trouble = NameTrouble::isFolder;
  } else {
    facts.length = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  }
  return facts;
}

NameFacts troubleWriting(const std::string& fileName) {
  NameFacts facts{NameTrouble::unknown, folderOf(fileName), 0};
  const DWORD attributes = GetFileAttributesW(wideName(fileName).c_str());
  const DWORD folder = GetFileAttributesW(wideName(facts.folder).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    facts.trouble = NameTrouble::isFolder;
  } else if (folder == INVALID_FILE_ATTRIBUTES || (folder & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    facts.trouble = NameTrouble::folderMissing;
  } else if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    facts.trouble = NameTrouble::noPermission;
  }
  return facts;
}

} // namespace tilegraft

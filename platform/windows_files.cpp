#include "platform/files.h"
#include "platform/windows_handle.h"

#include <climits>
#include <io.h>

namespace tilegraft {

std::FILE* openScriptFile(const std::string& fileName, bool& isFolder) {
  const std::wstring name = wideName(fileName);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  isFolder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  // Text mode: CR LF reads as LF, and a Ctrl-Z ends the script there.
  return isFolder ? nullptr : _wfopen(name.c_str(), L"rt");
}

std::optional<std::size_t> readScriptBytes(std::FILE* script, char* buffer, std::size_t capacity) {
  // _read keeps the stream's text mode: CR LF arrives as LF, and a Ctrl-Z ends the script.
  const int got = _read(_fileno(script), buffer,
                        static_cast<unsigned>(capacity < INT_MAX ? capacity : INT_MAX));
  return got >= 0 ? std::optional(static_cast<std::size_t>(got)) : std::nullopt;
}

bool nameIsTaken(const std::string& fileName) {
  return GetFileAttributesW(wideName(fileName).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string whereNameLeads(const std::string& fileName) { return fileName; }

namespace {

// The file an open handle holds; nothing where the system cannot say.
NameState stateOf(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION information{};
  return GetFileInformationByHandle(file, &information) == 0
             ? NameState{}
             : NameState{true, information.dwVolumeSerialNumber,
                         (std::uint64_t{information.nFileIndexHigh} << 32) |
                             information.nFileIndexLow};
}

NameTrouble troubleOf(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND   ? NameTrouble::missing
         : error == ERROR_PATH_NOT_FOUND ? NameTrouble::folderMissing
         : error == ERROR_ACCESS_DENIED  ? NameTrouble::noPermission
         : error == ERROR_WRITE_PROTECT  ? NameTrouble::readOnly
                                         : NameTrouble::unknown;
}

} // namespace

NameState lookAtStandardInput() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  return input == INVALID_HANDLE_VALUE || input == nullptr || GetFileType(input) != FILE_TYPE_DISK
             ? NameState{}
             : stateOf(input);
}

NameState lookAtName(const std::string& fileName) {
  // Opened for no access, only to ask what it is; folders open with backup semantics.
  const Handle file(CreateFileW(wideName(fileName).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  const NameState state = file ? stateOf(file.get()) : NameState{};
  // Taken all the same when something is there that cannot be opened.
  return state.taken ? state : NameState{nameIsTaken(fileName)};
}

NameFacts troubleReading(const std::string& fileName) {
  NameFacts facts{.folder = folderOf(fileName)};
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
  NameFacts facts{.folder = folderOf(fileName)};
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

#include "platform/files.h"
#include "platform/windows_text.h"

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

bool nameIsTaken(const std::string& fileName) {
  return GetFileAttributesW(wideName(fileName).c_str()) != INVALID_FILE_ATTRIBUTES;
}

NameState lookAtName(const std::string& fileName) { return {nameIsTaken(fileName)}; }

} // namespace tilegraft

#include "common/answer_line.h"
#include "platform/console.h"
#include "platform/windows_handle.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
// After windows.h, which it needs.
#include <shellapi.h>

namespace tilegraft {

std::wstring wideName(const std::string& utf8) {
  if (utf8.empty()) {
    return {};
  }
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
  // Paths past the old 260-character limit go through the prefix that lifts it.
  if (wide.size() >= MAX_PATH && wide.rfind(L"\\\\?\\", 0) != 0) {
    const DWORD full = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring absolute(full, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), full, absolute.data(), nullptr);
    absolute.resize(written);
    return absolute.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + absolute.substr(2)
                                           : L"\\\\?\\" + absolute;
  }
  return wide;
}

std::vector<std::string> commandLineArguments(int /*argc*/, char* /*argv*/[]) {
  // The narrow arguments are in the ANSI code page, which cannot hold every name.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i) { // in UTF-8
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string& text =
        arguments.emplace_back(static_cast<std::size_t>(length > 0 ? length - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), length, nullptr, nullptr);
  }
  LocalFree(wide);
  return arguments;
}

void guardStandardStreams() noexcept {
  // Lines end in LF, byte for byte as on other systems; names are written as UTF-8.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  SetConsoleOutputCP(CP_UTF8);
}

// No such signal here: a write to a pipe whose reader has gone fails by itself.
void ignoreBrokenPipes() noexcept {}

std::optional<char> readAnswerLine() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  return readAnswerLine([input](char& byte) {
    DWORD got = 0;
    return input != nullptr && input != INVALID_HANDLE_VALUE &&
           ReadFile(input, &byte, 1, &got, nullptr) && got == 1;
  });
}

std::FILE* openStandardInput() {
  const int copy = _dup(_fileno(stdin));
  if (copy < 0) {
    return nullptr;
  }
  std::FILE* stream = _fdopen(copy, "r");
  if (stream == nullptr) {
    _close(copy);
  }
  return stream;
}

bool isStandardInput(std::FILE* file) {
  BY_HANDLE_FILE_INFORMATION opened{};
  BY_HANDLE_FILE_INFORMATION input{};
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return GetFileInformationByHandle(handle, &opened) &&
         GetFileInformationByHandle(GetStdHandle(STD_INPUT_HANDLE), &input) &&
         opened.dwVolumeSerialNumber == input.dwVolumeSerialNumber &&
         opened.nFileIndexHigh == input.nFileIndexHigh &&
         opened.nFileIndexLow == input.nFileIndexLow;
}

bool isTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

} // namespace tilegraft

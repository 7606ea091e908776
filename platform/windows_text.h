#pragma once

#include <string>

namespace tilegraft {

// UTF-8 inside the tool, UTF-16 at the Windows API. For the Windows implementation files only.
std::wstring wideName(const std::string& utf8);
std::string utf8Name(const wchar_t* wide);

} // namespace tilegraft

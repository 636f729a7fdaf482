#pragma once
// UTF-8 <-> UTF-16 for the Windows-only code: the Windows seams and the window.
#include <string>

// `strict`: invalid UTF-8 gives "", so a mangled path never names another file;
// otherwise invalid bytes are replaced, as display text may be.
std::wstring Widen(const char* utf8, bool strict = false);
std::string Narrow(const wchar_t* utf16);

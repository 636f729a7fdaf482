#pragma once
// Conversions between the program's UTF-8 texts and the UTF-16 of the window system.
#include <string>

std::wstring Widen(const char* utf8);
std::string Narrow(const wchar_t* utf16);

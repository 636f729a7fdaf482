// Stand-in for the macOS header, for the syntax check only: the one declaration used.
#pragma once
#include <cstdint>
extern "C" int _NSGetExecutablePath(char* buf, uint32_t* bufsize);

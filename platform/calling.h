#pragma once
// Calling convention of the D2XX entry points: stdcall on 32-bit Windows,
// the platform's C convention everywhere else.
#if defined(_WIN32) && !defined(_WIN64)
#define D2XX_API __stdcall
#else
#define D2XX_API
#endif

#pragma once
// How LoadSharedLibrary finds the kernel32 functions that older Windows lack: a test replaces
// it to play such a Windows.
extern void* (*findKernelFunction)(const char* name);

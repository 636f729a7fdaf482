#pragma once
// The one-line progress bar of an upload, redrawn in place on standard error.
#include <cstdint>
#include <string>

// The bar's text for an upload whose next block starts at `offset`.
std::string ProgressLine(int32_t offset);
// Starts a bar that is drawn only when `shown`.
void BeginProgress(bool shown);
// Redraws the bar when `offset` moved it.
void ShowProgress(int32_t offset);
// Ends the bar's line, so that what follows starts on a line of its own.
void EndProgress();

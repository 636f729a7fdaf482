#pragma once
// The one-line progress bar of an upload, redrawn in place on standard error.
#include <cstdint>
#include <string>

// The bar's text for an upload whose next block starts at `offset`. While a block waits for a
// reply, `repeats` of it already sent (0: none) are told where the byte counts stand. The
// text is as wide either way, so a redraw covers the one before.
std::string ProgressLine(int32_t offset, uint32_t repeats);
// Starts a bar that is drawn only when `shown`.
void BeginProgress(bool shown);
// Redraws the bar when its text changed.
void ShowProgress(int32_t offset, uint32_t repeats);
// Ends the bar's line, so that what follows starts on a line of its own.
void EndProgress();

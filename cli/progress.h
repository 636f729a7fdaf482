#pragma once
// The one-line progress bar of an upload, redrawn in place on standard error, or the progress
// as lines for the program that started this one (--all's).
#include <cstdint>
#include <string>

// The bar's text for an upload whose next block starts at `offset`, the bar `width` characters
// wide. While a block waits for a reply, `repeats` of it already sent (0: none) are told where
// the byte counts stand. The text is as wide either way, so a redraw covers the one before.
std::string ProgressLine(int32_t offset, uint32_t repeats, int32_t width = 40);
// "progress BYTES REPEATS": the progress as one line of --progress-lines.
std::string ProgressReport(int32_t offset, uint32_t repeats);
// Reads a line of ProgressReport; false for any other line.
bool ReadProgressReport(const std::string& line, int32_t& offset, uint32_t& repeats);
// The columns a terminal gives UTF-8 text: one per character.
size_t TextColumns(const std::string& text);

enum class ProgressStyle { none, bar, lines };
// Starts the progress of an upload, shown in `style`.
void BeginProgress(ProgressStyle style);
// Redraws the bar, or writes a line, when the progress changed.
void ShowProgress(int32_t offset, uint32_t repeats);
// Ends the bar's line, so that what follows starts on a line of its own.
void EndProgress();

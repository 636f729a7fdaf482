#pragma once
// --all and --wait: many devices, an upload each in a karvex-flash process of its own, as the
// upload engine holds the state of one upload.
#include "cli/options.h"

// Uploads to every attached device at once, then prints the table of results.
int UploadToAll(const FlashOptions& options);
// The station: uploads to each device as it is attached, until interrupted.
int RunStation(const FlashOptions& options);

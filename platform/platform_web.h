#pragma once
// What the browser page hands to the web platform: the HEX file it read, and the Web Serial
// link's received bytes and its loss of the port.
#include <cstdint>

// The one file OpenFileForReading finds afterwards, under `name`.
void ProvideWebFile(const char* name, const uint8_t* bytes, uint32_t size);
void WebSerialReceived(const uint8_t* bytes, uint32_t count);
// The port is gone (unplugged) or could not be opened: every port call fails from now on.
void WebSerialLost(const char* reason);
bool WebSerialIsLost();

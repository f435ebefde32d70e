#pragma once
// Finding the OXLENS channel among the client's channels, and opening it.
#include <windows.h>

#include <string>

#include "citrix/wfapi_types.h"

constexpr const char* OXLENS_CHANNEL_NAME = "OXLENS";

// 0 when the client offers the channel (names compared without ASCII case);
// -150 no session id for the process, -104 no session handle, -125 list failed, -141 not offered.
int queryOXChannelPresence(const std::string& channelName);

// Opens OXLENS in the current session and fetches its client module data into the
// caller's holders. 0, -124 open failed, -125 query failed (the channel is already stored).
int tryOpenVirtualChannel(HANDLE* channelOut, _VDOXLENS_C2H** dataOut, DWORD* lengthOut);

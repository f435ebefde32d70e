#pragma once
// The platform information records handed to the host, and the lock that guards them.
#include <mutex>

#include "plx_srv_citrix.h"

// Zero-filled at load; reset to defaults when polling starts; written by the polling
// task and read by the host's callbacks, always under _glClientInfoMutex.
extern ClientInfo _glClientInfo;
extern ClientInfoV2 _glClientInfo_v2;
extern std::mutex _glClientInfoMutex;

// Every text becomes empty (only its first byte is written), every int32 -1 and
// clientReal1 -1.0. The bytes behind a text's first byte and the padding are untouched.
void resetClientInfo(ClientInfo* info);
void resetClientInfoV2Ext(ClientInfoV2Ext* ext);

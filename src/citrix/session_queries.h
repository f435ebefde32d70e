#pragma once
// Questions to the WFAPI about the ICA session this library runs in.
#include <windows.h>

// Log texts of the connect states 0..9, indexed by state.
extern const char* const connectStateNames[10];
// Text for any state value; values of 10 and above get a text of their own.
const char* connectStateText(DWORD state);

int querySessionID(DWORD* sessionId);     // 0, -101 query failed, -102 id is 0
// 0, -103 query failed. logFailure false: the caller reports a failure itself (a back-off that
// asks every cycle logs one failing query once, not once per cycle).
int querySessionState(DWORD* state, bool logFailure = true);
int queryVDAVersion();                    // 0, -138 query failed or answer too short
int openSessionHandle(DWORD sessionId, HANDLE* session);  // 0, -104 open failed

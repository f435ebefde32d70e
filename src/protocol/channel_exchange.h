#pragma once
// The server side of the OXLENS request/response exchanges.
#include <windows.h>

#include <cstdint>

#include "protocol/oxlens_packet.h"

// A whole packet of each size, laid out as it travels.
struct OxlensPacket {
    OXLENS_PACKET_HEADER header;
    ClientInfo payload;
};
struct OxlensPacketV2 {
    OXLENS_PACKET_HEADER header;
    ClientInfoV2Ext payload;
};
static_assert(sizeof(OxlensPacket) == OXLENS_PACKET_SIZE, "4160-byte packet");
static_assert(sizeof(OxlensPacketV2) == OXLENS_PACKET_V2_SIZE, "1092-byte packet");

// Read statistics of the version-1 requests, kept for the life of the library.
extern uint16_t gReadAttempts;
extern uint16_t gReadFailures;
extern uint16_t gReadFailurePercent;
// Starts the read statistics afresh: a channel to another endpoint is measured on its own.
void resetReadStatistics();

// Five pings; on success writes the average exchange time in ms and returns 0,
// otherwise -127..-131.
int SendBeginAndEndPing(HANDLE channel, OxlensPacket* request, OxlensPacket* answer, int32_t* averageMs,
                        uint32_t readTimeoutMs = OXLENS_READ_TIMEOUT_MS);
// 1 when a complete answer with a valid signature arrived, else 0. info may be null.
int SendDataReq_v1(HANDLE channel, OxlensPacket* request, OxlensPacket* answer, ClientInfo* info,
                   uint32_t readTimeoutMs = OXLENS_READ_TIMEOUT_MS);
int SendDataReq_v2(HANDLE channel, OxlensPacketV2* request, OxlensPacketV2* answer, ClientInfoV2* info,
                   uint32_t readTimeoutMs = OXLENS_READ_TIMEOUT_MS);

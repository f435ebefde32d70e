#pragma once
// Packets of the OXLENS virtual channel, in both directions.
#include <cstddef>
#include <cstdint>

#include "plx_srv_citrix.h"

#pragma pack(push, 1)
struct OXLENS_PACKET_HEADER {
    uint16_t uSign;    // always OXLENS_SIGNATURE
    uint16_t uType;    // packet type
    uint16_t uLength;  // whole packet, header included
    uint16_t uSeqNum;  // echoed by the counterpart
    uint8_t reserved[8];
};
#pragma pack(pop)
static_assert(sizeof(OXLENS_PACKET_HEADER) == 16, "OXLENS header is 16 bytes");
static_assert(offsetof(OXLENS_PACKET_HEADER, uSeqNum) == 6, "OXLENS header layout");

constexpr uint16_t OXLENS_SIGNATURE = 0x4950;  // bytes 0x50 0x49 on the wire
constexpr uint16_t OXLENS_PING_REQ_TYPE = 1;
constexpr uint16_t OXLENS_GET_DATA_REQ_TYPE = 3;
constexpr uint16_t OXLENS_GET_DATA_REQ_TYPE_V2 = 4;
constexpr uint16_t OXLENS_HEADER_SIZE = sizeof(OXLENS_PACKET_HEADER);
constexpr uint16_t OXLENS_PACKET_SIZE = OXLENS_HEADER_SIZE + sizeof(ClientInfo);          // 4160
constexpr uint16_t OXLENS_PACKET_V2_SIZE = OXLENS_HEADER_SIZE + sizeof(ClientInfoV2Ext);  // 1092
static_assert(OXLENS_PACKET_SIZE == 4160 && OXLENS_PACKET_V2_SIZE == 1092, "OXLENS packet sizes");

// Time-out of a channel read that waits for an answer.
constexpr uint32_t OXLENS_READ_TIMEOUT_MS = 5000;

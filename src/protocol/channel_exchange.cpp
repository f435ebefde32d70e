#include "protocol/channel_exchange.h"

#include <plog/Log.h>

#include <algorithm>
#include <cstring>

#include "citrix/wfapi_loader.h"
#include "protocol/client_info.h"
#include "utils/string_utils.h"

uint16_t gReadAttempts = 0;
uint16_t gReadFailures = 0;
uint16_t gReadFailurePercent = 0;

void resetReadStatistics() {
    gReadAttempts = 0;
    gReadFailures = 0;
    gReadFailurePercent = 0;
}

namespace {

constexpr int PING_EXCHANGES = 5;
constexpr DWORD PING_PAUSE_MS = 10;
constexpr int REQUEST_ATTEMPTS = 5;
constexpr DWORD RETRY_PAUSE_MS = 10;
constexpr ULONG DRAIN_TIMEOUT_MS = 0;
constexpr size_t MESSAGE_SIZE = 1024;

// The receive size of a read is the answer buffer's own uLength, as the caller or the last
// answer left it. The counterpart is not trusted: an announced length beyond the buffer is
// cut to the buffer (the answer then reads as incomplete, since fewer bytes arrive than it
// announces), and one below the header size is raised to the header size, so every read
// has room for a whole header and none ever asks for more than the buffer holds.
template <typename Packet>
ULONG receiveSize(const Packet* answer) {
    return std::clamp<ULONG>(answer->header.uLength, OXLENS_HEADER_SIZE, sizeof(Packet));
}

template <typename Packet>
BOOL writePacket(HANDLE channel, Packet* request, ULONG* bytes) {
    return _glWFAPITable.WFVirtualChannelWrite(channel, reinterpret_cast<PCHAR>(request), request->header.uLength,
                                               bytes);
}

template <typename Packet>
BOOL readPacket(HANDLE channel, ULONG timeoutMs, Packet* answer, ULONG* bytes) {
    return _glWFAPITable.WFVirtualChannelRead(channel, timeoutMs, reinterpret_cast<PCHAR>(answer),
                                              receiveSize(answer), bytes);
}

// Writes a data request. A failed or short write formats its log line into message and
// returns false; the caller logs it, so the record carries the caller's name.
template <typename Packet>
bool writeRequest(HANDLE channel, Packet* request, ULONG* bytes, char* message, size_t size) {
    if (writePacket(channel, request, bytes) != TRUE) {
        OxeUtils::formatString(message, size, "VirtualChannelWrite Failed - %d\n", static_cast<int>(GetLastError()));
        return false;
    }
    if (*bytes != request->header.uLength) {
        OxeUtils::formatString(message, size, "VirtualChannelWrite Too Short - wrote %ld bytes\n",
                               static_cast<long>(*bytes));
        return false;
    }
    return true;
}

}  // namespace

int SendBeginAndEndPing(HANDLE channel, OxlensPacket* request, OxlensPacket* answer, int32_t* averageMs,
                        uint32_t readTimeoutMs) {
    char message[MESSAGE_SIZE];
    request->header.uSign = OXLENS_SIGNATURE;
    request->header.uType = OXLENS_PING_REQ_TYPE;
    request->header.uLength = OXLENS_PACKET_SIZE;
    ++request->header.uSeqNum;
    answer->header.uLength = OXLENS_PACKET_SIZE;

    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);

    for (int exchange = 0; exchange < PING_EXCHANGES; ++exchange) {
        ULONG written = 0;
        if (!writePacket(channel, request, &written)) {
            const DWORD code = GetLastError();  // before the log record is built
            PLOGE << "PING request writing error: " << code;
            return -127;
        }
        if (written != request->header.uLength) {
            const DWORD code = GetLastError();
            PLOGE << "PING request writing error: Should write " << request->header.uLength
                  << " bytes, written : " << written << " bytes; System error: " << code;
            return -128;
        }
        ULONG received = 0;
        if (!readPacket(channel, readTimeoutMs, answer, &received)) {
            const DWORD code = GetLastError();
            PLOGE << "PONG response eeading error:" << code;
            return -129;
        }
        // Answers left over from earlier requests are drained without waiting; a read that
        // delivers nothing ends the draining.
        while (answer->header.uSeqNum != request->header.uSeqNum) {
            if (!readPacket(channel, DRAIN_TIMEOUT_MS, answer, &received)) {
                const DWORD code = GetLastError();
                PLOGE << "PONG response eeading error:" << code;
                return -130;
            }
            if (received == 0) {
                break;
            }
        }
        if (answer->header.uSign != OXLENS_SIGNATURE) {
            OxeUtils::formatString(message, sizeof message,
                                   "Error Reading PONG response. Expected uSign = 0x4950, received 0x%x.",
                                   answer->header.uSign);
            PLOGE << message;
            return -131;
        }
        Sleep(PING_PAUSE_MS);
    }

    LARGE_INTEGER end;
    QueryPerformanceCounter(&end);
    const int64_t elapsedMs = (end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart;
    *averageMs = static_cast<int32_t>((elapsedMs - PING_EXCHANGES * static_cast<int64_t>(PING_PAUSE_MS)) /
                                      PING_EXCHANGES);
    return 0;
}

int SendDataReq_v1(HANDLE channel, OxlensPacket* request, OxlensPacket* answer, ClientInfo* info,
                   uint32_t readTimeoutMs) {
    char message[MESSAGE_SIZE];
    request->header.uSign = OXLENS_SIGNATURE;
    ++request->header.uSeqNum;

    ULONG bytes = 0;  // of the most recent write or read
    for (int attempt = 0; attempt < REQUEST_ATTEMPTS; ++attempt) {
        if (!writeRequest(channel, request, &bytes, message, sizeof message)) {
            PLOGE << message;
            continue;
        }
        ++gReadAttempts;
        if (readPacket(channel, readTimeoutMs, answer, &bytes) != TRUE) {
            const DWORD code = GetLastError();
            PLOGE << "reading failed...";
            OxeUtils::formatString(message, sizeof message, "VirtualChannelRead Failed %d\n", static_cast<int>(code));
            PLOGE << message;
            ++gReadFailures;
            continue;
        }
        while (answer->header.uSeqNum != request->header.uSeqNum) {
            ++gReadAttempts;
            if (readPacket(channel, DRAIN_TIMEOUT_MS, answer, &bytes) != TRUE) {
                const DWORD code = GetLastError();
                PLOGE << "reading failed...";
                OxeUtils::formatString(message, sizeof message, "VirtualChannelRead Failed %d\n",
                                       static_cast<int>(code));
                PLOGE << message;
                ++gReadFailures;
                break;
            }
            if (bytes == 0) {
                break;
            }
        }
        if (bytes <= answer->header.uLength) {
            break;
        }
        // More bytes than the answer announces: ask again.
        Sleep(RETRY_PAUSE_MS);
    }

    if (gReadAttempts > 9) {
        gReadFailurePercent = static_cast<uint16_t>(gReadFailures * 100 / gReadAttempts);
        gReadAttempts = 0;
        gReadFailures = 0;
    }

    if (bytes == answer->header.uLength && answer->header.uType == OXLENS_GET_DATA_REQ_TYPE && info != nullptr) {
        std::memcpy(info, &answer->payload, sizeof(ClientInfo));
        info->readFailurePercent = gReadFailurePercent;
    }
    if (bytes != answer->header.uLength) {
        PLOGE << "ERROR reading length...";
        OxeUtils::formatString(message, sizeof message, "VirtualChannelRead Too Short - read %ld bytes\n",
                               static_cast<long>(bytes));
        PLOGE << message;
        return 0;
    }
    if (answer->header.uSign != OXLENS_SIGNATURE) {
        OxeUtils::formatString(
            message, sizeof message,
            "Error Reading OXLENS_GET_DATA_REQ_TYPE response. Expected uSign = 0x4950, received 0x%x\n :",
            answer->header.uSign);
        PLOGE << message;
        return 0;
    }
    return 1;
}

int SendDataReq_v2(HANDLE channel, OxlensPacketV2* request, OxlensPacketV2* answer, ClientInfoV2* info,
                   uint32_t readTimeoutMs) {
    char message[MESSAGE_SIZE];
    request->header.uSign = OXLENS_SIGNATURE;

    ULONG bytes = 0;  // of the most recent write or read
    for (int attempt = 0; attempt < REQUEST_ATTEMPTS; ++attempt) {
        if (!writeRequest(channel, request, &bytes, message, sizeof message)) {
            PLOGE << message;
            continue;
        }
        if (readPacket(channel, readTimeoutMs, answer, &bytes) != TRUE) {
            const DWORD code = GetLastError();
            PLOGE << "ERROR reading failed...";
            OxeUtils::formatString(message, sizeof message, "VirtualChannelRead Failed %d\n", static_cast<int>(code));
            PLOGE << message;
            continue;
        }
        if (bytes <= answer->header.uLength) {
            break;
        }
        // More bytes than the answer announces: ask again.
        Sleep(RETRY_PAUSE_MS);
    }

    if (bytes == answer->header.uLength && answer->header.uType == OXLENS_GET_DATA_REQ_TYPE_V2 && info != nullptr) {
        // Only the polling thread writes _glClientInfo while requests run, so no lock is needed.
        std::memcpy(&info->base, &_glClientInfo, sizeof(ClientInfo));
        std::memcpy(&info->ext, &answer->payload, sizeof(ClientInfoV2Ext));
    } else {
        PLOGW << "didn't get data v2 (maybe old client)...";
    }
    if (bytes != answer->header.uLength) {
        PLOGE << "ERROR reading length...";
        return 0;
    }
    if (answer->header.uSign != OXLENS_SIGNATURE) {
        OxeUtils::formatString(message, sizeof message,
                               "Error Reading OXLENS_GET_DATA_REQ_TYPE_V2 response.  Expected uSign = 0x4950, "
                               "received 0x%x",
                               answer->header.uSign);
        PLOGE << message;
        return 0;
    }
    return 1;
}

#include "sim_counterpart.h"

#include <algorithm>
#include <cstring>

#include "protocol/oxlens_packet.h"
#include "sim_record_fields.h"

namespace wfsim {

namespace {

// A type no request uses, for answers that come back with the wrong type.
constexpr uint16_t kForeignAnswerType = 2;

OXLENS_PACKET_HEADER readHeader(const Bytes& packet) {
    OXLENS_PACKET_HEADER header;
    std::memset(&header, 0, sizeof header);
    std::memcpy(&header, packet.data(), std::min(packet.size(), sizeof header));
    return header;
}

void writeHeader(Bytes& packet, const OXLENS_PACKET_HEADER& header) {
    std::memcpy(packet.data(), &header, std::min(packet.size(), sizeof header));
}

Bytes makeAnswer(uint16_t type, uint16_t length, uint16_t seqNum, const void* payload, size_t payloadSize) {
    Bytes answer(length, 0);
    OXLENS_PACKET_HEADER header;
    std::memset(&header, 0, sizeof header);
    header.uSign = OXLENS_SIGNATURE;
    header.uType = type;
    header.uLength = length;
    header.uSeqNum = seqNum;
    writeHeader(answer, header);
    if (payload != nullptr) {
        std::memcpy(answer.data() + OXLENS_HEADER_SIZE, payload,
                    std::min(payloadSize, static_cast<size_t>(length - OXLENS_HEADER_SIZE)));
    }
    return answer;
}

Clock::duration answerDelay(SimState& s) {
    long long delay = s.config.roundTripMs;
    if (s.config.jitterMs > 0) {
        long long jitter = s.config.jitterMs;
        std::uniform_int_distribution<long long> spread(-jitter, jitter);
        delay += spread(s.random);
    }
    return std::chrono::milliseconds(std::max(0LL, delay));
}

void fillTexts(Bytes& answer, const RecordField* fields, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (fields[i].kind == FieldKind::Text &&
            OXLENS_HEADER_SIZE + fields[i].offset + fields[i].size <= answer.size()) {
            std::memset(answer.data() + OXLENS_HEADER_SIZE + fields[i].offset, 'X', fields[i].size);
        }
    }
}

}  // namespace

void receiveRequest(SimState& s, ChannelState& channel, const uint8_t* request, ULONG length) {
    if (length < OXLENS_HEADER_SIZE) {
        return;
    }
    OXLENS_PACKET_HEADER header;
    std::memcpy(&header, request, sizeof header);
    if (header.uSign != OXLENS_SIGNATURE) {
        return;
    }
    Bytes answer;
    LONG* produced = nullptr;
    switch (header.uType) {
        case OXLENS_PING_REQ_TYPE:
            answer = makeAnswer(OXLENS_PING_REQ_TYPE, OXLENS_PACKET_SIZE, header.uSeqNum, nullptr, 0);
            produced = &s.counters.pingAnswers;
            break;
        case OXLENS_GET_DATA_REQ_TYPE:
            answer = makeAnswer(OXLENS_GET_DATA_REQ_TYPE, OXLENS_PACKET_SIZE, header.uSeqNum, &s.config.clientInfo,
                                sizeof(ClientInfo));
            produced = &s.counters.dataAnswers;
            break;
        case OXLENS_GET_DATA_REQ_TYPE_V2:
            if (!s.config.v2Supported) {
                return;  // an old client does not know the request
            }
            answer = makeAnswer(OXLENS_GET_DATA_REQ_TYPE_V2, OXLENS_PACKET_V2_SIZE, header.uSeqNum,
                                &s.config.clientInfoV2, sizeof(ClientInfoV2Ext));
            produced = &s.counters.dataV2Answers;
            break;
        default:
            return;
    }
    if (takeFault(s, WFSIM_FAULT_NO_ANSWER)) {
        return;
    }
    ++*produced;

    // The channel keeps its order: an answer never overtakes an earlier one.
    Clock::time_point readyAt = Clock::now() + answerDelay(s);
    if (!channel.answers.empty()) {
        readyAt = std::max(readyAt, channel.answers.back().readyAt);
    }
    // A drain-read fault needs something to drain: stale answers come first while it is armed.
    if (takeFault(s, WFSIM_FAULT_STALE_ANSWERS) || s.faults[WFSIM_FAULT_DRAIN_READ_FAILS] != 0) {
        for (int age = 2; age >= 1; --age) {
            Bytes stale = answer;
            OXLENS_PACKET_HEADER staleHeader = readHeader(stale);
            staleHeader.uSeqNum = static_cast<uint16_t>(header.uSeqNum - age);
            writeHeader(stale, staleHeader);
            channel.answers.push_back(PendingAnswer{readyAt, std::move(stale)});
        }
    }
    channel.answers.push_back(PendingAnswer{readyAt, std::move(answer)});
    s.changed.notify_all();
}

Bytes deliverAnswer(SimState& s, Bytes answer, ULONG bufferSize) {
    OXLENS_PACKET_HEADER header = readHeader(answer);
    const uint16_t type = header.uType;
    const bool dataAnswer = type == OXLENS_GET_DATA_REQ_TYPE || type == OXLENS_GET_DATA_REQ_TYPE_V2;

    if (type == OXLENS_GET_DATA_REQ_TYPE && takeFault(s, WFSIM_FAULT_EMPTY_NAMES)) {
        answer[OXLENS_HEADER_SIZE + offsetof(ClientInfo, userName)] = 0;
        answer[OXLENS_HEADER_SIZE + offsetof(ClientInfo, computerName)] = 0;
    }
    if (dataAnswer && takeFault(s, WFSIM_FAULT_TEXT_WITHOUT_NUL)) {
        if (type == OXLENS_GET_DATA_REQ_TYPE) {
            fillTexts(answer, kClientInfoFields, kClientInfoFieldCount);
        } else {
            fillTexts(answer, kClientInfoV2Fields, kClientInfoV2FieldCount);
        }
    }
    if (dataAnswer && takeFault(s, WFSIM_FAULT_WRONG_ANSWER_TYPE)) {
        header.uType = kForeignAnswerType;
    }
    if (takeFault(s, WFSIM_FAULT_SWAPPED_SIGNATURE)) {
        header.uSign = 0x5049;
    }

    size_t delivered = std::min<size_t>(answer.size(), bufferSize);
    if (delivered > 0 && takeFault(s, WFSIM_FAULT_ANSWER_SHORTER)) {
        // Fewer bytes than the header announces.
        delivered = delivered > OXLENS_HEADER_SIZE ? OXLENS_HEADER_SIZE + (delivered - OXLENS_HEADER_SIZE) / 2
                                                   : delivered - 1;
    } else if (delivered >= OXLENS_HEADER_SIZE + 8 && takeFault(s, WFSIM_FAULT_ANSWER_LONGER)) {
        // More bytes than the header announces, whatever the reader's buffer size.
        header.uLength = static_cast<uint16_t>(delivered - 8);
    } else if (takeFault(s, WFSIM_FAULT_LENGTH_BEYOND_BUFFER)) {
        header.uLength = 0xFFFF;
    }
    writeHeader(answer, header);
    answer.resize(delivered);
    return answer;
}

}  // namespace wfsim

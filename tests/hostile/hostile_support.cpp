#include "hostile/hostile_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "protocol/oxlens_packet.h"

namespace hostile {

namespace {

std::mutex g_contextMutex;
char g_context[512] = "";

LONG CALLBACK reportFatal(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_STACK_OVERFLOW ||
        code == EXCEPTION_ILLEGAL_INSTRUCTION || code == EXCEPTION_INT_DIVIDE_BY_ZERO) {
        std::fprintf(stderr, "\n*** exception 0x%08lx at %p while: %s\n", static_cast<unsigned long>(code),
                     info->ExceptionRecord->ExceptionAddress, g_context);
        std::fflush(stderr);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

template <typename T>
T pick(std::mt19937& rng, std::initializer_list<T> values) {
    std::uniform_int_distribution<size_t> index(0, values.size() - 1);
    return values.begin()[index(rng)];
}

int percent(std::mt19937& rng) { return std::uniform_int_distribution<int>(0, 99)(rng); }

size_t between(std::mt19937& rng, size_t low, size_t high) {
    return std::uniform_int_distribution<size_t>(low, high)(rng);
}

}  // namespace

void setCrashContext(const std::string& context) {
    static PVOID handler = AddVectoredExceptionHandler(1, reportFatal);
    (void)handler;
    std::lock_guard<std::mutex> lock(g_contextMutex);
    std::snprintf(g_context, sizeof g_context, "%s", context.c_str());
}

std::vector<uint32_t> seeds(std::vector<uint32_t> fixed) {
    if (const char* chosen = std::getenv("PLX_HOSTILE_SEED")) return {static_cast<uint32_t>(std::strtoul(chosen, nullptr, 0))};
    return fixed;
}

std::vector<uint8_t> malformedAnswer(std::mt19937& rng, const Expectation& expected) {
    const size_t buffer = expected.bufferSize;
    size_t length = 0;
    switch (between(rng, 0, 9)) {
        case 0: length = 0; break;
        case 1: length = between(rng, 1, OXLENS_HEADER_SIZE - 1); break;
        case 2: length = OXLENS_HEADER_SIZE; break;
        case 3: case 4: length = between(rng, OXLENS_HEADER_SIZE + 1, buffer - 1); break;
        case 5: length = buffer + between(rng, 1, 5000); break;  // the read cuts it to the buffer
        default: length = buffer; break;
    }

    std::vector<uint8_t> packet(std::max<size_t>(length, OXLENS_HEADER_SIZE));
    const int payloadKind = percent(rng);
    for (size_t i = OXLENS_HEADER_SIZE; i < packet.size(); ++i) {
        if (payloadKind < 40) {
            packet[i] = static_cast<uint8_t>(rng());
        } else if (payloadKind < 70) {
            packet[i] = static_cast<uint8_t>(between(rng, 1, 255));  // no terminator anywhere
        } else if (payloadKind < 85) {
            packet[i] = 'A' + static_cast<uint8_t>(i % 26);
        }  // else: zeros, so every text is empty
    }

    OXLENS_PACKET_HEADER header;
    std::memset(&header, 0, sizeof header);
    const int sign = percent(rng);
    header.uSign = sign < 70 ? OXLENS_SIGNATURE : sign < 80 ? 0x5049 : static_cast<uint16_t>(rng());
    const int type = percent(rng);
    header.uType = type < 55   ? expected.type
                   : type < 80 ? pick<uint16_t>(rng, {OXLENS_PING_REQ_TYPE, OXLENS_GET_DATA_REQ_TYPE,
                                                      OXLENS_GET_DATA_REQ_TYPE_V2})
                               : static_cast<uint16_t>(rng());
    const int announced = percent(rng);
    header.uLength = announced < 35   ? static_cast<uint16_t>(std::min<size_t>(length, 0xFFFF))
                     : announced < 45 ? 0
                     : announced < 55 ? static_cast<uint16_t>(between(rng, 1, OXLENS_HEADER_SIZE - 1))
                     : announced < 65 ? static_cast<uint16_t>(between(rng, 0, std::min<size_t>(length, 0xFFFF)))
                     : announced < 75 ? static_cast<uint16_t>(std::min<size_t>(length + between(rng, 1, 3000), 0xFFFF))
                     : announced < 85 ? 0xFFFF
                                      : static_cast<uint16_t>(buffer);
    const int seq = percent(rng);
    header.uSeqNum = seq < 60   ? expected.seqNum
                     : seq < 80 ? static_cast<uint16_t>(expected.seqNum - between(rng, 1, 3))
                                : static_cast<uint16_t>(rng());
    for (auto& b : header.reserved) b = static_cast<uint8_t>(rng());
    std::memcpy(packet.data(), &header, sizeof header);
    packet.resize(length);
    return packet;
}

std::wstring hostileChannelName(std::mt19937& rng) {
    static const wchar_t* const lookAlikes[] = {L"OXLENS", L"oxlens", L"OxLens", L"oXlEnS", L"OXLEN\u0160",
                                                L"\u00d6XLENS", L"OXLENS1", L"OXLENS12", L"OXLEN",
                                                L"XOXLENS", L"OX\U0001F600LENS", L"OXLENS\U0001F600"};
    const int kind = percent(rng);
    if (kind < 25) return pick<const wchar_t*>(rng, {lookAlikes[0], lookAlikes[1], lookAlikes[2], lookAlikes[3],
                                                     lookAlikes[4], lookAlikes[5], lookAlikes[6], lookAlikes[7],
                                                     lookAlikes[8], lookAlikes[9], lookAlikes[10], lookAlikes[11]});
    if (kind < 30) {
        // An unpaired surrogate somewhere, also as the very last unit.
        std::wstring name = L"CTX";
        name.insert(between(rng, 0, name.size()), 1, static_cast<wchar_t>(between(rng, 0xD800, 0xDFFF)));
        return name;
    }
    std::wstring name;
    const size_t length = between(rng, 0, 12);
    for (size_t i = 0; i < length; ++i) {
        const int c = percent(rng);
        name.push_back(c < 70 ? static_cast<wchar_t>(pick<int>(rng, {'A', 'O', 'X', 'L', 'E', 'N', 'S', 'c', 't', 'x'}))
                       : c < 90 ? static_cast<wchar_t>(between(rng, 0x21, 0x7E))
                                : static_cast<wchar_t>(between(rng, 0xA0, 0x7FF)));
    }
    return name;
}

}  // namespace hostile

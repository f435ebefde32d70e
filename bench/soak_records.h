#pragma once
// Self-consistent counterpart payloads for the soak, and the check of a delivered record.
// Every text and value of a payload derives from one generation number, so a record that
// mixes two payloads (or a payload and the defaults) is told apart from every record the
// counterpart sent.
#include <cstdint>
#include <string>

#include "plx_srv_citrix.h"

namespace soak {

// Generation numbers start at 1; the generation is carried in clientValue1 / extValue1.
void makeClientInfo(uint32_t generation, ClientInfo* info);
void makeClientInfoV2Ext(uint32_t generation, ClientInfoV2Ext* ext);

enum class RecordKind {
    Defaults,    // as reset by the library (every integer -1, every text empty)
    Generation,  // one payload of the counterpart, possibly as a fault shaped it
    Torn,        // anything else
};

// What the library may put into a delivered record besides the payload: its defaults, or the
// latency it measured and the read-failure percentage it computed.
struct Verdict {
    RecordKind kind = RecordKind::Torn;
    uint32_t generation = 0;
    std::string why;  // for Torn: the first field that does not fit
};

// A version-1 record (also the base of a version-2 record).
Verdict checkClientInfo(const ClientInfo& info);
// The extension of a version-2 record.
Verdict checkClientInfoV2Ext(const ClientInfoV2Ext& ext);

// For a counterpart whose payload never changes: the record equals the reference in every
// byte the counterpart sent, or is the defaults.
Verdict checkAgainstReference(const ClientInfo& info, const ClientInfo& reference);

}  // namespace soak

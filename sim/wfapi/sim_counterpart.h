#pragma once
// The client-side end of the OXLENS channel: turns written requests into timed answers and
// shapes each answer as a read delivers it (faults, cutting to the reader's buffer).
#include "sim_state.h"

namespace wfsim {

// A request written to the channel. Requests with a bad header or an unknown type get no
// answer, nor does a type-4 request to an old client.
void receiveRequest(SimState& s, ChannelState& channel, const uint8_t* request, ULONG length);

// What one read of bufferSize bytes delivers of a counterpart answer.
Bytes deliverAnswer(SimState& s, Bytes answer, ULONG bufferSize);

}  // namespace wfsim

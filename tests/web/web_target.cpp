// The emulated target (tests/emul/target.cpp) as a WebAssembly module for the
// page's browser tests: the tests' stand-in for Web MIDI hands it every
// message sent on the keyboard's output and delivers its replies.
#include <emscripten.h>

#include <cstring>
#include <string>
#include <vector>

#include "emul.h"
#include "target.h"

namespace {

emul::Target* gTarget = nullptr;
unsigned gVanishAfter = 0;
std::string gError;
// The replies to the latest message: per reply its delay (4 bytes, little
// endian), its length (2 bytes) and its bytes.
std::vector<uint8_t> gReplies;

} // namespace

extern "C" {

// Starts a target from scenario lines (the target's own lines and
// vanish_after). Returns 0, or -1 with the reason in TargetError().
EMSCRIPTEN_KEEPALIVE int TargetStart(const char* script) {
    emul::Scenario scenario;
    if (!emul::ParseScenario(script, &scenario, &gError)) return -1;
    delete gTarget;
    gTarget = new emul::Target(scenario.script);
    gVanishAfter = scenario.vanishAfter;
    return 0;
}

EMSCRIPTEN_KEEPALIVE const char* TargetError() { return gError.c_str(); }
EMSCRIPTEN_KEEPALIVE unsigned TargetVanishAfter() { return gVanishAfter; }

// One message sent to the target; returns the size of the replies' record.
EMSCRIPTEN_KEEPALIVE unsigned TargetReceive(const uint8_t* message, unsigned size) {
    gReplies.clear();
    for (const emul::Reply& reply : gTarget->Receive(message, size)) {
        for (int k = 0; k < 4; ++k) gReplies.push_back(static_cast<uint8_t>(reply.delayMs >> (8 * k)));
        gReplies.push_back(static_cast<uint8_t>(reply.bytes.size()));
        gReplies.push_back(static_cast<uint8_t>(reply.bytes.size() >> 8));
        gReplies.insert(gReplies.end(), reply.bytes.begin(), reply.bytes.end());
    }
    return static_cast<unsigned>(gReplies.size());
}

EMSCRIPTEN_KEEPALIVE const uint8_t* TargetReplies() { return gReplies.data(); }

// The bytes of the accepted records, in order (TargetCount(6) of them).
EMSCRIPTEN_KEEPALIVE const uint8_t* TargetImage() { return gTarget->Log().image.data(); }

// What the target has seen: 0 messages, 2 records received, 3 records
// accepted, 6 bytes of the accepted records.
EMSCRIPTEN_KEEPALIVE unsigned TargetCount(int which) {
    const emul::TargetLog& log = gTarget->Log();
    switch (which) {
    case 0: return log.messages;
    case 2: return log.recordsReceived;
    case 3: return log.recordsAccepted;
    default: return static_cast<unsigned>(log.image.size());
    }
}

} // extern "C"

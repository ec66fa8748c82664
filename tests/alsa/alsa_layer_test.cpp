// The real ALSA layer on a machine without a sequencer (no /dev/snd): no
// devices, opens fail, closes have nothing to do, and the ALSA library says
// nothing on the console. The sequencer's open is counted through a wrapper
// around the library's own, to show it is tried once and with the library's
// error printing already silenced.
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <errno.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "midi/midi.h"
#include "support/reply_view.h"

namespace {

int gOpenCalls = 0;
bool gSilencedBeforeOpen = false;
// The library's handler as it stands before the layer touches it.
const snd_lib_error_handler_t kDefaultErrorHandler = snd_lib_error;

} // namespace

// Takes the place of the library's snd_seq_open for the layer's objects in
// this executable, and passes the call on.
extern "C" int snd_seq_open(snd_seq_t** handle, const char* name, int streams, int mode) {
    ++gOpenCalls;
    gSilencedBeforeOpen = snd_lib_error != kDefaultErrorHandler;
    using OpenFunction = int (*)(snd_seq_t**, const char*, int, int);
    auto real = reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, "snd_seq_open"));
    if (real == nullptr) return -ENOSYS;
    return real(handle, name, streams, mode);
}

namespace {

class NoSequencer : public testing::Test {
protected:
    void SetUp() override {
        if (access("/dev/snd/seq", F_OK) == 0) GTEST_SKIP() << "this machine has a sequencer";
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }
    // Everything the layer printed during the test.
    std::string Printed() {
        std::string printed = testing::internal::GetCapturedStdout();
        printed += testing::internal::GetCapturedStderr();
        return printed;
    }
};

TEST_F(NoSequencer, ThereAreNoDevicesAndNothingIsPrinted) {
    struct Query {
        const char* side;
        uint16_t (*query)(unsigned, char*);
    };
    const std::vector<Query> queries = {{"input", QueryMidiInDevice},
                                        {"output", QueryMidiOutDevice}};
    std::vector<std::string> faults;
    // Discovery's count: numbers 0 to 9, stopping at the first failure; here
    // every number is asked, twice over.
    for (int round = 0; round < 2; ++round) {
        for (const Query& q : queries) {
            for (unsigned id = 0; id <= 10; ++id) {
                char name[kDeviceNameSize];
                memset(name, '#', sizeof name);
                if (q.query(id, name) == 0)
                    faults.push_back(std::string(q.side) + " " + std::to_string(id) + " found");
                if (name[0] != '#' || name[kDeviceNameSize - 1] != '#')
                    faults.push_back(std::string(q.side) + " " + std::to_string(id) +
                                     " name written");
            }
        }
    }
    const std::string printed = Printed();
    EXPECT_EQ(faults, std::vector<std::string>{});
    EXPECT_EQ(printed, "");
    EXPECT_EQ(gOpenCalls, 1) << "the sequencer is opened once, on first use, and not retried";
    EXPECT_TRUE(gSilencedBeforeOpen) << "ALSA's error printing must be silenced before the open";
}

TEST_F(NoSequencer, OpensFailAndLeaveBothSidesClosed) {
    std::vector<std::string> faults;
    for (unsigned id : {0u, 1u, 9u, 10u}) {
        if (OpenMidiIn(id) == 0) faults.push_back("input " + std::to_string(id) + " opened");
        if (OpenMidiOut(id) == 0) faults.push_back("output " + std::to_string(id) + " opened");
        // A failed open leaves the side closed: nothing for the closes to do.
        if (CloseMidiIn() != 0) faults.push_back("input " + std::to_string(id) + " was open");
        if (CloseMidiInDevice(id) != 0)
            faults.push_back("input " + std::to_string(id) + " was open by number");
        if (CloseMidiOut() != 0) faults.push_back("output " + std::to_string(id) + " was open");
    }
    const std::string inName = MidiInName();
    const std::string outName = MidiOutName();

    const uint8_t handshake[7] = {0x54, 0x71, 0x38, 0x72, 0x57, 0x7A, 0x35};
    const uint16_t sentClosed = SendSysEx(handshake, 7);
    uint8_t tooLong[23] = {};
    const uint16_t sentTooLong = SendSysEx(tooLong, 23);
    const std::string printed = Printed();

    EXPECT_EQ(faults, std::vector<std::string>{});
    EXPECT_EQ(inName, "");
    EXPECT_EQ(outName, "");
    EXPECT_NE(sentClosed, 0) << "a send without an open output must fail";
    EXPECT_EQ(sentTooLong, 0) << "more than 22 data bytes: nothing sent, no error";
    EXPECT_EQ(ReplyCount(), 0);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(gOpenCalls, 1) << "the sequencer is opened once, on first use, and not retried";
    EXPECT_TRUE(gSilencedBeforeOpen);
}

// What the user is told of a failed open. The layer's own refusals (that
// input open already, ten inputs open) are not another program's doing.
TEST(AlsaResults, EachFailureHasItsWordsAndItsKindOfTrouble) {
    struct Row {
        int error;
        const char* text; // null: the caller shows the code
        MidiTrouble trouble;
    };
    const Row rows[] = {
        {EBUSY, "in use by another program", kMidiTroubleInUse},
        {ENOENT, "no ALSA sequencer", kMidiTroubleNoSystem},
        {EACCES, "no permission to use the ALSA sequencer", kMidiTroubleNoPermission},
        {EPERM, "no permission to use the ALSA sequencer", kMidiTroubleNoPermission},
        {EALREADY, "open already", kMidiTroubleOther},
        {EMFILE, "too many devices open", kMidiTroubleOther},
        {ENODEV, nullptr, kMidiTroubleOther},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error);
        const uint16_t code = static_cast<uint16_t>(row.error);
        const char* text = MidiResultText(code);
        EXPECT_EQ(text != nullptr ? std::string(text) : "(none)",
                  row.text != nullptr ? row.text : "(none)");
        EXPECT_EQ(MidiResultTrouble(code), row.trouble);
    }
}

} // namespace

// The fault matrix: whole update runs against a misbehaving MIDI system or
// target. Each row is one scenario for the emulated MIDI system, run by the
// real updater with the Windows MIDI layer: in one process (update_emulated)
// and, as update.exe with the stand-in winmm.dll, under wine.
//
// Every row checks the same things (support/whole_run.h): the whole standard output, a normal exit
// with status 0, a run no longer than its poll limits allow (a hang guard, not
// a benchmark), both MIDI sides closed at the end, no MIDI call made from
// inside a callback, no input buffer queued on two devices, and the target
// holding exactly the records it acknowledged, each byte for byte a record of
// the file. Rows marked "mended" end in the sound behaviour of a fault that the
// plain design would show; the comment says what that would have been.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <atomic>
#include <iostream>
#include <random>
#include <thread>
#include <string>
#include <tuple>
#include <vector>

#include "support/whole_run.h"

namespace {

using update_test::Found;
using update_test::Platform;
using update_test::Times;
using Record = update_test::Bytes;

// ---- firmware files ----

// Three records of 7, 4 and 12 bytes: one message, one message, and a full
// chunk plus a short one. Percentages before each: 0, 7*100/23 = 30, 11*100/23 = 47.
const std::vector<Record> kThree = {
    {0x00, 0x05, 0x01, 0x02, 0x03, 0xFA, 0xFF},
    {0x00, 0x02, 0x00, 0x00},
    {0x00, 0x0A, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xDC, 0xFF},
};

// One record of 22 bytes: two full chunks. Payload 01..12 sums to 0xAB.
const std::vector<Record> kTwoChunks = {
    {0x00, 0x14, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
     0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x55, 0xFF},
};

// Records of 7, 22 and 12 bytes: the second and third take 15 and 9 ms on a
// paced line, so a message that comes about 1 ms behind the verdict before
// them is sure to come while they are on their way. Percentages before each:
// 0, 7*100/41 = 17, 29*100/41 = 70.
const std::vector<Record> kLongerThree = {kThree[0], kTwoChunks[0], kThree[2]};

// ---- what the console shows ----

const std::string kFileName = "Q25test.led";
const std::string kHead = update_test::kBanner + update_test::Opened(kFileName);
const std::string kNotFound = update_test::kNoDevice;
const std::string kSuccess = update_test::kDone + update_test::kSuccess;
const std::string kNotResponding = update_test::kNotResponding;
const std::string kMissing = update_test::kOutMissing;
const std::string kCrc = update_test::kCrc;
const std::string kFoundQ25 = Found("Q25 MIDI In", "Q25 MIDI Out");
std::string P(char spinner, int percent) { return update_test::Progress(spinner, percent); }
using update_test::InUse;
using update_test::NoneAnswered;
using update_test::Stopped;


// All three records acknowledged at the first attempt.
const std::string kThreeAcked = P('-', 0) + P('-', 30) + P('\\', 47) + kSuccess;
// The second record sent twice (the resend shows the same spinner character).
const std::string kSecondResent = P('-', 0) + P('-', 30) + P('-', 30) + P('\\', 47) + kSuccess;

// ---- device layouts ----

// The target alone: one input, one output.
const std::string kOnePair = "input Q25 MIDI In\n"
                             "output Q25 MIDI Out\n"
                             "target 0 0\n";

// ---- the table ----

constexpr unsigned kHandshakePolls = 500;
constexpr unsigned kRecordPolls = 3000; // the verdict's wait, in 1 ms polls' worth
constexpr unsigned kSettlePolls = 500; // the most a newly opened input is given to go quiet

struct Row {
    std::string name;
    std::vector<Record> firmware;
    std::string scenario;
    std::string output;                   // what the run prints before its wait for a key
    std::vector<int> accepted;            // firmware records the target holds, in order
    unsigned polls;                       // the most 1 ms polls the described run makes
    std::vector<std::string> report = {}; // further lines the report must hold
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

std::vector<Row> Rows() {
    const unsigned h = kHandshakePolls;
    const unsigned r = kRecordPolls;
    // Finding the target's pair: its input settles, a request is answered and
    // one more request confirms the answer.
    const unsigned f = kSettlePolls + 2 * h;
    return {
        // ---- what arrives on the input ----

        // Thousands of acknowledgements for one record: the wait takes the
        // first; the rest come behind it or before the next record has left,
        // and are dropped.
        {"FloodOfRepliesDuringOneWait",
         kThree,
         kOnePair + "record 1 1 flood 5000 1A\n",
         kHead + kFoundQ25 + kThreeAcked,
         {0, 1, 2},
         f + 3 * r},
        // 300-byte verdicts: the first 200 bytes reach the queue, the rest
        // finds no buffer queued.
        {"RepliesLongerThanTheBuffer",
         kThree,
         kOnePair + "record_default long 300 1A\n",
         kHead + kFoundQ25 + kThreeAcked,
         {0, 1, 2},
         f + 3 * r},
        // The same, with the rest of each reply going on in the buffer the
        // callback queues again, as a driver does while the bytes keep coming:
        // the rest (00 ... F7) is not a reply of its own.
        {"RepliesLongerThanTheBufferGoingOnInTheNextBuffer",
         kThree,
         kOnePair + "long_continues on\nrecord_default long 300 1A\n",
         kHead + kFoundQ25 + kThreeAcked,
         {0, 1, 2},
         f + 3 * r},
        // A lone F0, a message begun and never ended: silence.
        {"LoneF0ReplyIsSilence",
         kThree,
         kOnePair + "record 1 1 one_byte\n",
         kHead + kFoundQ25 + kSecondResent,
         {0, 1, 2},
         f + 4 * r},
        // Malformed: no F0 in front, or nothing between F0 and F7. Neither
        // carries a known code, so the record is sent again.
        {"ReplyWithoutStatusByte",
         kThree,
         kOnePair + "record 1 1 raw 1A F7\n",
         kHead + kFoundQ25 + kSecondResent,
         {0, 1, 2},
         f + 4 * r},
        {"EmptySysExReply",
         kThree,
         kOnePair + "record 1 1 raw F0 F7\n",
         kHead + kFoundQ25 + kSecondResent,
         {0, 1, 2},
         f + 4 * r},
        // Unterminated (F0 <code>, no F7) but handed back as data: the message
        // is not complete, so it is no reply (its F7 could still come in the
        // next buffer). Silence, and the record is sent again; the target that
        // had taken it takes it again.
        {"UnterminatedErrorReply",
         kThree,
         kOnePair + "record 1 1 unterminated 20\n",
         kHead + kFoundQ25 + kSecondResent,
         {0, 1, 2},
         f + 4 * r},
        {"UnterminatedAcknowledgement",
         kThree,
         kOnePair + "record 1 1 unterminated 1A\n",
         kHead + kFoundQ25 + kSecondResent,
         {0, 1, 1, 2},
         f + 4 * r},
        // Mended: every message handed back in pieces, F0 alone and then the
        // rest. The plain design takes the lone F0 as a one-byte message and
        // the rest, which has no F0, as nothing: no answer is ever seen and no
        // device is found.
        {"RepliesInPiecesF0AloneThenTheRest",
         kThree,
         kOnePair + "input_split 1 2\n",
         kHead + kFoundQ25 + kThreeAcked,
         {0, 1, 2},
         f + 3 * r},
        {"RepliesOneByteABuffer",
         kThree,
         kOnePair + "input_split 1\n",
         kHead + kFoundQ25 + kThreeAcked,
         {0, 1, 2},
         f + 3 * r},
        // Mended: a MIM_LONGERROR in the middle of the transfer. The plain
        // design does not queue the buffer again, so no later reply reaches
        // the queue: 20 silences and "Failed: Target is not responding.".
        // Here reception goes on and the record is sent again after one silence.
        {"LongErrorInTheMiddleOfTheTransfer",
         kThree,
         kOnePair + "record 1 1 long_error 20\n",
         kHead + kFoundQ25 + kSecondResent,
         {0, 1, 2},
         f + 4 * r},
        // The garbled message was the target's acknowledgement: the record it
        // already took arrives once more and is taken again, unchanged.
        {"LongErrorInsteadOfAnAcknowledgement",
         kThree,
         kOnePair + "record 1 1 long_error 1A\n",
         kHead + kFoundQ25 + kSecondResent,
         {0, 1, 1, 2},
         f + 4 * r},
        // A lone F0 answers the first handshake: it never reaches the reply
        // queue, and the answer to the second attempt, 50 ms late, starts
        // afresh at its own F0 and is taken.
        {"LoneF0AnswerDuringDiscovery",
         kThree,
         kOnePair + "reply_delay 50\nhandshake 1 one_byte\n",
         kHead + kFoundQ25 + kThreeAcked,
         {0, 1, 2},
         h + f + 3 * r,
         {"handshake_output 0 3"}},
        // Mended: replies arriving after the input was closed. The target on
        // input 0 answers none of its four handshakes while another input is
        // open beside its own, so nothing is delivered, and nothing completes
        // on an input once it is closed. In the plain design that close is
        // refused (its buffer is still queued), the buffer completes once
        // more, and the next input takes an answer: "found" on the wrong input.
        {"RepliesAfterTheInputWasClosed",
         kThree,
         "input Q25 MIDI In\ninput Other In\noutput Q25 MIDI Out\ntarget 0 0\n"
         "handshake 1 silent\nhandshake 2 silent\nhandshake 3 silent\nhandshake 4 silent\n",
         kHead + kNotFound + NoneAnswered("2 MIDI inputs and 1 output"),
         {},
         8 * h,
         {"handshake_output 0 4", "delivered 0", "dropped 0", "event in_close 0 0",
          "event in_close 1 0"}},
        // The target's verdict arrives on another input, closed once the
        // target's pair was chosen: it is lost there, silence, and the record
        // is sent again.
        {"ReplyOnAnInputThatIsNotTheTargets",
         kThree,
         "input Other In\ninput Q25 MIDI In\noutput Q25 MIDI Out\ntarget 1 0\n"
         "record 1 1 code 20 on 0\n",
         kHead + kFoundQ25 + kSecondResent,
         {0, 1, 2},
         4 * h + f + 4 * r,
         {"handshake_output 0 2", "dropped 1"}},

        // ---- the device ----

        // The device vanishes after the first chunk of the third record: the
        // short chunk's send fails and the transfer ends at once. (The plain
        // design did not examine it: a silence, and the resend's full chunk
        // failed.)
        {"DeviceVanishesInsideARecord",
         kThree,
         kOnePair + "vanish_after 5\n",
         kHead + kFoundQ25 + P('-', 0) + P('-', 30) + P('\\', 47) + kMissing + Stopped(3, 3),
         {0, 1},
         f + 2 * r},
        // It vanishes between the two full chunks of a record: no wait at all.
        {"DeviceVanishesBetweenTwoFullChunks",
         kTwoChunks,
         kOnePair + "vanish_after 3\n",
         kHead + kFoundQ25 + P('-', 0) + kMissing + Stopped(1, 1),
         {},
         f},
        // Mended: it vanishes right after taking the second record (its
        // verdict is lost); that record has only a short chunk. After the
        // silence the resend fails and the transfer ends. The plain design did
        // not examine short chunks' sends: 20 silences and "not responding".
        {"DeviceVanishesAfterARecord",
         kThree,
         kOnePair + "vanish_after 4\n",
         kHead + kFoundQ25 + P('-', 0) + P('-', 30) + P('-', 30) + kMissing + Stopped(2, 3),
         {0, 1},
         f + 2 * r},
        // Mended: the device is disconnected inside the third record; every
        // call on it stalls (300 ms here, about 5 s on some systems), then
        // fails. The send that the device took last is waited for once, the
        // short chunk's preparation fails, the input's release costs a stop
        // and a close, the output's a close: 5 stalled calls. The plain design
        // tries each close three times (with reset and unprepare for the
        // input): 16.
        {"DeviceDisconnectedInsideARecord",
         kThree,
         kOnePair + "vanish_after 5\nvanish_stall 300\n",
         kHead + kFoundQ25 + P('-', 0) + P('-', 30) + P('\\', 47) + kMissing + Stopped(3, 3),
         {0, 1},
         f + 2 * r + 5 * 300,
         {"stalled_calls 5"}},
        // Mended: the output's driver never finishes a message from the record's
        // first chunk on. The plain design waits for it forever; here the send
        // is cut short after a second (the output reset) and the transfer ends.
        {"OutputWedgedInsideARecord",
         kTwoChunks,
         kOnePair + "output_wedged 0 3\n",
         kHead + kFoundQ25 + P('-', 0) + kMissing + Stopped(1, 1),
         {},
         f + 1000,
         {"event out_reset 0 0", "event out_close 0 0"}},
        // An output that never finishes a message, beside the target's: each
        // of its four handshakes is cut short after a second, then the next
        // output is tried. The plain design hangs on the first.
        {"WedgedOutputBesideTheTarget",
         kThree,
         "input Q25 MIDI In\noutput Wedged Out\noutput Q25 MIDI Out\ntarget 0 1\n"
         "output_wedged 0\n",
         kHead + kFoundQ25 + kThreeAcked,
         {0, 1, 2},
         4 * h + 4 * 1000 + f + 3 * r,
         {"handshake_output 1 2", "target_handshakes 2"}},
        // Mended: the same, but its driver ignores the reset, so the message
        // stays with it and the output cannot be closed. The plain design
        // used its one header again for the next output: the target's
        // handshake went nowhere and no device was found.
        {"WedgedOutputIgnoringResetBesideTheTarget",
         kThree,
         "input Q25 MIDI In\noutput Wedged Out\noutput Q25 MIDI Out\ntarget 0 1\n"
         "output_wedged 0\noutput_reset_ignored 0\n",
         kHead + kFoundQ25 + kThreeAcked,
         {0, 1, 2},
         4 * h + 1000 + f + 3 * r,
         {"handshake_output 1 2", "target_handshakes 2", "output_left_open 1"}},
        // An asynchronous driver at 31,250 baud: each send returns at once and
        // is waited for until the driver is done.
        {"AsynchronousOutputPaced",
         kThree,
         kOnePair + "pacing on\nasync_output on\n",
         kHead + kFoundQ25 + kThreeAcked,
         {0, 1, 2},
         f + 3 * r,
         {"sends 6", "output_done 6"}},
        {"EveryInputOpenFails",
         kThree,
         "input Q25 MIDI In\ninput Other In\noutput Q25 MIDI Out\noutput Other Out\ntarget 0 0\n"
         "input_open_fail all\n",
         kHead + kNotFound + InUse("input 0 (Q25 MIDI In)") + InUse("input 1 (Other In)") + "\n" +
             NoneAnswered("2 MIDI inputs and 2 outputs"),
         {},
         0,
         {"target_handshakes 0", "event in_open 1 4"}},
        {"EveryOutputOpenFails",
         kThree,
         "input Q25 MIDI In\ninput Other In\noutput Q25 MIDI Out\noutput Other Out\ntarget 0 0\n"
         "output_open_fail all\n",
         kHead + kNotFound + InUse("output 0 (Q25 MIDI Out)") + InUse("output 1 (Other Out)") +
             "\n" + NoneAnswered("2 MIDI inputs and 2 outputs"),
         {},
         0,
         {"target_handshakes 0", "event out_open 1 4"}},
        // Mended: the target's input fails to start. The plain design leaves
        // it open (and marked open) while the next input is tried, and nothing
        // closes it before the process ends; here it is closed at once.
        {"TargetInputFailsToStart",
         kThree,
         "input Q25 MIDI In\ninput Other In\noutput Q25 MIDI Out\ntarget 0 0\ninput_start_fail 0\n",
         kHead + kNotFound + NoneAnswered("2 MIDI inputs and 1 output"),
         {},
         4 * h,
         {"event in_start 0 1", "event in_close 0 0", "handshake_output 0 4"}},
        {"AnotherInputFailsToStart",
         kThree,
         "input Broken In\ninput Q25 MIDI In\noutput Q25 MIDI Out\ntarget 1 0\ninput_start_fail "
         "0\n",
         kHead + kFoundQ25 + kThreeAcked,
         {0, 1, 2},
         f + 3 * r,
         {"event in_start 0 1", "event in_close 0 0"}},

        // ---- the target ----

        {"WrongCodeToEveryHandshake",
         kThree,
         kOnePair + "handshake_default code 30\n",
         kHead + kNotFound +
             "The device on MIDI input 0 (Q25 MIDI In) and output 0 (Q25 MIDI Out) is another "
             "model (it answered 30): this firmware file is not for it. Use the file made for "
             "that keyboard.\n\n" + NoneAnswered("1 MIDI input and 1 output"),
         {},
         4 * h,
         {"handshake_output 0 4"}},
        {"HandshakeAnsweredButNoRecord",
         kThree,
         kOnePair + "record_default silent\n",
         kHead + kFoundQ25 + Times(P('-', 0), 20) + kNotResponding + Stopped(1, 3),
         {},
         f + 20 * r,
         {"records_received 20"}},
        // The copy of an acknowledgement, right behind it on an unpaced
        // line, is dropped or, coming once the next record has left, answers
        // that record; every record is acknowledged, so nothing is lost.
        {"EveryRecordAnsweredTwice",
         kThree,
         kOnePair + "record_default twice 1A\n",
         kHead + kFoundQ25 + kThreeAcked,
         {0, 1, 2},
         f + 3 * r},
        // Mended: on a paced line each verdict's copy comes about 1 ms after
        // it, while the next record is still on its way, and the second record
        // is first refused. The plain design took the first record's copy for
        // the second record's verdict: the refused record was never stored,
        // yet the run ended in success.
        {"EveryVerdictTwiceOnAPacedLineWithARefusal",
         kLongerThree,
         kOnePair + "pacing on\nrecord_default twice 1A\nrecord 1 1 twice 20\n",
         kHead + kFoundQ25 + P('-', 0) + P('-', 17) + kCrc + P('-', 17) + P('\\', 70) + kSuccess,
         {0, 1, 2},
         f + 4 * r},
        // Mended: a verdict with another message 1 ms behind it, on two
        // records. The plain design kept only the later message, sent the
        // record again, and the target stored it twice.
        {"VerdictWithAnotherMessageBehindItOnAPacedLine",
         kLongerThree,
         kOnePair + "pacing on\nrecord 0 1 twice 1A 3B\nrecord 1 1 twice 1A 20\n",
         kHead + kFoundQ25 + P('-', 0) + P('-', 17) + P('\\', 70) + kSuccess,
         {0, 1, 2},
         f + 3 * r},
        // Mended: each paced send's call returns 5 ms after its message left,
        // and the verdict comes 1 ms after that. Marked when the call
        // returned, every verdict counted as come before its record had left:
        // a 3 s wait, then the record again, stored twice.
        {"VerdictBeforeTheSendCallReturns",
         kThree,
         kOnePair + "pacing on\nlate_return 5\n",
         kHead + kFoundQ25 + kThreeAcked,
         {0, 1, 2},
         f + 3 * r},
        // The same with both messages in one buffer.
        {"VerdictWithAnotherMessageInTheSameBuffer",
         kThree,
         kOnePair + "record 1 1 raw F0 1A F7 F0 3B F7\n",
         kHead + kFoundQ25 + kThreeAcked,
         {0, 1, 2},
         f + 3 * r},
    };
}

// ---- running a row ----

enum class Where { kInProcess, kWine };

class FaultMatrix : public ::testing::TestWithParam<std::tuple<Row, Where>> {};

// The whole run, its duration bounded by three times the poll limits at 1 ms
// (a hang guard, not a benchmark).
TEST_P(FaultMatrix, EndsSoundly) {
    const Row& row = std::get<0>(GetParam());
    update_test::WholeRun run;
    run.name = row.name;
    run.fileName = kFileName;
    run.ledText = update_test::LedText(row.firmware, update_test::Spacing::kRecordPerLineCrLf);
    run.records = row.firmware;
    run.scenario = row.scenario;
    run.console = row.output;
    run.accepted = row.accepted;
    run.reportLines = row.report;
    run.atMost = std::chrono::milliseconds(3 * row.polls);
    run.timeLimit = run.atMost + std::chrono::seconds(33);
    update_test::RunWholeUpdate(
        std::get<1>(GetParam()) == Where::kWine ? Platform::kWindows : Platform::kLinux, run);
}

std::string RowName(const ::testing::TestParamInfo<FaultMatrix::ParamType>& info) {
    return std::get<0>(info.param).name +
           (std::get<1>(info.param) == Where::kWine ? "_wine" : "_native");
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix,
                         ::testing::Combine(::testing::ValuesIn(Rows()),
                                            ::testing::Values(Where::kInProcess, Where::kWine)),
                         RowName);

// ---- one seeded, randomized row ----

// A firmware of a few records and a target that answers each attempt from a
// random mix: error replies, silences (never many in a row), verdicts late
// but within the wait, and, on a paced line, copies and other messages about
// 1 ms behind a verdict. The one property: a run that reports success leaves
// the target holding the file's image exactly, each record once (judged in
// the runs where the emulated system kept its timing).
struct RandomUpdate {
    std::vector<Record> firmware;
    std::string scenario;
};

RandomUpdate MakeRandomUpdate(std::mt19937_64& rng) {
    auto pick = [&rng](unsigned n) { return static_cast<unsigned>(rng() % n); };
    RandomUpdate u;
    const unsigned records = 3 + pick(3);
    for (unsigned k = 0; k < records; ++k) {
        Record payload(pick(30));
        for (uint8_t& b : payload) b = static_cast<uint8_t>(rng());
        u.firmware.push_back(update_test::Record(payload));
    }
    static const char* const kErrors[] = {"20", "21", "22", "24", "25", "55"};
    static const char* const kBehind[] = {"1A", "20", "3B", "77"};
    auto error = [&] { return std::string(kErrors[pick(6)]); };
    const bool paced = pick(2) == 0;
    u.scenario = kOnePair + (paced ? "pacing on\n" : "");
    for (unsigned k = 0; k < records; ++k) {
        const unsigned failures = pick(4) == 0 ? 1 + pick(3) : 0;
        for (unsigned attempt = 1; attempt <= failures + 1; ++attempt) {
            std::string action;
            if (attempt <= failures) {
                const unsigned kind = pick(10);
                action = kind == 0            ? "silent"
                         : kind < 4 && paced ? "twice " + error() + " " + error()
                                             : "code " + error();
            } else {
                // Copies and other messages behind a verdict on a paced line
                // only: on an unpaced one they may come after the next record
                // has left, which no protocol without record numbers can tell.
                const unsigned kind = paced ? pick(10) : 0;
                action = kind < 4   ? "code 1A"
                         : kind < 6 ? "twice 1A"
                                    : "twice 1A " + std::string(kBehind[pick(4)]);
            }
            // Now and then the answer comes late, but well within the wait.
            if (action != "silent" && pick(12) == 0) action += " delay " + std::to_string(100 + pick(1400));
            u.scenario += "record " + std::to_string(k) + " " + std::to_string(attempt) + " " + action + "\n";
        }
    }
    return u;
}

uint64_t Seed() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts
    const char* given = std::getenv("UPDATE_TEST_SEED");
    if (given != nullptr && *given != '\0') return std::strtoull(given, nullptr, 10);
    return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

TEST(FaultMatrixRandom, SuccessMeansTheWholeImageOnce_native) {
    constexpr unsigned kUpdates = 200;
    constexpr unsigned kAtOnce = 10;
    const uint64_t seed = Seed();
    std::cout << "seed " << seed << " (UPDATE_TEST_SEED=" << seed << " runs the same updates)\n";
    RecordProperty("seed", std::to_string(seed));
    std::mt19937_64 rng(seed);
    std::vector<RandomUpdate> updates;
    for (unsigned k = 0; k < kUpdates; ++k) updates.push_back(MakeRandomUpdate(rng));

    // Each run mostly waits for the target, so several run at a time, each
    // worker taking the next update.
    std::vector<update_test::EmulatedRun> results(kUpdates);
    std::atomic<unsigned> next{0};
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < kAtOnce; ++w) {
        workers.emplace_back([&] {
            for (unsigned k; (k = next.fetch_add(1)) < kUpdates;) {
                const RandomUpdate& u = updates[k];
                results[k] = update_test::RunEmulated(
                    kFileName, update_test::LedText(u.firmware, update_test::Spacing::kRecordPerLine),
                    u.scenario, std::chrono::seconds(120));
            }
        });
    }
    for (std::thread& worker : workers) worker.join();

    unsigned successes = 0;
    unsigned judged = 0;
    for (unsigned k = 0; k < kUpdates; ++k) {
        const update_test::EmulatedRun& r = results[k];
        const RandomUpdate& u = updates[k];
        SCOPED_TRACE("update " + std::to_string(k) + " of seed " + std::to_string(seed) +
                     ", scenario:\n" + u.scenario);
        ASSERT_TRUE(r.run.exited) << update_test::Describe(r.run);
        ASSERT_TRUE(r.report.complete) << "no complete report";
        if (r.run.out.find("Target update successfully!") == std::string::npos) continue;
        ++successes;
        // Copies come about 1 ms behind a verdict. Where the emulated system
        // handed a message over later than 1 ms past its time (a loaded
        // machine, a sanitizer build), a copy may have come after the next
        // record had left, which no protocol without record numbers can tell
        // from a verdict: such a run proves nothing either way.
        if (r.report.Value("late_deliveries") != "0") continue;
        ++judged;
        Record image;
        for (const Record& record : u.firmware) image.insert(image.end(), record.begin(), record.end());
        EXPECT_EQ(r.report.Value("image"), update_test::Hex(image)) << r.run.out;
        EXPECT_EQ(r.report.Value("records_accepted"), std::to_string(u.firmware.size()));
    }
    std::cout << successes << " of " << kUpdates << " updates reported success; " << judged
              << " of them kept the emulated timing and were judged\n";
    // The failures are never enough to end a run: every update must get there.
    EXPECT_EQ(successes, kUpdates);
    // Natively nearly all do (193 of 200 seen); under ThreadSanitizer on a
    // loaded machine about a third (70 seen).
    EXPECT_GE(judged, kUpdates / 10) << "too few runs kept the emulated timing to judge";
}

} // namespace


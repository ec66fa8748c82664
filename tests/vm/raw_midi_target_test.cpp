// raw_midi_target on the host, with a pseudo-terminal in raw mode standing in
// for the raw MIDI device: how it frames bytes into messages, when it answers,
// what it logs and how it ends. The VM suite relies on all of it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_folder.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using update_test::ReadFileBytes;
using update_test::TempFolder;

const Bytes kHandshake = {0xF0, 0x54, 0x71, 0x38, 0x72, 0x57, 0x7A, 0x35, 0xF7};

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes SysEx(const std::string& text) { return Join({{0xF0}, Text(text), {0xF7}}); }

// A target process on the far side of a pseudo-terminal.
class PtyTarget {
public:
    ~PtyTarget() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }

    // Starts the target (reading no faster than a byte every byteUs
    // microseconds when that is not 0); returns false when it did not come up
    // listening.
    bool Start(const std::string& script, int byteUs = 0) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
        const std::string slavePath = ptsname(master_);
        // Raw mode, set on a descriptor this test keeps open so that it holds.
        slave_ = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
        if (slave_ < 0) return false;
        termios mode;
        tcgetattr(slave_, &mode);
        cfmakeraw(&mode);
        tcsetattr(slave_, TCSANOW, &mode);

        const std::string scriptPath = folder_.WriteFile("script", script).string();
        log_ = (folder_.Path() / "log").string();
        const std::string out = (folder_.Path() / "out").string();
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, STDOUT_FILENO);
                dup2(fd, STDERR_FILENO);
            }
            const std::string pace = std::to_string(byteUs);
            if (byteUs != 0) {
                execl(RAW_MIDI_TARGET, RAW_MIDI_TARGET, "--byte-us", pace.c_str(), slavePath.c_str(),
                      scriptPath.c_str(), log_.c_str(), static_cast<char*>(nullptr));
            } else {
                execl(RAW_MIDI_TARGET, RAW_MIDI_TARGET, slavePath.c_str(), scriptPath.c_str(), log_.c_str(),
                      static_cast<char*>(nullptr));
            }
            _exit(127);
        }
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < until) {
            if (Log().find("state running") != std::string::npos) return true;
            if (waitpid(pid_, &status_, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    void Write(const Bytes& bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Reads until `want` bytes have come or the time is up.
    Bytes Read(size_t want, std::chrono::milliseconds limit) const {
        Bytes got;
        const auto until = Clock::now() + limit;
        while (got.size() < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (left.count() <= 0) break;
            pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            uint8_t buffer[256];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    // Ends the target with SIGTERM; returns its exit status (or 128 + signal).
    int Terminate() {
        kill(pid_, SIGTERM);
        waitpid(pid_, &status_, 0);
        pid_ = -1;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    }

    std::string Log() const { return ReadFileBytes(log_); }

private:
    TempFolder folder_;
    std::string log_;
    int master_ = -1;
    int slave_ = -1;
    pid_t pid_ = -1;
    int status_ = 0;
};

// --- Framing ------------------------------------------------------------------

struct FramingCase {
    const char* name;
    Bytes input;
    Bytes reply;                 // what the target writes back
    const char* messagesLine;    // the log's message count
};

void PrintTo(const FramingCase& c, std::ostream* out) { *out << c.name; }

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, MessagesAreCutFromTheByteStream) {
    const FramingCase& c = GetParam();
    PtyTarget target;
    ASSERT_TRUE(target.Start("model 3B\n"));
    target.Write(c.input);
    EXPECT_EQ(target.Read(c.reply.size() + 1, std::chrono::milliseconds(500)), c.reply);
    EXPECT_EQ(target.Terminate(), 0);
    EXPECT_NE(target.Log().find(c.messagesLine), std::string::npos) << target.Log();
}

INSTANTIATE_TEST_SUITE_P(
    RawBytes, Framing,
    ::testing::Values(
        FramingCase{"Handshake", kHandshake, {0xF0, 0x3B, 0xF7}, "\nmessages 1\n"},
        FramingCase{"ChannelMessagesAroundAreIgnored", Join({{0x90, 0x3C, 0x64}, kHandshake, {0x80, 0x3C, 0x00}}),
                    {0xF0, 0x3B, 0xF7}, "\nmessages 1\n"},
        FramingCase{"RealTimeByteInsideIsSkipped",
                    {0xF0, 0x54, 0x71, 0xF8, 0x38, 0x72, 0x57, 0x7A, 0xFE, 0x35, 0xF7}, {0xF0, 0x3B, 0xF7},
                    "\nmessages 1\n"},
        FramingCase{"StatusByteInsideDropsTheMessage",
                    {0xF0, 0x54, 0x71, 0x38, 0x90, 0x72, 0x57, 0x7A, 0x35, 0xF7}, {}, "\nmessages 0\n"},
        FramingCase{"AnotherF0StartsAgain", Join({{0xF0, 0x12, 0x34}, kHandshake}), {0xF0, 0x3B, 0xF7},
                    "\nmessages 1\n"},
        FramingCase{"RecordChunk", SysEx("0005010203FAFF"), {0xF0, 0x1A, 0xF7}, "\nmessages 1\n"},
        FramingCase{"TwoMessagesInOneWrite", Join({kHandshake, SysEx("0005010203FAFF")}),
                    {0xF0, 0x3B, 0xF7, 0xF0, 0x1A, 0xF7}, "\nmessages 2\n"}),
    [](const ::testing::TestParamInfo<FramingCase>& param) { return std::string(param.param.name); });

// --- Script, timing, log and end ------------------------------------------------

TEST(RawMidiTarget, AnswersFromTheScriptAndLogsTheAcceptedImage) {
    PtyTarget target;
    ASSERT_TRUE(target.Start("handshake 1 code 15\nrecord 0 1 code 20\n"));
    target.Write(kHandshake);
    EXPECT_EQ(target.Read(3, std::chrono::milliseconds(500)), (Bytes{0xF0, 0x15, 0xF7}));
    target.Write(kHandshake);
    EXPECT_EQ(target.Read(3, std::chrono::milliseconds(500)), (Bytes{0xF0, 0x3B, 0xF7}));
    // 12 bytes: a full chunk of 11 and a short one of 1.
    const Bytes chunk1 = SysEx("000A0102030405060708DC");
    const Bytes chunk2 = SysEx("FF");
    for (int attempt = 0; attempt < 2; ++attempt) {
        target.Write(chunk1);
        target.Write(chunk2);
    }
    EXPECT_EQ(target.Read(6, std::chrono::milliseconds(500)), (Bytes{0xF0, 0x20, 0xF7, 0xF0, 0x1A, 0xF7}));
    EXPECT_EQ(target.Terminate(), 0);
    const std::string log = target.Log();
    EXPECT_NE(log.find("state ended\nend sigterm\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nhandshakes 2\nrecords_received 2\nrecords_accepted 1\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nreplies_written 4\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nimage 000A0102030405060708DCFF\n"), std::string::npos) << log;
}

TEST(RawMidiTarget, ReplyWaitsForItsDelay) {
    PtyTarget target;
    ASSERT_TRUE(target.Start("reply_delay 300\n"));
    const auto sent = Clock::now();
    target.Write(kHandshake);
    EXPECT_EQ(target.Read(3, std::chrono::milliseconds(2000)), (Bytes{0xF0, 0x3B, 0xF7}));
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(300));
    EXPECT_EQ(target.Terminate(), 0);
}

// Twenty handshakes (180 bytes) written at once, read at 1 ms a byte a few
// bytes at a time: the last answer cannot come before the last few bytes are
// read, 164 ms after the first, less the 20 ms a late read may make up.
TEST(RawMidiTarget, ReadsNoFasterThanItsPace) {
    PtyTarget target;
    ASSERT_TRUE(target.Start("model 3B\n", 1000));
    Bytes twenty;
    for (int k = 0; k < 20; ++k) twenty.insert(twenty.end(), kHandshake.begin(), kHandshake.end());
    const auto sent = Clock::now();
    target.Write(twenty);
    EXPECT_EQ(target.Read(60, std::chrono::milliseconds(3000)).size(), 60u);
    const auto took = Clock::now() - sent;
    EXPECT_GE(took, std::chrono::milliseconds(144));
    EXPECT_LT(took, std::chrono::milliseconds(400));
    EXPECT_EQ(target.Terminate(), 0);
}

TEST(RawMidiTarget, CountsReachTheLogWhileRunning) {
    PtyTarget target;
    ASSERT_TRUE(target.Start("model 3B\n"));
    target.Write(kHandshake);
    const auto until = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < until && target.Log().find("\nhandshakes 1\n") == std::string::npos) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::string log = target.Log();
    EXPECT_NE(log.find("state running\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nhandshakes 1\n"), std::string::npos) << log;
    EXPECT_EQ(target.Terminate(), 0);
}

TEST(RawMidiTarget, RefusesSettingsThatNeedAnEmulatedDevice) {
    for (const char* script : {"input Keyboard\n", "vanish_after 3\n", "pacing on\n", "handshake 1 model on 2\n"}) {
        PtyTarget target;
        EXPECT_FALSE(target.Start(script)) << script;
    }
    PtyTarget badPace;
    EXPECT_FALSE(badPace.Start("model 3B\n", -5));
}

} // namespace

// The real Linux "update" end to end inside the test VM against the emulated
// target behind the USB MIDI class driver, the path a USB keyboard takes:
//
//   update -> kernel sequencer -> snd-seq-midi -> snd-usb-audio -> USB
//          -> dummy_hcd -> gadget (f_midi) -> raw device -> raw_midi_target
//
// Meant to run inside the VM (tests/vm/run-in-vm), as root: it loads modules,
// makes a USB gadget through configfs, plugs it in and pulls it out, and
// unbinds the virtual card.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "image/image.h"
#include "support/update_program.h"
#include "vm_harness.h"

namespace {

using update_test::ReadFileBytes;
using update_test::RunResult;
using namespace vm_test;
namespace fs = std::filesystem;

std::string Header(const std::string& fileName) {
    return "Update V0.5 - Update KANTERRA Q25-Q49 System\nOK: File '" + fileName + "' is open.\n";
}

RunResult RunUpdater(const Firmware& firmware, const std::string& fileName = kFileName) {
    return RunLinuxUpdater(firmware, fileName);
}

// A USB MIDI keyboard.
//
// dummy_hcd gives the VM a USB host controller wired to a device controller
// (dummy_udc.0). A gadget made through configfs with one MIDI function and
// bound to that controller is enumerated by the host side as a USB MIDI
// device: snd-usb-audio makes a card "USB-Audio - Q25 Keyboard" whose
// sequencer port (through snd-seq-midi) is "Q25 Keyboard MIDI 1", the path a
// real keyboard's messages take. The gadget's own end is another card, "MIDI
// Gadget - f_midi", whose raw device is where the emulated target sits and
// which has a sequencer port "f_midi" of its own. The virtual card is unbound
// for these cases, so the devices are, both ways:
//   0 "Midi Through Port-0", 1 "f_midi", 2 "Q25 Keyboard MIDI 1".
// While the target holds the gadget's raw device, "f_midi" cannot be opened
// (the raw device is busy), so discovery passes over it.
//
// Discovery sends the handshake to pair (0, 0) (the echo: four fast
// failures), then four times to pair (0, 2), which reaches the target, whose
// answers come back on input 2, which nobody reads yet: they wait in the USB
// device until input 2 is opened for pair (2, 0), which drops them. The
// target is found at pair (2, 2) by its fifth handshake and confirmed by the
// sixth.

const char kGadget[] = "/sys/kernel/config/usb_gadget/q25";
const char kUsbPort[] = "Q25 Keyboard MIDI 1";

bool WriteText(const fs::path& file, const std::string& text) {
    std::ofstream out(file);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

// Loads the USB modules and makes the gadget (once per boot), unbound.
::testing::AssertionResult MakeGadget() {
    const fs::path g = kGadget;
    if (fs::exists(g / "UDC")) return ::testing::AssertionSuccess();
    for (const char* module : {"dummy_hcd", "libcomposite", "usb_f_midi", "snd-usb-audio", "snd-seq-midi"}) {
        if (std::system(("modprobe " + std::string(module)).c_str()) != 0) {
            return ::testing::AssertionFailure() << "modprobe " << module << " failed";
        }
    }
    if (!fs::exists("/sys/kernel/config/usb_gadget") && std::system("mount -t configfs none /sys/kernel/config") != 0) {
        return ::testing::AssertionFailure() << "cannot mount configfs";
    }
    std::error_code error;
    for (const char* dir : {"", "strings/0x409", "configs/c.1", "configs/c.1/strings/0x409", "functions/midi.usb0"}) {
        fs::create_directories(g / dir, error);
    }
    const std::pair<const char*, const char*> settings[] = {
        {"idVendor", "0x1d6b"},  {"idProduct", "0x0104"}, {"bcdDevice", "0x0100"},
        {"strings/0x409/manufacturer", "VM test"}, {"strings/0x409/product", "Q25 Keyboard"},
        {"strings/0x409/serialnumber", "0001"},   {"configs/c.1/strings/0x409/configuration", "MIDI"},
    };
    for (const auto& setting : settings) {
        if (!WriteText(g / setting.first, setting.second)) {
            return ::testing::AssertionFailure() << "cannot write " << setting.first;
        }
    }
    fs::create_directory_symlink(g / "functions/midi.usb0", g / "configs/c.1/midi.usb0", error);
    if (error) return ::testing::AssertionFailure() << "cannot link the MIDI function: " << error.message();
    return ::testing::AssertionSuccess();
}

// The gadget's raw device, found by its card's name: "/dev/snd/midiCnD0", or
// empty while there is no such card.
std::string GadgetRawDevice() {
    std::istringstream cards(ReadFileBytes("/proc/asound/cards"));
    for (std::string line; std::getline(cards, line);) {
        if (line.find("MIDI Gadget - f_midi") != std::string::npos) {
            return "/dev/snd/midiC" + std::to_string(std::stoi(line)) + "D0";
        }
    }
    return "";
}

// Waits until the keyboard's sequencer port and the gadget's raw device are
// both there (present) or both gone.
bool WaitForUsb(bool present, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto until = Clock::now() + limit;
    for (;;) {
        const bool port = ReadFileBytes("/proc/asound/seq/clients").find('"' + std::string(kUsbPort) + '"') !=
                          std::string::npos;
        const std::string raw = GadgetRawDevice();
        const bool device = !raw.empty() && fs::exists(raw);
        if (port == present && device == present) return true;
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Plugs the keyboard in: binds the gadget to the device controller.
::testing::AssertionResult PlugGadget() {
    if (ReadFileBytes(fs::path(kGadget) / "UDC").size() <= 1 && !WriteText(fs::path(kGadget) / "UDC", "dummy_udc.0")) {
        return ::testing::AssertionFailure() << "cannot bind the gadget to dummy_udc.0";
    }
    if (!WaitForUsb(true)) {
        return ::testing::AssertionFailure() << "the USB MIDI card did not appear; /proc/asound/cards:\n"
                                             << ReadFileBytes("/proc/asound/cards");
    }
    return ::testing::AssertionSuccess();
}

// Pulls the plug: unbinds the gadget from the device controller.
bool UnplugGadget() { return WriteText(fs::path(kGadget) / "UDC", "\n"); }

class UsbUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists("/dev/snd/seq"))
            << "no kernel sequencer here: run this suite inside the VM (tests/vm/run-in-vm)";
        // The virtual card goes first (once the gadget is there, its card
        // may take the virtual card's number).
        if (CardBound()) {
            ASSERT_TRUE(WriteDriverFile("unbind"));
            ASSERT_TRUE(WaitForCard(false));
        }
        ASSERT_TRUE(MakeGadget());
        ASSERT_TRUE(PlugGadget());
        raw_ = GadgetRawDevice();
    }

    std::string raw_; // the gadget's raw device, where the target sits
};

// The sample firmware shipped with the program, as the test's Firmware.
Firmware SampleFirmware() {
    Firmware f;
    f.text = ReadFileBytes(fs::path(UPDATE_SOURCE_DIR) / "sample" / "Q25_sample.led");
    static FirmwareImage image; // 128 KiB
    if (!ScanImageText(reinterpret_cast<const uint8_t*>(f.text.data()), f.text.size(), &image)) return f;
    f.image.assign(image.bytes, image.bytes + image.length);
    for (size_t at = 0; at + 1 < f.image.size();) {
        const size_t size = ((f.image[at] << 8) | f.image[at + 1]) + 2u;
        f.records.emplace_back(f.image.begin() + static_cast<long>(at),
                               f.image.begin() + static_cast<long>(std::min(at + size, f.image.size())));
        at += size;
    }
    return f;
}

// The progress lines of a transfer in which every record is accepted at
// once, except record `crcOn`, answered first with 0x20 (the CRC message,
// then the same line again: the spinner steps back): the percent before each
// record, the spinner turning.
std::string ProgressWithOneCrcError(const Firmware& firmware, size_t crcOn) {
    static const char kSpinner[] = "--\\\\||//";
    std::string text;
    size_t acknowledged = 0;
    for (size_t n = 0; n < firmware.records.size(); ++n) {
        const std::string line =
            Progress(kSpinner[n % 8], static_cast<int>(acknowledged * 100 / firmware.image.size()));
        text += line;
        if (n == crcOn) text += "\nThe CRC of the download file is error!\n" + line;
        acknowledged += firmware.records[n].size();
    }
    return text;
}

// --- The two builds on this path ---------------------------------------------
//
// The Linux "update" finds the keyboard on its own port at pair (2, 2). The
// shipped update.exe runs under wine with wine's own WinMM (started with
// run-in-vm --wine), where every empty poll of at most 1 ms lasts about
// 3.5 ms and each unanswered pair costs about 8 s; there the keyboard's port
// is routed into "Midi Through", so that its answers come in on input 0 and
// the pair (0, 2) is found with two handshakes. Either way every message
// travels through the USB MIDI class driver both ways.

enum class Build { kLinux, kWine };

const char* BuildName(Build build) { return build == Build::kLinux ? "Linux" : "Wine"; }

// One wineserver for the whole program, started by the first wine case.
::testing::AssertionResult StartWine() {
    static PersistentWineServer server;
    static bool started = false;
    if (started) return ::testing::AssertionSuccess();
    const ::testing::AssertionResult ready = WineReady();
    if (!ready) return ready;
    const ::testing::AssertionResult result = server.Start();
    started = static_cast<bool>(result);
    return result;
}

// Makes what the build's discovery needs (the route for wine) and runs it.
struct UsbRun {
    Route route;
    RunResult run;
};

::testing::AssertionResult RunBuild(Build build, const Firmware& firmware, const std::string& fileName,
                                    UsbRun* out) {
    if (build == Build::kLinux) {
        out->run = RunUpdater(firmware, fileName);
        if (!out->run.exited) return ::testing::AssertionFailure() << update_test::Describe(out->run);
        if (out->run.exitStatus != 0) return ::testing::AssertionFailure() << update_test::Describe(out->run);
        return ::testing::AssertionSuccess();
    }
    const ::testing::AssertionResult wine = StartWine();
    if (!wine) return wine;
    const ::testing::AssertionResult routed = out->route.Make(kUsbPort, "Midi Through Port-0");
    if (!routed) return routed;
    update_test::TempFolder folder;
    folder.WriteFile(fileName, firmware.text);
    out->run = RunUpdateExe(folder.Path());
    return EndedWell(out->run);
}

std::string BuildTranscript(Build build, const std::string& text) {
    if (build == Build::kLinux) return LinuxTranscript(text);
    return update_test::Transcript(update_test::Platform::kWindows, text);
}

std::string BuildFound(Build build) {
    if (build == Build::kLinux) return Found(kUsbPort);
    return std::string("The Update Device is Open successfully:\nMIDIIN Device: Midi Through Port-0\n") +
           "MIDIOUT Device: " + kUsbPort + "\n";
}


// --- Updates through the USB MIDI class driver ----------------------------------

class UsbTransfer : public UsbUpdate, public ::testing::WithParamInterface<Build> {};

// A whole update of the sample firmware (300 records, 19,018 bytes) in which
// the target answers record 1 first with a CRC error (0x20), then accepts it:
// the transcript's progress lines are computed from the file, and the image
// the target accepted is compared with it.
TEST_P(UsbTransfer, SampleFirmwareWithAnErrorVerdictThenAcceptance) {
    const Build build = GetParam();
    const Firmware firmware = SampleFirmware();
    ASSERT_EQ(firmware.records.size(), 300u);
    const std::string fileName = "Q25_sample.led";
    RawTarget target;
    ASSERT_TRUE(target.Start(raw_, "record 1 1 code 20\n"));

    const auto started = Clock::now();
    UsbRun run;
    const ::testing::AssertionResult ended = RunBuild(build, firmware, fileName, &run);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    const Counts log = target.Stop();

    EXPECT_TRUE(ended);
    EXPECT_EQ(run.run.out, BuildTranscript(build, Header(fileName) + BuildFound(build) +
                                                      ProgressWithOneCrcError(firmware, 1) + kDone));
    EXPECT_EQ(Count(log, "handshakes"), 2u);
    EXPECT_EQ(Count(log, "records_received"), 301u);
    EXPECT_EQ(Count(log, "checksum_errors"), 0u);
    EXPECT_EQ(log.at("image"), Hex(firmware.image));
    EXPECT_EQ(Count(log, "bad_chunks"), 0u);
    EXPECT_EQ(Count(log, "unknown_messages"), 0u);
    EXPECT_EQ(log.at("end"), "sigterm") << target.Output();
    std::printf("[ figures  ] %s: %.1f s for the run\n", BuildName(build), seconds);
}

INSTANTIATE_TEST_SUITE_P(Usb, UsbTransfer, ::testing::Values(Build::kLinux, Build::kWine),
                         [](const ::testing::TestParamInfo<Build>& param) { return std::string(BuildName(param.param)); });

// The keyboard's answers must not choose a pair by another output's request:
// every run finds the keyboard both ways. (When the pairs were tried one at a
// time, its answers to pair (0, 2) waited in the USB device until its input
// was opened for pair (2, 0), and before discovery learnt to tell them apart,
// 4 of 5 runs in the VM chose input 2 with output 0.) With every input
// listened to at once, the keyboard gets its one handshake of the round and
// the confirming one.
TEST_F(UsbUpdate, DiscoveryNeverPicksAPairByAnEarlierPairsAnswer) {
    const Firmware firmware = MakeFirmware(kThreeRecords);
    for (int run = 1; run <= 4; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        RawTarget target;
        ASSERT_TRUE(target.Start(raw_, "model 3B\n"));
        const RunResult result = RunUpdater(firmware);
        const Counts log = target.Stop();
        ASSERT_TRUE(result.exited) << update_test::Describe(result);
        EXPECT_EQ(result.out, LinuxTranscript(kHeader + Found(kUsbPort) + Progress('-', 0) + Progress('-', 32) +
                                              Progress('\\', 56) + kDone));
        EXPECT_EQ(Count(log, "handshakes"), 2u);
        EXPECT_EQ(log.at("image"), Hex(firmware.image));
    }
}

// A keyboard that reads no faster than its 31,250-baud line, behind the USB
// class driver, whose own buffer empties at USB speed: records of 1 and 2 KiB,
// beyond what the updater hands over at once, are each taken in once and
// accepted in order.
TEST_F(UsbUpdate, TargetReadingAtTheLinesPace) {
    const Firmware firmware = MakeFirmware({1024, 2048, 1024});
    RawTarget target;
    ASSERT_TRUE(target.Start(raw_, "model 3B\n", 320));
    const RunResult run = RunUpdater(firmware);
    const Counts log = target.Stop();

    ASSERT_TRUE(run.exited) << update_test::Describe(run);
    EXPECT_EQ(run.out, LinuxTranscript(kHeader + Found(kUsbPort) + Progress('-', 0) + Progress('-', 25) +
                                       Progress('\\', 75) + kDone));
    EXPECT_EQ(Count(log, "handshakes"), 2u);
    EXPECT_EQ(Count(log, "records_received"), 3u);
    EXPECT_EQ(log.at("image"), Hex(firmware.image));
    EXPECT_EQ(Count(log, "bad_chunks"), 0u);
}

// --- The keyboard unplugged -----------------------------------------------------

struct UsbUnplugCase {
    const char* name;
    std::vector<unsigned> sizes;
    const char* script;
    int byteUs;           // the target's reading pace
    unsigned unplugAfter; // messages after the handshakes the target has taken in
    std::string afterFound;
    unsigned accepted; // records accepted before the plug was pulled
    Build build;
};

void PrintTo(const UsbUnplugCase& c, std::ostream* out) { *out << c.name; }

class UsbUnplug : public UsbUpdate, public ::testing::WithParamInterface<UsbUnplugCase> {};

// The gadget is unbound from the controller under both sides: the target's
// reads fail and it ends, and the USB card and its sequencer port go at once.
// The Linux build's next full chunk then fails; wine's driver sends to its
// port's subscribers, which are gone, and reports success, so update.exe
// meets silence until its 20th attempt.
TEST_P(UsbUnplug, EndsCleanly) {
    const UsbUnplugCase& c = GetParam();
    const Firmware firmware = MakeFirmware(c.sizes);
    RawTarget target;
    ASSERT_TRUE(target.Start(raw_, c.script, c.byteUs));

    bool reached = false;
    bool unplugged = false;
    std::thread unplug([&] {
        const auto until = Clock::now() + std::chrono::seconds(90);
        while (Clock::now() < until && !reached) {
            const Counts now = target.Read();
            reached = now.count("messages") != 0 &&
                      Count(now, "messages") >= Count(now, "handshakes") + c.unplugAfter;
            if (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (reached) unplugged = UnplugGadget();
    });
    const auto started = Clock::now();
    UsbRun run;
    const ::testing::AssertionResult ended = RunBuild(c.build, firmware, kFileName, &run);
    const auto took = Clock::now() - started;
    unplug.join();
    const Counts log = target.WaitForEnd(std::chrono::seconds(5));

    ASSERT_TRUE(reached) << "the target never took in message " << c.unplugAfter << " of the transfer";
    ASSERT_TRUE(unplugged);
    EXPECT_TRUE(ended);
    EXPECT_EQ(run.run.out, BuildTranscript(c.build, kHeader + BuildFound(c.build) + c.afterFound));
    EXPECT_EQ(log.at("end"), "device_gone") << target.Output();
    std::vector<unsigned> accepted(c.accepted);
    for (unsigned n = 0; n < c.accepted; ++n) accepted[n] = n;
    EXPECT_EQ(log.at("image"), HexOfRecords(firmware, accepted));
    EXPECT_TRUE(WaitForUsb(false));
    EXPECT_EQ(ReadFileBytes("/proc/asound/seq/clients").find("\"update\""), std::string::npos);
    std::printf("[ unplug   ] %s_%s: the updater ended %.1f s after its start\n", c.name, BuildName(c.build),
                std::chrono::duration<double>(took).count());
}

std::string SilentOnRecord2() {
    std::string script;
    for (int attempt = 1; attempt <= 20; ++attempt) script += "record 2 " + std::to_string(attempt) + " silent\n";
    return script;
}
const std::string kSilentOnRecord2 = SilentOnRecord2();

const char kMissing[] = "\nError: The MIDI Out of device is missing!\n\n";
const char kNotResponding[] = "\nFailed: Target is not responding.\n\n";
// What follows a failed transfer: where it stopped, and what to do.
std::string Stopped(int record, int records) {
    return "The update stopped at record " + std::to_string(record) + " of " + std::to_string(records) +
           ". Check the keyboard's MIDI connection, then run update again: it starts over from the first "
           "record.\n\n";
}

std::string UnplugName(const ::testing::TestParamInfo<UsbUnplugCase>& param) {
    return std::string(param.param.name) + "_" + BuildName(param.param.build);
}

// Five records of 16 bytes (two messages each); the target never answers
// record 2 and is unplugged once it has taken it in. Then records that the
// target reads at 320 us a byte, unplugged after 40 messages of the second,
// while the updater is still sending it: for the Linux build, which hands
// over the first 2,048 bytes of a record at once, a record of 160 bytes and
// one of 4 KiB (373 messages); for update.exe, one of 16 bytes and one of
// 1 KiB (94 messages). Under wine both moments end alike, in 20 silent
// attempts (about a minute there), so update.exe runs the second only.
INSTANTIATE_TEST_SUITE_P(
    UsbMoments, UsbUnplug,
    ::testing::Values(
        UsbUnplugCase{"WhileWaitingForAVerdict", {16, 16, 16, 16, 16}, kSilentOnRecord2.c_str(), 0, 6,
                      Progress('-', 0) + Progress('-', 20) + Repeat(Progress('\\', 40), 2) + kMissing + Stopped(3, 5), 2,
                      Build::kLinux},
        UsbUnplugCase{"WhileSendingARecord", {160, 4096, 16}, "model 3B\n", 320, 55,
                      Progress('-', 0) + Progress('-', 3) + kMissing + Stopped(2, 3), 1, Build::kLinux},
        UsbUnplugCase{"WhileSendingARecord", {16, 1024, 16}, "model 3B\n", 320, 42,
                      Progress('-', 0) + Repeat(Progress('-', 1), 20) + kNotResponding + Stopped(2, 3), 1,
                      Build::kWine}),
    UnplugName);

// --- Device numbers -------------------------------------------------------------

// With the target holding the gadget's raw device: "f_midi" is another
// device, listed but busy (the sequencer cannot subscribe to a raw device in
// use: EAGAIN); the keyboard is device 2 both ways.
TEST_F(UsbUpdate, ListShowsTheGadgetsOwnEndAndTheKeyboard) {
    RawTarget target;
    ASSERT_TRUE(target.Start(raw_, "model 3B\n"));
    const update_test::TempFolder folder;
    update_test::RunOptions options;
    options.args = {"--list"};
    const RunResult run = update_test::RunUpdate(update_test::Platform::kLinux, folder.Path(), options);
    const Counts log = target.Stop();

    ASSERT_TRUE(run.exited) << update_test::Describe(run);
    EXPECT_EQ(run.exitStatus, 0);
    const std::string ports =
        "  0: Midi Through Port-0\n  1: f_midi (cannot be opened: error 11)\n  2: Q25 Keyboard MIDI 1\n";
    EXPECT_EQ(run.out, "Update V0.5 - Update KANTERRA Q25-Q49 System\nMIDI inputs:\n" + ports +
                           "MIDI outputs:\n" + ports);
    EXPECT_EQ(Count(log, "messages"), 0u);
}

// --- Time per record through the USB MIDI class driver ------------------------

TEST_F(UsbUpdate, TimePerRecordThroughTheUsbMidiClassDriver) {
    MeasureTimePerRecord(raw_, "model 3B\n", "through the kernel sequencer and the USB MIDI class driver");
}

} // namespace

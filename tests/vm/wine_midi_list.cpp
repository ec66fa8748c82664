// Lists the MIDI devices that WinMM offers and, given a device number, opens
// and closes that input and that output: nothing else. Run under wine in the
// test VM next to update.exe, so that what wine does with a program that
// merely touched its MIDI driver (at its exit, for one) can be told apart from
// what the updater does.
//
//   wine_midi_list.exe [DEVICE]
#include <windows.h>
// After <windows.h>, whose types it uses.
#include <mmsystem.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    for (UINT n = 0; n < 10; ++n) {
        MIDIINCAPSA caps;
        if (midiInGetDevCapsA(n, &caps, sizeof caps) != MMSYSERR_NOERROR) break;
        std::printf("input %u: %s\n", n, caps.szPname);
    }
    for (UINT n = 0; n < 10; ++n) {
        MIDIOUTCAPSA caps;
        if (midiOutGetDevCapsA(n, &caps, sizeof caps) != MMSYSERR_NOERROR) break;
        std::printf("output %u: %s\n", n, caps.szPname);
    }
    if (argc > 1) {
        const UINT device = static_cast<UINT>(std::atoi(argv[1]));
        HMIDIIN in = nullptr;
        HMIDIOUT out = nullptr;
        const MMRESULT inOpened = midiInOpen(&in, device, 0, 0, CALLBACK_NULL);
        const MMRESULT outOpened = midiOutOpen(&out, device, 0, 0, CALLBACK_NULL);
        std::printf("open %u: %u %u\n", device, inOpened, outOpened);
        const MMRESULT inClosed = inOpened == MMSYSERR_NOERROR ? midiInClose(in) : 0;
        const MMRESULT outClosed = outOpened == MMSYSERR_NOERROR ? midiOutClose(out) : 0;
        std::printf("close: %u %u\n", inClosed, outClosed);
    }
    std::fflush(stdout);
    return 0;
}

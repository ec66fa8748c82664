// The updater binaries under test and how to run them: the native build, and
// the Windows build under wine.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "support/run_program.h"
#include "support/transcript.h"

namespace update_test {

// The native "update" of this build.
std::filesystem::path NativeUpdatePath();
// The Windows cross-build's folder (UPDATE_MINGW_DIR) and its update.exe.
std::filesystem::path WindowsBuildFolder();
std::filesystem::path WindowsUpdatePath();
// The copy of update.exe beside the stand-in winmm.dll (the folder emul/ of
// the Windows build), for runs against the emulated MIDI system.
std::filesystem::path WindowsEmulatedUpdatePath();
// Whether the build was configured to run the Windows build under wine (UPDATE_WINE_TESTS).
bool WineTestsEnabled();

// Success when update.exe exists and wine is on PATH; otherwise a failure
// that tells what to build or install. Tests use it with ASSERT_TRUE so that a
// missing Windows build fails them rather than skipping them.
::testing::AssertionResult WindowsUpdateReady();

// Runs the platform's updater (natively or under wine) in folder, standard
// input from /dev/null; options.workDir is set to folder.
RunResult RunUpdate(Platform platform, const std::filesystem::path& folder,
                    RunOptions options = {});

} // namespace update_test

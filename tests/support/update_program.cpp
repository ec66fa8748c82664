#include "support/update_program.h"

namespace update_test {

std::filesystem::path NativeUpdatePath() { return UPDATE_NATIVE_EXE; }

std::filesystem::path WindowsBuildFolder() { return UPDATE_MINGW_DIR; }

std::filesystem::path WindowsUpdatePath() { return WindowsBuildFolder() / "update.exe"; }

std::filesystem::path WindowsEmulatedUpdatePath() {
    return WindowsBuildFolder() / "emul" / "update.exe";
}

bool WineTestsEnabled() { return UPDATE_WINE_TESTS != 0; }

::testing::AssertionResult WindowsUpdateReady() {
    const std::filesystem::path exe = WindowsUpdatePath();
    if (!std::filesystem::is_regular_file(exe)) {
        return ::testing::AssertionFailure() << exe.string()
                                             << " is missing: build the mingw preset first (cmake "
                                                "--preset mingw && cmake --build "
                                             << "--preset mingw), or point UPDATE_MINGW_DIR at a "
                                                "Windows build, or configure with "
                                             << "-DUPDATE_WINE_TESTS=OFF";
    }
    if (FindWine().empty()) {
        return ::testing::AssertionFailure()
               << "wine is not on PATH: install the Debian package wine, or configure "
               << "with -DUPDATE_WINE_TESTS=OFF";
    }
    return ::testing::AssertionSuccess();
}

RunResult RunUpdate(Platform platform, const std::filesystem::path& folder, RunOptions options) {
    options.workDir = folder;
    if (platform == Platform::kLinux) return RunProgram(NativeUpdatePath(), options);
    return RunUnderWine(WindowsUpdatePath(), options);
}

} // namespace update_test

// Helpers shared by the image tests: images from byte lists, temporary files
// and the capture of standard output.
#pragma once

#include "image/image.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "support/temp_folder.h"

namespace image_test {

// The image is large (128 KiB), so tests keep one per test instead of on the stack.
inline FirmwareImage& ScratchImage() {
    static FirmwareImage image;
    return image;
}

inline std::vector<uint8_t> ImageBytes(const FirmwareImage& image) {
    return std::vector<uint8_t>(image.bytes, image.bytes + image.length);
}

inline std::vector<uint8_t> ScanText(const std::string& text) {
    FirmwareImage& image = ScratchImage();
    const bool whole = ScanImageText(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &image);
    if (!whole) return {0xEE, 0xEE, 0xEE}; // not a result any case in these tables expects
    return ImageBytes(image);
}

// A fresh directory for one test's files, removed with its content at the end.
class TempDir {
public:
    bool ok() const { return !folder_.Path().empty(); }
    std::string path() const { return folder_.Path().string(); }
    // Writes the bytes exactly as given and returns the file's path.
    std::string WriteFile(const std::string& name, const std::string& content) {
        return folder_.WriteFile(name, content).string();
    }
    std::string MakeDir(const std::string& name) { return folder_.MakeFolder(name).string(); }

private:
    update_test::TempFolder folder_;
};

// Sends standard output (the stream and file descriptor 1) to a temporary
// file from construction until Take(), which returns what was written.
class StdoutCapture {
public:
    StdoutCapture() {
        fflush(stdout);
        saved_ = dup(1);
        file_ = tmpfile();
        if (file_ != nullptr) dup2(fileno(file_), 1);
    }
    ~StdoutCapture() { Restore(); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string Take() {
        Restore();
        std::string text;
        if (file_ == nullptr) return "<capture failed>";
        rewind(file_);
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, got);
        fclose(file_);
        file_ = nullptr;
        return text;
    }

private:
    void Restore() {
        if (saved_ < 0) return;
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        saved_ = -1;
    }

    int saved_ = -1;
    FILE* file_ = nullptr;
};

} // namespace image_test

// Helpers shared by the image tests: images from byte lists, temporary files
// and the capture of standard output.
#pragma once

#include "image/image.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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
    TempDir() {
        char pattern[] = "/tmp/image_test.XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made != nullptr ? made : "";
    }
    ~TempDir() {
        for (const std::string& file : files_) unlink(file.c_str());
        for (const std::string& dir : dirs_) rmdir(dir.c_str());
        rmdir(path_.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

    // Writes the bytes exactly as given and returns the file's path.
    std::string WriteFile(const std::string& name, const std::string& content) {
        const std::string file = path_ + "/" + name;
        FILE* f = fopen(file.c_str(), "wb");
        if (f != nullptr) {
            fwrite(content.data(), 1, content.size(), f);
            fclose(f);
        }
        files_.push_back(file);
        return file;
    }

    std::string MakeDir(const std::string& name) {
        const std::string dir = path_ + "/" + name;
        mkdir(dir.c_str(), 0700);
        dirs_.push_back(dir);
        return dir;
    }

private:
    std::string path_;
    std::vector<std::string> files_;
    std::vector<std::string> dirs_;
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

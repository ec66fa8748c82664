// A unique folder under the system's temporary directory, removed with
// everything in it when the object goes away.
#pragma once

#include <filesystem>
#include <string>

namespace update_test {

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }

    // Writes bytes, exactly as given, into the file name inside the folder
    // (replacing it) and returns the file's path.
    std::filesystem::path WriteFile(const std::string& name, const std::string& bytes) const;
    // Copies a file from anywhere into the folder under name.
    std::filesystem::path CopyFile(const std::filesystem::path& from,
                                   const std::string& name) const;
    // Creates a subfolder.
    std::filesystem::path MakeFolder(const std::string& name) const;

private:
    std::filesystem::path path_;
};

// The whole content of a file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::filesystem::path& path);

} // namespace update_test

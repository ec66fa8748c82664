#include "support/temp_folder.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace update_test {

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "update-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempFolder::WriteFile(const std::string& name,
                                            const std::string& bytes) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + file.string());
    return file;
}

std::filesystem::path TempFolder::CopyFile(const std::filesystem::path& from,
                                           const std::string& name) const {
    const std::filesystem::path file = path_ / name;
    std::filesystem::copy_file(from, file, std::filesystem::copy_options::overwrite_existing);
    return file;
}

std::filesystem::path TempFolder::MakeFolder(const std::string& name) const {
    const std::filesystem::path folder = path_ / name;
    std::filesystem::create_directory(folder);
    return folder;
}

std::string ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace update_test

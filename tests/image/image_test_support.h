// What the image tests know about the four carried images, and small helpers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/wait.h>

struct SegmentFacts {
    std::uint32_t offset, vaddr, filesz, memsz;
};

struct ImageFacts {
    const char* deliverable;
    const char* fileName;
    std::uint32_t fileSize;
    std::vector<SegmentFacts> segments;
};

inline const std::vector<ImageFacts> imageTable = {
    {"updater-qpsk1-ci-slave",
     "qpsk1_ci_slave_varek_V1.00.39_1.00c.fl.out",
     632811,
     {{0x1000, 0x100000, 0xADC8, 0xADC8}, {0xC1C8, 0x10B1C8, 0x720C4, 0x73590}}},
    {"updater-ofdm1-ci-master",
     "ofdm1_ci_master_varek_V1.03.59_1.0c.fl.out",
     889481,
     {{0x1000, 0x100000, 0x9F3F0, 0xB3474}}},
    {"updater-ofdm2",
     "ofdm2_varek_V1.01.180_2.02c.fl.out",
     1253714,
     {{0x1000, 0x100000, 0xF8330, 0x10C3B4}}},
    {"updater-ofdm1",
     "ofdm1_varek_V1.01.180_2.00c.fl.out",
     839306,
     {{0x1000, 0x100000, 0x93068, 0xA70EC}}},
};

inline std::vector<unsigned char> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::filesystem::path& path, const std::vector<unsigned char>& b) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

struct CommandResult {
    int status = -1; // exit status, -1 when the command did not exit normally
    std::string output;
};

// Runs a shell command and collects its standard output and standard error.
inline CommandResult runCommand(const std::string& command) {
    CommandResult result;
    std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, n);
    int status = pclose(pipe);
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

// Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) about
// "literal" + std::string.
inline std::string quoted(const std::filesystem::path& path) {
    std::string text = "'";
    text += path.string();
    text += '\'';
    return text;
}

// A fresh folder under the system's temporary folder, removed with its content.
class TempFolder {
  public:
    TempFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "updater-image-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

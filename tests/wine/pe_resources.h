// The resources of a Windows program read from its file, as Windows finds
// them: the resource directory that the PE optional header names, walked by
// type, name and language. Only what the tests look at: the version resource
// and the manifest.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace pe {

constexpr std::uint16_t typeVersion = 16;
constexpr std::uint16_t typeManifest = 24;

// The whole file. Throws when it cannot be read.
std::vector<std::uint8_t> readFile(const std::filesystem::path& file);

// The data of the first resource of the type (first name, first language);
// empty when the file has none. Throws std::runtime_error on a malformed file.
std::vector<std::uint8_t> resource(const std::vector<std::uint8_t>& file, std::uint16_t type);

struct VersionInfo {
    // From the fixed part: major, minor, patch, build.
    std::array<std::uint16_t, 4> fileVersion{};
    std::array<std::uint16_t, 4> productVersion{};
    // Every string of every StringFileInfo table, by key (ASCII only).
    std::map<std::string, std::string> strings;
};

// Parses a version resource. Throws std::runtime_error when it is malformed.
VersionInfo versionInfo(const std::vector<std::uint8_t>& data);

} // namespace pe

#pragma once
// Runs a shell command (ffprobe, ffmpeg) from a test.
#include <array>
#include <cstdio>
#include <memory>
#include <string>

namespace testing_support {

// Runs a shell command and returns what it printed.
inline std::string RunCommand(const std::string& command) {
    std::string output;
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
    std::array<char, 256> buffer{};
    while (pipe && fgets(buffer.data(), buffer.size(), pipe.get())) {
        output += buffer.data();
    }
    return output;
}

}  // namespace testing_support

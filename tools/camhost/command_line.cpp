#include "command_line.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "capture_session.h"

namespace camhost {

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(needed > 0 ? static_cast<size_t>(needed) : 0, '\0');
    if (needed > 0) {
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    va_end(args);
    return text;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::optional<long> ParseNumber(const std::string& text, long low, long high) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) {
        return std::nullopt;
    }
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> ParseSeconds(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(value >= 0) || value > 86400 * 365) {
        return std::nullopt;
    }
    return value;
}

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string TimeOfDay() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::strftime(text, sizeof(text), "%H:%M:%S", &local);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    return Format("%s.%03d", text, static_cast<int>(ms));
}

ParseOutcome UsageError(std::string text) {
    return {ParseOutcome::kUsageError, std::move(text)};
}

int Fail(Console& console, const std::string& text) {
    console.Line("camhost: " + text);
    return 1;
}

const char* LevelName(int level) {
    switch (level) {
        case 1:
            return "failure";
        case 2:
        case 3:
            return "state";
        default:
            return "info";
    }
}

std::string SimulatorLine(const camsim::CameraSimulator& simulator) {
    return Format("camera simulator %s (authentication %s) on %s", simulator.profile().name.c_str(),
                  camsim::AuthModeName(simulator.options().auth), simulator.base_url().c_str());
}

CameraEndpoint ReachCamera(const SimulatorChoice& choice, const std::string& address,
                           std::optional<uint16_t> port, Console* console) {
    CameraEndpoint camera;
    camera.address = address;
    camera.port = port.value_or(80);
    if (choice.simulate) {
        camsim::Options sim;
        sim.profile = choice.profile;
        sim.auth = choice.auth;
        sim.user = choice.user;
        sim.password = choice.password;
        sim.input_pins = choice.inputPins;
        sim.output_pins = choice.outputPins;
        sim.jpeg_ring_size = choice.jpegRingSize;
        try {
            camera.simulator = std::make_unique<camsim::CameraSimulator>(sim);
            camera.port = camera.simulator->Start();
        } catch (const std::exception& e) {
            camera.error = std::string("cannot start the camera simulator: ") + e.what();
            return camera;
        }
        camera.address = camera.simulator->address();
        if (console != nullptr) {
            console->Line(SimulatorLine(*camera.simulator));
        }
    }
    if (std::string why = ProbeTcp(camera.address, camera.port, std::chrono::seconds(3));
        !why.empty()) {
        camera.error = Format(
            "cannot reach the camera at %s:%u: %s. Check --address and --port, and that the "
            "camera is on and on this network.",
            camera.address.c_str(), static_cast<unsigned>(camera.port), why.c_str());
    }
    return camera;
}

}  // namespace camhost

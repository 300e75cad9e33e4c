#include "capability_query.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "command_line.h"
#include "reference_host.h"

namespace camhost {

namespace {

using namespace std::chrono_literals;

// The result keys the module writes (besides the device name and the lists).
constexpr int kKeyPtz = 1;
constexpr int kKeyInputs = 2;
constexpr int kKeyOutputs = 3;
constexpr int kKeyCodecMpeg4 = 6;
constexpr int kKeyCodecJpeg = 7;
constexpr int kKeyCodecH264 = 8;

std::string Unset(const std::string& text) {
    return text == "(none)" ? std::string() : text;
}

Identification Read(const host::CapabilityResults& results, const std::string& address,
                    uint16_t port) {
    Identification id;
    id.address = address;
    id.port = port;
    id.deviceName = results.deviceName;
    const size_t blank = id.deviceName.find(' ');
    if (blank == std::string::npos) {
        id.model = id.deviceName;
    } else {
        id.vendor = id.deviceName.substr(0, blank);
        id.model = id.deviceName.substr(blank + 1);
    }
    auto value = [&](int key) {
        auto it = results.values.find(key);
        return it == results.values.end() ? 0 : it->second;
    };
    id.inputs = value(kKeyInputs);
    id.outputs = value(kKeyOutputs);
    id.ptz = value(kKeyPtz) != 0;
    if (value(kKeyCodecJpeg) != 0) {
        id.codecs.push_back("MJPEG");
    }
    if (value(kKeyCodecMpeg4) != 0) {
        id.codecs.push_back("MPEG-4");
    }
    if (value(kKeyCodecH264) != 0) {
        id.codecs.push_back("H.264");
    }
    for (const auto& r : results.resolutions) {
        id.resolutions.push_back({r.width, r.height, r.intervalMs});
    }
    if (auto it = results.frameIntervals.find(1); it != results.frameIntervals.end()) {
        id.frameIntervalsMs = it->second;
        for (const int interval : it->second) {
            if (interval > 0) {
                id.frameRates.push_back(static_cast<unsigned>(1000.0 / interval + 0.5));
            }
        }
        std::sort(id.frameRates.begin(), id.frameRates.end());
    }
    std::vector<host::CapabilityProperty> properties = results.properties;
    std::stable_sort(properties.begin(), properties.end(),
                     [](const auto& a, const auto& b) { return a.index < b.index; });
    for (const auto& p : properties) {
        id.driverParameters.push_back({p.index, p.name, p.text});
        switch (p.index) {
            case 2:
                id.family = std::atoi(p.text.c_str());
                break;
            case 3:
                id.presetFile = Unset(p.text);
                break;
            case 4:
                id.centerSupported = p.text == "1";
                break;
            case 5:
                id.firmware = Unset(p.text);
                break;
            default:
                break;
        }
    }
    return id;
}

std::string Joined(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (const auto& item : items) {
        text += (text.empty() ? "" : separator) + item;
    }
    return text;
}

std::string FamilyName(int family) {
    switch (family) {
        case 1:
            return "1 (VN-V: picture size set per encoder)";
        case 2:
            return "2 (VN-X: picture size set through the system mode)";
        default:
            return std::to_string(family);
    }
}

std::string JsonOrNull(const std::string& text) {
    return text.empty() ? "null" : Json(text);
}

// Waits for the callback's outcome in short slices, so that a stop is seen at once.
bool WaitForOutcome(host::CapabilityCallback& callback, double seconds, StopSignal* stop) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    while (std::chrono::steady_clock::now() < deadline) {
        if (stop != nullptr && stop->Requested()) {
            return false;
        }
        if (callback.WaitForOutcome(100ms)) {
            return true;
        }
    }
    return false;
}

}  // namespace

QueryOutcome QueryCamera(const ModuleLibrary& module, const std::string& address, uint16_t port,
                         const std::string& user, const std::string& password, bool videoStandard,
                         double timeoutSeconds, StopSignal* stop) {
    QueryOutcome outcome;
    auto init = reinterpret_cast<InitCapabilityQueryFn>(module.Symbol("InitCapabilityQuery"));
    auto start = reinterpret_cast<StartCapabilityQueryFn>(module.Symbol("StartCapabilityQuery"));
    auto terminate =
        reinterpret_cast<TerminateCapabilityQueryFn>(module.Symbol("TerminateCapabilityQuery"));
    auto uninit = reinterpret_cast<UninitCapabilityQueryFn>(module.Symbol("UninitCapabilityQuery"));
    if (!init || !start || !terminate || !uninit) {
        outcome.error = "the module " + module.path() + " has no capability query exports";
        return outcome;
    }
    // The host objects outlive the query: uninit comes before they go.
    host::CapabilityCallback callback;
    host::CapabilityResults results;
    if (init(&callback, videoStandard) != 1) {
        outcome.error = "the module already has a capability query set up";
        return outcome;
    }
    if (start(address.c_str(), port, user.c_str(), password.c_str(), &results) != 1) {
        uninit();
        outcome.error = "the module could not start its query";
        return outcome;
    }
    if (!WaitForOutcome(callback, timeoutSeconds, stop)) {
        terminate();
        uninit();
        if (stop != nullptr && stop->Requested()) {
            outcome.error = "interrupted";
        } else {
            outcome.cause = FailureCause::kNoAnswer;
            outcome.error = Format("the camera did not finish the capability query within %g s",
                                   timeoutSeconds);
        }
        return outcome;
    }
    uninit();
    if (callback.Failed() > 0) {
        outcome.error = "the capability query did not identify the camera (the module says: " +
                        callback.LastMessage() +
                        Format(", error %d)", static_cast<int>(callback.LastErrorCode()));
        return outcome;
    }
    outcome.ok = true;
    outcome.id = Read(results, address, port);
    return outcome;
}

std::string FormatIdentificationTable(const Identification& id) {
    std::vector<std::pair<std::string, std::string>> rows;
    rows.push_back({"model", id.model + (id.vendor.empty() ? "" : " (" + id.vendor + ")")});
    rows.push_back({"family", FamilyName(id.family)});
    rows.push_back({"digital inputs", std::to_string(id.inputs)});
    rows.push_back({"digital outputs", std::to_string(id.outputs)});
    rows.push_back({"PTZ head", id.ptz ? "yes" : "no"});
    rows.push_back({"preset file", id.presetFile.empty() ? "(none)" : id.presetFile});
    rows.push_back({"centre command", id.centerSupported ? "supported" : "not supported"});
    rows.push_back({"firmware", id.firmware.empty() ? "(unknown)" : id.firmware});
    rows.push_back({"codecs", Joined(id.codecs, ", ")});
    std::vector<std::string> sizes;
    for (const auto& r : id.resolutions) {
        sizes.push_back(std::to_string(r.width) + "x" + std::to_string(r.height) + " (" +
                        std::to_string(r.intervalMs) + " ms)");
    }
    rows.push_back({"picture sizes", Joined(sizes, ", ")});
    std::vector<std::string> rates;
    for (const unsigned rate : id.frameRates) {
        rates.push_back(std::to_string(rate));
    }
    rows.push_back({"frame rates", Joined(rates, ", ") + " per second"});

    std::string text = "Camera at " + id.address + ":" + std::to_string(id.port) + "\n";
    for (const auto& [name, value] : rows) {
        char line[64];
        std::snprintf(line, sizeof line, "  %-17s ", name.c_str());
        text += line + value + "\n";
    }
    text += "Driver parameters (handed back to the driver at open)\n";
    for (const auto& p : id.driverParameters) {
        char line[96];
        std::snprintf(line, sizeof line, "  %d  %-33s ", p.index, p.name.c_str());
        text += line + p.value + "\n";
    }
    return text;
}

std::string FormatIdentificationJson(const Identification& id) {
    std::string j = "{\n";
    auto field = [&](const char* key, const std::string& value, bool last = false) {
        j += std::string("  \"") + key + "\": " + value + (last ? "\n" : ",\n");
    };
    field("ok", "true");
    field("address", Json(id.address));
    field("port", std::to_string(id.port));
    field("deviceName", Json(id.deviceName));
    field("vendor", JsonOrNull(id.vendor));
    field("model", Json(id.model));
    field("family", std::to_string(id.family));
    field("inputs", std::to_string(id.inputs));
    field("outputs", std::to_string(id.outputs));
    field("ptz", id.ptz ? "true" : "false");
    field("presetFile", JsonOrNull(id.presetFile));
    field("centerSupported", id.centerSupported ? "true" : "false");
    field("firmware", JsonOrNull(id.firmware));
    std::vector<std::string> codecs;
    for (const auto& codec : id.codecs) {
        codecs.push_back(Json(codec));
    }
    field("codecs", "[" + Joined(codecs, ", ") + "]");
    std::vector<std::string> sizes;
    for (const auto& r : id.resolutions) {
        sizes.push_back("{\"width\": " + std::to_string(r.width) +
                        ", \"height\": " + std::to_string(r.height) +
                        ", \"frameIntervalMs\": " + std::to_string(r.intervalMs) + "}");
    }
    field("resolutions", "[" + Joined(sizes, ", ") + "]");
    std::vector<std::string> intervals, rates;
    for (const int interval : id.frameIntervalsMs) {
        intervals.push_back(std::to_string(interval));
    }
    for (const unsigned rate : id.frameRates) {
        rates.push_back(std::to_string(rate));
    }
    field("frameIntervalsMs", "[" + Joined(intervals, ", ") + "]");
    field("frameRates", "[" + Joined(rates, ", ") + "]");
    std::vector<std::string> parameters;
    for (const auto& p : id.driverParameters) {
        parameters.push_back("{\"index\": " + std::to_string(p.index) +
                             ", \"name\": " + Json(p.name) + ", \"value\": " + Json(p.value) + "}");
    }
    field("driverParameters", "[\n    " + Joined(parameters, ",\n    ") + "\n  ]", true);
    return j + "}\n";
}

std::string FormatIdentificationLine(const Identification& id) {
    auto count = [](int n, const char* what) {
        return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
    };
    std::string line = id.deviceName + ", family " + std::to_string(id.family) + ", " +
                       count(id.inputs, "input") + ", " + count(id.outputs, "output");
    if (id.ptz) {
        line += ", PTZ head (preset file " + id.presetFile + ", centre command " +
                (id.centerSupported ? "supported" : "not supported") + ")";
    }
    if (!id.firmware.empty()) {
        line += ", firmware " + id.firmware;
    }
    return line;
}

}  // namespace camhost

#pragma once
// The module's capability query, run the way a recording server's set-up tools run it before
// any driver exists, and what it found out: model, family, pin counts, PTZ head with its preset
// file name and centre command, firmware, codecs, picture sizes, frame rates, and the five
// properties that become driver parameters 1 to 5. Shown as a table, as JSON or as one line.
#include <cstdint>
#include <string>
#include <vector>

#include "command_line.h"
#include "module_library.h"
#include "stop_signal.h"

namespace camhost {

// What a query found out, read from the host's results object.
struct Identification {
    struct Resolution {
        unsigned width = 0;
        unsigned height = 0;
        int intervalMs = 0;
    };
    struct Parameter {
        int index = 0;
        std::string name;
        std::string value;  // as the query wrote it ("(none)" for an empty one)
    };
    std::string deviceName;  // "JVC VN-V686"
    std::string vendor;      // "JVC"
    std::string model;       // "VN-V686"
    int family = 0;
    int inputs = 0;
    int outputs = 0;
    bool ptz = false;
    std::string presetFile;  // empty when none
    bool centerSupported = false;
    std::string firmware;             // empty when unknown
    std::vector<std::string> codecs;  // "MJPEG", "MPEG-4", "H.264"
    std::vector<Resolution> resolutions;
    std::vector<int> frameIntervalsMs;  // longest first
    std::vector<unsigned> frameRates;   // per second, lowest first
    std::vector<Parameter> driverParameters;
    std::string address;
    uint16_t port = 0;
};

struct QueryOutcome {
    bool ok = false;
    std::string error;                          // why not, in words a person can act on
    FailureCause cause = FailureCause::kOther;  // kNoAnswer when the time-out ended the wait
    Identification id;
};

// Runs one capability query of the camera through the loaded module. stop (may be null) ends
// the wait early, terminating the query.
QueryOutcome QueryCamera(const ModuleLibrary& module, const std::string& address, uint16_t port,
                         const std::string& user, const std::string& password, bool videoStandard,
                         double timeoutSeconds, StopSignal* stop);

std::string FormatIdentificationTable(const Identification& id);
std::string FormatIdentificationJson(const Identification& id);
// One line for the demo: "JVC VN-V686, family 1, 2 inputs, 1 output, PTZ head (...), ...".
std::string FormatIdentificationLine(const Identification& id);

}  // namespace camhost

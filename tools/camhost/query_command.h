#pragma once
// camhost query: identifies a camera through the module's capability query, as a recording
// server's set-up tools do before any driver exists: model, family, pin counts, PTZ head with
// its preset file name and centre command, firmware, codecs, picture sizes, frame rates, and
// the five properties that become driver parameters 1 to 5. Printed as a table or as JSON.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera_simulator.h"
#include "capture_options.h"
#include "capture_session.h"
#include "console.h"

namespace camhost {

struct QueryOptions {
    std::string address;
    std::optional<uint16_t> port;  // 80 when not given
    std::string user;
    std::string password;
    bool videoStandard = false;  // the query's option byte: driver parameter 1 becomes "1"
    bool json = false;
    double timeout = 60;  // seconds to wait for the outcome
    std::string module_path;
    bool simulate = false;
    std::string sim_profile = "VN-V686";
    camsim::AuthMode sim_auth = camsim::AuthMode::kNone;
    std::string sim_user = "admin";
    std::string sim_password = "jvc";
};

ParseOutcome ParseQueryArgs(const std::vector<std::string>& args, QueryOptions& out);
std::string QueryUsageText();

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
    std::string error;  // why not, in words a person can act on
    Identification id;
};

// Runs one capability query of the camera through the module at modulePath. stop (may be
// null) ends the wait early, terminating the query.
QueryOutcome QueryCamera(const std::string& modulePath, const std::string& address, uint16_t port,
                         const std::string& user, const std::string& password, bool videoStandard,
                         double timeoutSeconds, StopSignal* stop);

std::string FormatIdentificationTable(const Identification& id);
std::string FormatIdentificationJson(const Identification& id);
// One line for the demo: "JVC VN-V686, family 1, 2 inputs, 1 output, PTZ head (...), ...".
std::string FormatIdentificationLine(const Identification& id);

// 0 when the camera was identified, 1 when not.
int RunQuery(const QueryOptions& options, Console& console, StopSignal& stop,
             const std::string& defaultModule);

// The demo's first step: identifies the profile of a camera simulator started for it. Prints
// one line; false when the query failed (the reason is printed).
bool ShowSimulatedIdentification(Console& console, const std::string& profile,
                                 const std::string& modulePath);

}  // namespace camhost

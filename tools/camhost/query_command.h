#pragma once
// camhost query: identifies a camera through the module's capability query, as a recording
// server's set-up tools do before any driver exists: model, family, pin counts, PTZ head with
// its preset file name and centre command, firmware, codecs, picture sizes, frame rates, and
// the five properties that become driver parameters 1 to 5 (capability_query.h). Printed as a
// table or as JSON. A camera that is not identified is one line on standard error that says
// what happened (camera_setup.h), and with --json also the JSON error object with its cause
// on standard output (FailureJson, command_line.h).
#include <string>
#include <vector>

#include "camera_options.h"
#include "command_line.h"
#include "console.h"
#include "stop_signal.h"

namespace camhost {

struct QueryOptions {
    CameraOptions camera;        // the camera or the simulator (no model: that is the question)
    bool videoStandard = false;  // the query's option byte: driver parameter 1 becomes "1"
    bool json = false;
    double timeout = 60;  // seconds to wait for the outcome
};

ParseOutcome ParseQueryArgs(const std::vector<std::string>& args, QueryOptions& out);
std::string QueryUsageText();

// 0 when the camera was identified, 1 when not (the failure printed as the header says).
int RunQuery(const QueryOptions& options, Console& console, StopSignal& stop,
             const std::string& defaultModule);

// The demo's first step: identifies the profile of a camera simulator started for it. Prints
// one line; false when the query failed (the reason is printed).
bool ShowSimulatedIdentification(Console& console, const std::string& profile,
                                 const std::string& modulePath);

}  // namespace camhost

#pragma once
// One capture: the camera set up (camera_setup.h: the simulator, the module, the capability
// query), a driver opened against it, every channel started into a FrameWriter, live progress,
// then a clean stop and a summary.
#include <cstdint>
#include <string>
#include <vector>

#include "capture_options.h"
#include "console.h"
#include "stop_signal.h"

namespace camhost {

// What one channel did, for the summary table.
struct ChannelSummary {
    std::string label;  // "ch0", or "MJPEG ch0" in the demo
    uint64_t frames = 0;
    uint64_t keyFrames = 0;
    uint64_t bytes = 0;
    double seconds = 0;    // from its first frame to the stop
    double frameRate = 0;  // frames per second between its first and last frame
    int signalLost = 0;
    uint64_t dropped = 0;            // not written: the writer's queue was full
    unsigned width = 0, height = 0;  // of the last frame
    std::string output;              // where the frames went
    uint64_t filesWritten = 0;
};

struct CaptureResult {
    int exitCode = 1;  // 0 when every channel received frames
    bool interrupted = false;
    // What made it certain that no picture would come (a refused login, an unknown request, a
    // picture size the camera cannot give), in a user's words; empty when nothing did.
    std::string certainFailure;
    std::string error;  // a reason to stop before capturing (printed already)
    std::vector<ChannelSummary> channels;
};

// Runs a capture to its end (time, Ctrl-C, no frame within the connect time-out, or before any
// frame a driver line that makes it certain none will come), printing driver log lines and
// progress to the console, and a warning for a channel whose pictures are not of the size
// asked for. Does not print the summary.
CaptureResult RunCapture(const CaptureOptions& options, Console& console, StopSignal& stop,
                         const std::string& defaultModule);

// The summary table.
std::string FormatSummary(const std::vector<ChannelSummary>& channels);

// Why no frame came, in words a person can act on; empty when every channel had frames.
std::string ExplainNoFrames(const CaptureOptions& options, const CaptureResult& result);

}  // namespace camhost

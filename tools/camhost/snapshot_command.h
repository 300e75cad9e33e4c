#pragma once
// camhost snapshot: one JPEG picture of a camera's channel, through the driver module as a
// recording server gets it, written to a file. The driver waits its usual 3 s before it opens
// a stream, so a snapshot takes a few seconds.
#include <string>
#include <vector>

#include "camera_options.h"
#include "command_line.h"
#include "console.h"
#include "stop_signal.h"
#include "video_options.h"

namespace camhost {

struct SnapshotOptions {
    CameraOptions camera;
    VideoOptions video;  // MJPEG only: the size and quality of the picture
    unsigned channel = 0;
    double timeout = 15;  // seconds to wait for the picture
    std::string out = "snapshot.jpg";
};

ParseOutcome ParseSnapshotArgs(const std::vector<std::string>& args, SnapshotOptions& out);
std::string SnapshotUsageText();

// Exit status: 0 with the picture written, 1 without one.
int RunSnapshot(const SnapshotOptions& options, Console& console, StopSignal& stop,
                const std::string& defaultModule);

}  // namespace camhost

#pragma once
// The video a command asks the driver for (capture, serve): stream type, picture size, frame
// rate and quality, read from the command line and described in the commands' help.
#include <optional>
#include <string>
#include <utility>

#include "command_line.h"
#include "reference_host.h"

namespace camhost {

enum class StreamKind { kMjpeg = 1, kMpeg4 = 2 };  // the values are the driver's stream types

const char* StreamName(StreamKind kind);  // "MJPEG", "MPEG-4"

struct VideoOptions {
    StreamKind stream = StreamKind::kMjpeg;
    unsigned width = 640;
    unsigned height = 480;
    unsigned fps = 10;  // 0: the camera's own rate
    unsigned quality = 50;

    // The host's video settings of a channel: the size, the frame interval in ms (0 for the
    // camera's rate), the quality.
    host::VideoSettings Settings() const;
};

// Takes `option` (just read from reader, its value after it) when it is --stream, --size,
// --fps or --quality; false when it is none of them. A bad value is recorded in reader.
bool TakeVideoOption(const std::string& option, ArgReader& reader, VideoOptions& out);

// The help lines of the video options.
std::string VideoUsageText();

// "640x480" -> {640, 480}; nullopt unless both are 16 .. 4096.
std::optional<std::pair<unsigned, unsigned>> ParseSize(const std::string& text);

}  // namespace camhost

#include "video_options.h"

namespace camhost {

const char* StreamName(StreamKind kind) {
    return kind == StreamKind::kMpeg4 ? "MPEG-4" : "MJPEG";
}

std::optional<std::pair<unsigned, unsigned>> ParseSize(const std::string& text) {
    const auto x = text.find_first_of("xX");
    if (x == std::string::npos) {
        return std::nullopt;
    }
    auto w = ParseNumber(text.substr(0, x), 16, 4096);
    auto h = ParseNumber(text.substr(x + 1), 16, 4096);
    if (!w || !h) {
        return std::nullopt;
    }
    return std::make_pair(static_cast<unsigned>(*w), static_cast<unsigned>(*h));
}

host::VideoSettings VideoOptions::Settings() const {
    const uint16_t interval = fps ? static_cast<uint16_t>((1000 + fps / 2) / fps) : 0;
    return host::VideoSettings(static_cast<uint16_t>(width), static_cast<uint16_t>(height),
                               interval, static_cast<uint16_t>(quality));
}

bool TakeVideoOption(const std::string& option, ArgReader& reader, VideoOptions& out) {
    if (option == "--stream") {
        if (auto v = reader.Value(option)) {
            if (*v == "mjpeg" || *v == "jpeg") {
                out.stream = StreamKind::kMjpeg;
            } else if (*v == "mpeg4" || *v == "mpeg-4") {
                out.stream = StreamKind::kMpeg4;
            } else {
                reader.Fail("--stream must be mjpeg or mpeg4");
            }
        }
    } else if (option == "--size") {
        if (auto v = reader.Value(option)) {
            if (auto size = ParseSize(*v)) {
                out.width = size->first;
                out.height = size->second;
            } else {
                reader.Fail("--size must be WIDTHxHEIGHT, each 16..4096 (e.g. 640x480)");
            }
        }
    } else if (option == "--fps") {
        if (auto n = reader.Number(option, 0, 30)) {
            out.fps = static_cast<unsigned>(*n);
        }
    } else if (option == "--quality") {
        if (auto n = reader.Number(option, 1, 100)) {
            out.quality = static_cast<unsigned>(*n);
        }
    } else {
        return false;
    }
    return true;
}

std::string VideoUsageText() {
    return "\nVideo:\n"
           "  --stream mjpeg|mpeg4   the stream type (default mjpeg)\n"
           "  --size WxH             the picture size, each 16..4096 (default 640x480)\n"
           "  --fps N                pictures per second, 0..30 (default 10; 0: the camera's)\n"
           "  --quality Q            the picture quality, 1..100 (default 50)\n";
}

}  // namespace camhost

#include "param_store.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace camsim::detail {
namespace {

std::string Lower(std::string s) {
    for (auto& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

bool AllDigits(const std::string& s) {
    return !s.empty() && s.size() <= 9 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool UnsignedIn(const std::string& s, unsigned long lo, unsigned long hi, unsigned long* out) {
    if (!AllDigits(s)) {
        return false;
    }
    const unsigned long v = std::strtoul(s.c_str(), nullptr, 10);
    if (v < lo || v > hi) {
        return false;
    }
    if (out) {
        *out = v;
    }
    return true;
}

// The index N of "prefix(N)..." or -1.
int IndexAfter(const std::string& name, const std::string& prefix) {
    if (name.rfind(prefix, 0) != 0) {
        return -1;
    }
    const size_t close = name.find(')', prefix.size());
    if (close == std::string::npos) {
        return -1;
    }
    unsigned long n = 0;
    return UnsignedIn(name.substr(prefix.size(), close - prefix.size()), 0, 99, &n)
               ? static_cast<int>(n)
               : -1;
}

int PositionIndex(const std::string& name) {
    return IndexAfter(name, "camera.position(");
}
int PinIndex(const std::string& name) {
    return IndexAfter(name, "peripheral.output_pin.pin(");
}

// A decimal number with up to `max_int` integer and up to 2 fraction digits, at most `limit`.
bool DecimalUpTo(const std::string& s, size_t max_int, double limit) {
    const size_t dot = s.find('.');
    const std::string whole = s.substr(0, dot);
    if (whole.empty() || whole.size() > max_int || !AllDigits(whole)) {
        return false;
    }
    if (dot != std::string::npos) {
        const std::string frac = s.substr(dot + 1);
        if (frac.empty() || frac.size() > 2 || !AllDigits(frac)) {
            return false;
        }
    }
    return std::atof(s.c_str()) <= limit;
}

// "sX-sY" (pixels of a 640 x 480 picture) or "X.XX-Y.YY" (per cent of the picture).
bool ValidClick(const std::string& v) {
    const size_t dash = v.find('-');
    if (dash == std::string::npos) {
        return false;
    }
    const std::string x = v.substr(0, dash), y = v.substr(dash + 1);
    if (!x.empty() && x[0] == 's') {
        return y.size() > 1 && y[0] == 's' && UnsignedIn(x.substr(1), 0, 640, nullptr) &&
               UnsignedIn(y.substr(1), 0, 480, nullptr);
    }
    return DecimalUpTo(x, 3, 100.0) && DecimalUpTo(y, 3, 100.0);
}

std::string PositionName(int n, const char* field) {
    return "camera.position(" + std::to_string(n) + ")." + field;
}

constexpr int kBadRequest = 400;

}  // namespace

const char* StatusWord(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "BadRequest";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "NotFound";
        case 500:
            return "InternalError";
        case 503:
            return "ServiceUnavailable";
        default:
            return status / 100 == 2 ? "OK" : "Error";
    }
}

std::string FormatLine(const DataLine& line) {
    const std::string tail = "&" + std::to_string(line.status) + " " +
                             (line.word.empty() ? StatusWord(line.status) : line.word);
    if (line.write || line.status == 401) {
        return line.name + tail;
    }
    return line.name + "=" + line.value + tail;
}

bool ParamStore::Allowed(Role role, const std::string& name, bool write) {
    if (role != Role::kUser) {
        return true;
    }
    if (write) {
        return false;
    }
    auto ends_with = [&](const std::string& tail) {
        return name.size() >= tail.size() &&
               name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
    };
    // The makers list PTZ status, preset titles and output state as open to "user"; the
    // input state and the identification are not documented and are open here as well.
    if (name.rfind("camera.motion.", 0) == 0 || name.rfind("camera.focus.", 0) == 0) {
        return ends_with(".status");
    }
    if (name.rfind("camera.position(", 0) == 0 || name.rfind("peripheral.", 0) == 0) {
        return ends_with(".comment") || ends_with(".status");
    }
    return name.rfind("system.model", 0) == 0 || name.rfind("system.software.", 0) == 0 ||
           name == "network.interface.mac";
}

ParamStore::ParamStore(const ProfileInfo& profile, int input_pins, int output_pins)
    : profile_(profile), inputs_(input_pins), outputs_(output_pins) {
    const bool family1 = profile.family == 1;
    Add("system.model", profile.model, Rule::kReadOnly);
    Add("network.interface.mac", profile.mac, Rule::kReadOnly);
    Add("system.software.revision", family1 ? "2.10" : "1.30", Rule::kReadOnly);
    Add("system.software.revision(net)", family1 ? "2.10" : "1.30", Rule::kReadOnly);
    Add("system.software.revision(cam)", family1 ? "1.05" : "1.10", Rule::kReadOnly);
    if (profile.ptz) {
        Add("system.software.revision(sys)", profile.sys_revision, Rule::kReadOnly);
    }
    if (family1) {
        Add("encode(1).framesize", "vga", Rule::kFrameSizeJpeg);
        Add("encode(2).framesize", "vga", Rule::kFrameSizeMpeg4);
    } else {
        Add("system.mode", "pattern3", Rule::kSystemMode);
    }
    Add("encode(1).cbr_mode", "off", Rule::kCbrMode);
    Add("encode(1).quality", "40k", Rule::kQuality);
    Add("encode(1).status", "ready", Rule::kEncodeStatus);
    Add("encode(2).bitrate", "1024000", Rule::kBitrate);
    Add("encode(2).framerate", "15", Rule::kFrameRate);
    Add("encode(2).iframeinterval", "30", Rule::kIFrameInterval);
    Add("encode(2).status", "ready", Rule::kEncodeStatus);
    for (int n = 1; n <= inputs_; ++n) {
        Add("peripheral.input_pin.pin(" + std::to_string(n) + ").status", "break", Rule::kReadOnly);
    }
    for (int n = 1; n <= outputs_; ++n) {
        const std::string p = "peripheral.output_pin.pin(" + std::to_string(n) + ").";
        Add(p + "status", "break", Rule::kOutputStatus);
        Add(p + "duration", "0", Rule::kOutputDuration);
    }
    if (profile.ptz) {
        for (const char* axis : {"pan", "tilt", "zoom"}) {
            const std::string p = std::string("camera.motion.") + axis + ".";
            Add(p + "speed", "50", Rule::kSpeed);
            Add(p + "mode",
                axis == std::string("pan")    ? "left"
                : axis == std::string("tilt") ? "up"
                                              : "in",
                axis == std::string("pan")    ? Rule::kPanMode
                : axis == std::string("tilt") ? Rule::kTiltMode
                                              : Rule::kZoomMode);
            Add(p + "status", "stop", Rule::kMotionStatus);
        }
        Add("camera.motion.zoom", "0.00", Rule::kZoomPosition);
        Add("camera.motion.position.speed", "50", Rule::kSpeed);
        Add("camera.motion.clickoncenter", "", Rule::kClickOnCenter);
        Add("camera.focus.mode", "auto", Rule::kFocusMode);
        Add("camera.focus.speed", "50", Rule::kSpeed);
        Add("camera.focus.status", "stop", Rule::kMotionStatus);
        for (int n = 0; n <= 99; ++n) {
            // Position 0 is the home position, registered at the factory.
            Add(PositionName(n, "status"), n == 0 ? "registered" : "unregistered",
                Rule::kPositionStatus);
            Add(PositionName(n, "comment"), n == 0 ? "Home" : "", Rule::kComment);
        }
        head_.pan.speed = head_.tilt.speed = head_.zoom.speed = head_.focus.speed = 50;
        head_.pan.mode = "left";
        head_.tilt.mode = "up";
        head_.zoom.mode = "in";
        head_.focus.mode = "auto";
        head_.position_speed = 50;
    }
}

void ParamStore::Add(const std::string& name, const std::string& value, Rule rule) {
    entries_[name] = Entry{value, rule};
}

bool ParamStore::ClickSupported() const {
    // The first VN-V686 firmware (PTZ revision 1.03 and older) has no click-on-centre command.
    if (Lower(profile_.name) != "vn-v686") {
        return true;
    }
    auto it = entries_.find("system.software.revision(sys)");
    if (it == entries_.end()) {
        return true;
    }
    unsigned major = 0, minor = 0;
    if (std::sscanf(it->second.value.c_str(), "%u.%u", &major, &minor) != 2) {
        return true;
    }
    return !(major == 0 || (major == 1 && minor <= 3));
}

DataLine ParamStore::Read(const std::string& name) const {
    auto it = entries_.find(name);
    if (it == entries_.end() || (name == "camera.motion.clickoncenter" && !ClickSupported())) {
        return DataLine{name, "", 404, false, ""};
    }
    return DataLine{name, it->second.value, 200, false, ""};
}

DataLine ParamStore::Write(const std::string& name, const std::string& value) {
    auto it = entries_.find(name);
    if (it == entries_.end() || (name == "camera.motion.clickoncenter" && !ClickSupported())) {
        return DataLine{name, "", 404, true, ""};
    }
    if (it->second.rule == Rule::kReadOnly) {
        return DataLine{name, "", 403, true, ""};
    }
    const int status = Apply(name, it->second, value);
    if (status == 200 && name == "camera.motion.position.speed") {
        // The speed of going to a preset lasts once the camera settings are saved: the
        // camera answers 202 and names the request that saves them.
        return DataLine{name, "", 202, true, "Accepted(camera.status=save)"};
    }
    // The camera answers a write with its name and status, never with the value.
    return DataLine{name, "", status, true, ""};
}

int ParamStore::Apply(const std::string& name, Entry& entry, const std::string& raw) {
    const std::string value = Lower(raw);
    auto axis_of = [&](const std::string& n) -> PtzAxisState* {
        if (n.rfind("camera.motion.pan.", 0) == 0)
            return &head_.pan;
        if (n.rfind("camera.motion.tilt.", 0) == 0)
            return &head_.tilt;
        if (n.rfind("camera.motion.zoom.", 0) == 0)
            return &head_.zoom;
        if (n.rfind("camera.focus.", 0) == 0)
            return &head_.focus;
        return nullptr;
    };
    switch (entry.rule) {
        case Rule::kReadOnly:
            return 403;
        case Rule::kFrameSizeJpeg:
            if (value != "qvga" && value != "vga" && value != "quadvga")
                return kBadRequest;
            entry.value = value;
            return 200;
        case Rule::kFrameSizeMpeg4:
            if (value != "qvga" && value != "vga")
                return kBadRequest;
            entry.value = value;
            return 200;
        case Rule::kSystemMode:
            if (value != "pattern1" && value != "pattern3" && value != "pattern4")
                return kBadRequest;
            entry.value = value;
            return 200;
        case Rule::kCbrMode:
            if (value != "off" && value != "vfs" && value != "cbr")
                return kBadRequest;
            entry.value = value;
            return 200;
        case Rule::kQuality: {
            if (value.size() < 2 || value.back() != 'k' ||
                !UnsignedIn(value.substr(0, value.size() - 1), 1, 10000, nullptr)) {
                return kBadRequest;
            }
            entry.value = value;
            return 200;
        }
        case Rule::kBitrate:
            if (!UnsignedIn(value, 64000, 8000000, nullptr))
                return kBadRequest;
            entry.value = value;
            return 200;
        case Rule::kFrameRate:
            if (value != "7.5" && !UnsignedIn(value, 1, 30, nullptr))
                return kBadRequest;
            entry.value = value;
            return 200;
        case Rule::kIFrameInterval:
            if (!UnsignedIn(value, 1, 300, nullptr))
                return kBadRequest;
            entry.value = value;
            return 200;
        case Rule::kEncodeStatus:
            if (value != "save")
                return kBadRequest;
            ++saves_[name == "encode(1).status" ? 1 : 2];
            return 200;
        case Rule::kSpeed: {
            unsigned long speed = 0;
            if (!UnsignedIn(value, 1, 100, &speed))
                return kBadRequest;
            entry.value = value;
            if (name == "camera.motion.position.speed") {
                head_.position_speed = static_cast<unsigned>(speed);
            } else if (auto* axis = axis_of(name)) {
                axis->speed = static_cast<unsigned>(speed);
            }
            return 200;
        }
        case Rule::kPanMode:
            if (value != "left" && value != "right")
                return kBadRequest;
            entry.value = value;
            head_.pan.mode = value;
            return 200;
        case Rule::kTiltMode:
            if (value != "up" && value != "down")
                return kBadRequest;
            entry.value = value;
            head_.tilt.mode = value;
            return 200;
        case Rule::kZoomMode:
            if (value != "in" && value != "out")
                return kBadRequest;
            entry.value = value;
            head_.zoom.mode = value;
            return 200;
        case Rule::kFocusMode:
            if (value != "far" && value != "near" && value != "auto" && value != "manual") {
                return kBadRequest;
            }
            entry.value = value;
            head_.focus.mode = value;
            return 200;
        case Rule::kMotionStatus: {
            if (value != "start" && value != "stop")
                return kBadRequest;
            entry.value = value;
            if (auto* axis = axis_of(name)) {
                axis->moving = value == "start";
                ++(axis->moving ? axis->starts : axis->stops);
            }
            return 200;
        }
        case Rule::kZoomPosition: {
            if (!DecimalUpTo(value, 1, 1.0))
                return kBadRequest;
            entry.value = value;
            head_.zoom_position = value;
            return 200;
        }
        case Rule::kClickOnCenter: {
            if (!ValidClick(value))
                return kBadRequest;
            entry.value = value;
            head_.clicks.push_back(value);
            if (head_.clicks.size() > 100) {
                head_.clicks.erase(head_.clicks.begin());
            }
            return 200;
        }
        case Rule::kPositionStatus: {
            const int n = PositionIndex(name);
            auto& comment = entries_[PositionName(n, "comment")];
            if (value == "save") {
                entry.value = "registered";
            } else if (value == "initialize") {
                entry.value = "unregistered";
                comment.value.clear();
            } else if (value == "goto") {
                if (entry.value != "registered")
                    return kBadRequest;
                head_.last_goto = n;
                ++head_.gotos;
                head_.pan.moving = head_.tilt.moving = head_.zoom.moving = false;
            } else {
                return kBadRequest;
            }
            return 200;
        }
        case Rule::kComment:
            if (raw.size() > 64)
                return kBadRequest;
            entry.value = raw;  // comments keep their case
            return 200;
        case Rule::kOutputDuration:
            if (!UnsignedIn(value, 0, 3600, nullptr))
                return kBadRequest;
            entry.value = value;
            return 200;
        case Rule::kOutputStatus:
            if (value != "make" && value != "break")
                return kBadRequest;
            entry.value = value;
            ++output_writes_[PinIndex(name)];
            return 200;
    }
    return kBadRequest;
}

std::optional<std::string> ParamStore::Get(const std::string& name) const {
    auto it = entries_.find(name);
    if (it == entries_.end()) {
        return std::nullopt;
    }
    return it->second.value;
}

void ParamStore::Set(const std::string& name, const std::string& value) {
    auto it = entries_.find(name);
    if (it == entries_.end()) {
        entries_[name] = Entry{value, Rule::kReadOnly};
    } else {
        it->second.value = value;
    }
}

void ParamStore::Remove(const std::string& name) {
    entries_.erase(name);
}

std::map<std::string, std::string> ParamStore::All() const {
    std::map<std::string, std::string> out;
    for (const auto& [name, entry] : entries_) {
        out[name] = entry.value;
    }
    return out;
}

PresetState ParamStore::preset(int position) const {
    PresetState state;
    if (auto s = Get(PositionName(position, "status"))) {
        state.registered = *s == "registered";
    }
    if (auto c = Get(PositionName(position, "comment"))) {
        state.comment = *c;
    }
    return state;
}

uint64_t ParamStore::save_count(int encoder) const {
    return encoder == 1 || encoder == 2 ? saves_[static_cast<size_t>(encoder)] : 0;
}

std::optional<OutputPinState> ParamStore::output_pin(int pin) const {
    if (pin < 1 || pin > outputs_) {
        return std::nullopt;
    }
    const std::string p = "peripheral.output_pin.pin(" + std::to_string(pin) + ").";
    OutputPinState state;
    state.status = Get(p + "status").value_or("");
    state.duration = Get(p + "duration").value_or("");
    auto it = output_writes_.find(pin);
    state.writes = it == output_writes_.end() ? 0 : it->second;
    return state;
}

std::pair<unsigned, unsigned> ParamStore::JpegSize() const {
    const std::string v =
        Lower(Get(profile_.family == 1 ? "encode(1).framesize" : "system.mode").value_or(""));
    if (v == "qvga" || v == "pattern4")
        return {320, 240};
    if (v == "quadvga" || v == "pattern1")
        return {1280, 960};
    return {640, 480};
}

std::pair<unsigned, unsigned> ParamStore::Mpeg4Size() const {
    const std::string v =
        Lower(Get(profile_.family == 1 ? "encode(2).framesize" : "system.mode").value_or(""));
    if (v == "qvga" || v == "pattern4")
        return {320, 240};
    if (v == "pattern1")
        return {704, 576};
    return {640, 480};
}

double ParamStore::Mpeg4FrameRate() const {
    const double rate = std::atof(Get("encode(2).framerate").value_or("15").c_str());
    return rate > 0 ? std::min(rate, 30.0) : 15.0;
}

}  // namespace camsim::detail

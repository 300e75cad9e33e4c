#pragma once
// The parameter store of the simulated camera: the parameters of a profile, how a camera
// validates writes to them, and the state behind them (PTZ head, presets, pins, encoders).
// Not thread-safe: the simulator holds its lock around every call.
#include <array>
#include <deque>
#include <map>
#include <optional>
#include <string>

#include "camera_simulator.h"

namespace camsim::detail {

// One data line of an answer: a read's is name "=" value "&" status " " word; a write's, and
// a refusal for want of rights, name "&" status " " word, with no value.
struct DataLine {
    std::string name;
    std::string value;
    int status = 200;
    bool write = false;
    std::string word;  // empty: StatusWord(status)
};

// The one word after a line status ("OK", "NotFound", ...).
const char* StatusWord(int status);
std::string FormatLine(const DataLine& line);

class ParamStore {
  public:
    ParamStore(const ProfileInfo& profile, int input_pins, int output_pins);

    DataLine Read(const std::string& name) const;
    DataLine Write(const std::string& name, const std::string& value);
    // Whether a user may read or write a parameter. Admin and operator may use every
    // parameter; user may only read the PTZ state, preset titles and states, pin states and
    // the camera's identification.
    static bool Allowed(Role role, const std::string& name, bool write);

    std::optional<std::string> Get(const std::string& name) const;
    void Set(const std::string& name, const std::string& value);  // unchecked; creates
    void Remove(const std::string& name);
    std::map<std::string, std::string> All() const;

    const HeadState& head() const { return head_; }
    PresetState preset(int position) const;
    uint64_t save_count(int encoder) const;
    std::optional<OutputPinState> output_pin(int pin) const;
    int input_pins() const { return inputs_; }
    int output_pins() const { return outputs_; }

    // Picture sizes the streams use now.
    std::pair<unsigned, unsigned> JpegSize() const;
    std::pair<unsigned, unsigned> Mpeg4Size() const;
    double Mpeg4FrameRate() const;

  private:
    enum class Rule {
        kReadOnly,
        kFrameSizeJpeg,   // qvga, vga, quadvga
        kFrameSizeMpeg4,  // qvga, vga
        kSystemMode,      // pattern1, pattern3, pattern4
        kCbrMode,         // off, vfs, cbr
        kQuality,         // <digits>k, 1..10000
        kBitrate,         // 64000..8000000
        kFrameRate,       // 1..30 or 7.5
        kIFrameInterval,  // 1..300
        kEncodeStatus,    // save
        kSpeed,           // 1..100
        kPanMode,
        kTiltMode,
        kZoomMode,
        kFocusMode,
        kMotionStatus,    // start, stop
        kZoomPosition,    // 0.00..1.00
        kClickOnCenter,   // sX-sY or X.XX-Y.YY (percent)
        kPositionStatus,  // save, goto, initialize
        kComment,         // up to 64 characters
        kOutputDuration,  // 0..3600
        kOutputStatus,    // make, break
    };
    struct Entry {
        std::string value;
        Rule rule = Rule::kReadOnly;
    };
    void Add(const std::string& name, const std::string& value, Rule rule);
    bool ClickSupported() const;
    // Validates and applies; returns the line status (200 when stored).
    int Apply(const std::string& name, Entry& entry, const std::string& value);

    ProfileInfo profile_;
    int inputs_ = 0, outputs_ = 0;
    std::map<std::string, Entry> entries_;
    HeadState head_;
    std::array<uint64_t, 3> saves_{};
    std::map<int, uint64_t> output_writes_;
};

}  // namespace camsim::detail

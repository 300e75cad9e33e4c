#pragma once
// The reference host: a complete, thread-safe implementation of every host object the module
// calls, used by the tests and by the command-line host.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "jvc_ipcapture/capability.h"
#include "jvc_ipcapture/capture_io.h"
#include "jvc_ipcapture/debug_message.h"
#include "jvc_ipcapture/device_config.h"
#include "jvc_ipcapture/host_frame.h"

namespace host {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A recorder that tests can wait on: every change notifies waiters.
class Waitable {
  protected:
    // Waits until pred() holds (checked under the lock) or the time-out passes.
    template <typename Pred>
    bool WaitUntil(Pred pred, milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, timeout, pred);
    }
    void Notify() { m_cond.notify_all(); }

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
};

// ---- Logging ----

struct LogRecord {
    int level = 0;
    std::optional<std::string> text;  // nullopt when the module passed a null text
};

class LogSink : public IDebugMessageSink, public Waitable {
  public:
    void Write(CDebugInfoIf* record) override;

    std::vector<LogRecord> Records() const;
    size_t Count() const;
    // Records whose text contains the fragment.
    size_t CountContaining(const std::string& fragment) const;
    bool WaitForText(const std::string& fragment, milliseconds timeout, size_t count = 1);
    void Clear();
    // Called for every record as it arrives (on the module's thread), e.g. to print it.
    void SetEcho(std::function<void(const LogRecord&)> echo);

  private:
    std::vector<LogRecord> m_records;
    std::function<void(const LogRecord&)> m_echo;
};

// ---- Device configuration ----

struct DeviceSettings {
    std::string address = "127.0.0.1";
    uint16_t port = 80;
    std::string userName;
    std::string password;
    int streamType = 1;
    std::string model = "VN-V686";
    int cameraCount = 1;
    int inputCount = 0;
    int outputCount = 0;
    std::map<int, std::string> parameters;  // driver parameters 1, 2, 3, ...
};

class DeviceConfig : public vostrel::ipcapture::IIPDeviceConfig {
  public:
    explicit DeviceConfig(DeviceSettings settings);

    vostrel::ipcapture::IIPCameraSettings* GetCameraSettings() override { return &m_camera; }
    vostrel::ipcapture::IIPConnectionSettings* GetConnectionSettings() override {
        return &m_connection;
    }
    const char* GetDriverParameter(int index) override;
    DeviceSettings& Settings() { return m_settings; }

  private:
    class Camera : public vostrel::ipcapture::IIPCameraSettings {
      public:
        explicit Camera(DeviceSettings& s) : m_s(s) {}
        const char* GetModelName() override { return m_s.model.c_str(); }
        int GetCameraCount() override { return m_s.cameraCount; }
        int GetInputCount() override { return m_s.inputCount; }
        int GetOutputCount() override { return m_s.outputCount; }

      private:
        DeviceSettings& m_s;
    };
    class Connection : public vostrel::ipcapture::IIPConnectionSettings {
      public:
        explicit Connection(DeviceSettings& s) : m_s(s) {}
        const char* GetAddress() override { return m_s.address.c_str(); }
        uint16_t GetPort() override { return m_s.port; }
        int GetStreamType() override { return m_s.streamType; }
        const char* GetUserName() override { return m_s.userName.c_str(); }
        const char* GetPassword() override { return m_s.password.c_str(); }

      private:
        DeviceSettings& m_s;
    };

    DeviceSettings m_settings;
    Camera m_camera{m_settings};
    Connection m_connection{m_settings};
};

// ---- Frames ----

// A frame that owns its buffer; every setter is recorded.
class Frame : public vostrel::ipcapture::IHostFrame {
  public:
    Frame(uint32_t fourcc, unsigned capacity, std::string creator, bool throwing = false);

    uint8_t* GetBuffer() override { return Checked(m_buffer.data()); }
    void SetDataSize(unsigned size) override { m_dataSize = Checked(size); }
    int Prepare() override;
    void SetFormat(uint32_t fourcc) override { m_format = Checked(fourcc); }
    void SetHeight(unsigned height) override { m_height = Checked(height); }
    void SetWidth(unsigned width) override { m_width = Checked(width); }
    void SetSizeClass(int sizeClass) override { m_sizeClass = Checked(sizeClass); }

    uint32_t createFourcc;
    unsigned capacity;
    std::string creator;
    std::vector<uint8_t> m_buffer;
    unsigned m_dataSize = 0;
    uint32_t m_format = 0;
    unsigned m_width = 0;
    unsigned m_height = 0;
    int m_sizeClass = 0;
    bool m_prepared = false;
    bool m_preparedAfterFields = false;  // Prepare came after format, size and size class
    // A broken host: every method of the frame throws.
    bool throws = false;

  private:
    template <typename T>
    T Checked(T value) const {
        if (throws) {
            throw std::runtime_error("host frame failure");
        }
        return value;
    }
};

class FrameFactory : public vostrel::ipcapture::IHostFrameFactory {
  public:
    vostrel::ipcapture::IHostFrame* CreateFrame(uint32_t fourcc, unsigned capacity,
                                                const char* creator) override;
    void ReleaseFrame(vostrel::ipcapture::IHostFrame* frame) override;

    // Frames created and not yet released.
    int Outstanding() const;
    int Created() const;
    std::vector<unsigned> Capacities() const;
    // Makes CreateFrame answer null while set.
    void SetRefuseCreate(bool refuse);
    // Makes the frames created while set throw from every method.
    void SetThrowingFrames(bool throwing);

  private:
    mutable std::mutex m_mutex;
    int m_outstanding = 0;
    int m_created = 0;
    std::vector<unsigned> m_capacities;
    bool m_refuseCreate = false;
    bool m_throwingFrames = false;
};

// What a sink keeps of a delivered frame: a copy of its fields and data.
struct ReceivedFrame {
    uint32_t fourcc = 0;
    unsigned width = 0;
    unsigned height = 0;
    int sizeClass = 0;
    unsigned capacity = 0;
    std::vector<uint8_t> data;
    bool preparedAfterFields = false;
    Clock::time_point when;
};

class FrameSink : public vostrel::ipcapture::IHostFrameSink, public Waitable {
  public:
    bool OnFrame(vostrel::ipcapture::IHostFrame* frame) override;
    void OnSignalLost() override;

    size_t FrameCount() const;
    std::vector<ReceivedFrame> Frames() const;
    int SignalLostCount() const;
    bool WaitForFrames(size_t count, milliseconds timeout);
    bool WaitForSignalLost(int count, milliseconds timeout);
    bool WaitForRefused(int count, milliseconds timeout);
    // Refuse the next n frames (each refused frame is counted, not kept).
    void RefuseNext(int n);
    void SetRefuseAll(bool refuse);
    int RefusedCount() const;
    // Keep at most this many frames' data (older ones are dropped; counts go on).
    void SetKeepLimit(size_t limit);
    // A broken host: OnFrame throws (after counting the call as a refusal) while set.
    void SetThrowOnFrame(bool on);
    // A broken host: OnSignalLost throws (after counting the call) while set.
    void SetThrowOnSignalLost(bool on);
    // Times of the calls, for timing checks.
    Clock::time_point LastRefusalTime() const;
    Clock::time_point LastSignalLostTime() const;
    void Clear();

  private:
    std::vector<ReceivedFrame> m_frames;
    size_t m_total = 0;
    size_t m_keepLimit = SIZE_MAX;
    int m_signalLost = 0;
    int m_refuseNext = 0;
    bool m_refuseAll = false;
    int m_refused = 0;
    bool m_throwOnFrame = false;
    bool m_throwOnSignalLost = false;
    Clock::time_point m_lastRefusal{};
    Clock::time_point m_lastSignalLost{};
};

// ---- Video settings ----

class VideoSettings : public vostrel::ipcapture::IHostVideoSettings {
  public:
    VideoSettings(uint16_t width, uint16_t height, uint16_t intervalMs, uint16_t quality,
                  int wantsCompanion = 0);

    vostrel::ipcapture::IHostPicture* GetPicture() override { return &m_picture; }
    vostrel::ipcapture::IHostEncoding* GetEncoding() override { return &m_encoding; }

    class Size : public vostrel::ipcapture::IHostSize {
      public:
        Size(uint16_t w, uint16_t h) : width(w), height(h) {}
        uint16_t GetWidth() override { return width; }
        uint16_t GetHeight() override { return height; }
        uint16_t width;
        uint16_t height;
    };
    class Picture : public vostrel::ipcapture::IHostPicture {
      public:
        explicit Picture(Size& size) : m_size(size) {}
        vostrel::ipcapture::IHostSize* GetSize() override { return &m_size; }

      private:
        Size& m_size;
    };
    class Encoding : public vostrel::ipcapture::IHostEncoding {
      public:
        uint16_t GetFrameInterval() override { return interval; }
        uint16_t GetQuality() override { return quality; }
        int WantsCompanion() override { return companion; }
        uint16_t interval = 0;
        uint16_t quality = 0;
        int companion = 0;
    };

    Size size;
    Encoding encoding;

  private:
    Picture m_picture{size};
    Encoding& m_encoding = encoding;
};

// ---- Digital I/O ----

struct IOEvent {
    enum Kind { InputChanged, Failure } kind;
    uint32_t input = 0;
    int32_t state = 0;
};

class IOCallback : public vostrel::ipcapture::ICaptureIOCallback, public Waitable {
  public:
    void OnInputChanged(uint32_t input, int32_t state) override;
    void OnIOFailure() override;

    std::vector<IOEvent> Events() const;
    size_t FailureCount() const;
    bool WaitForEvents(size_t count, milliseconds timeout);
    void Clear();

  private:
    std::vector<IOEvent> m_events;
};

// ---- Capability query ----

class CapabilityCallback : public vostrel::ipcapture::ICapabilityCallback, public Waitable {
  public:
    void OnSucceeded() override;
    void OnFailed(int errorCode, const char* message) override;

    bool WaitForOutcome(milliseconds timeout);
    int Succeeded() const;
    int Failed() const;
    int LastErrorCode() const;
    std::string LastMessage() const;

  private:
    int m_succeeded = 0;
    int m_failed = 0;
    int m_lastError = 0;
    std::string m_lastMessage;
};

struct CapabilityProperty {
    int index = 0;
    std::string name;
    std::string text;
    int type = -1;
    int attribute = -1;
};

struct CapabilityResolution {
    std::string name;
    uint16_t width = 0;
    uint16_t height = 0;
    int intervalMs = 0;
};

// What a capability query wrote. The fields are read once the query's callback was called.
class CapabilityResults : public vostrel::ipcapture::ICapabilityResults {
  public:
    CapabilityResults();
    // Out of line: the objects handed to the module are complete only in reference_host.cpp.
    ~CapabilityResults() override;
    CapabilityResults(const CapabilityResults&) = delete;
    CapabilityResults& operator=(const CapabilityResults&) = delete;
    void SetValue(int key, int value) override;
    void SetDeviceName(const char* name) override;
    vostrel::ipcapture::ICapabilityTextField* GetConnectionField(int index) override;
    vostrel::ipcapture::ICapabilityProperty* AddProperty(int index) override;
    vostrel::ipcapture::ICapabilityResolutionList* GetResolutionList() override;
    vostrel::ipcapture::ICapabilityIntervalList* GetFrameIntervalList(int which) override;

    std::map<int, int> values;
    std::string deviceName;
    std::map<int, std::string> connectionFields;
    std::vector<CapabilityProperty> properties;
    std::vector<CapabilityResolution> resolutions;
    std::map<int, std::vector<int>> frameIntervals;

  private:
    class TextField;
    class Property;
    class ResolutionList;
    class IntervalList;
    std::mutex m_mutex;
    std::map<int, std::unique_ptr<TextField>> m_fields;
    std::vector<std::unique_ptr<Property>> m_properties;
    std::unique_ptr<ResolutionList> m_resolutionList;
    std::map<int, std::unique_ptr<IntervalList>> m_intervalLists;
};

}  // namespace host

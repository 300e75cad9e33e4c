#include "reference_host.h"

#include <algorithm>
#include <cstring>

namespace host {

// ---- LogSink ----

void LogSink::Write(CDebugInfoIf* record) {
    LogRecord copy;
    copy.level = static_cast<unsigned char>(record->GetLevel());
    if (const char* text = record->GetText()) {
        copy.text = std::string(text);
    }
    std::function<void(const LogRecord&)> echo;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_records.push_back(copy);
        echo = m_echo;
    }
    Notify();
    if (echo) {
        echo(copy);
    }
}

std::vector<LogRecord> LogSink::Records() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_records;
}

size_t LogSink::Count() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_records.size();
}

namespace {
size_t CountIn(const std::vector<LogRecord>& records, const std::string& fragment) {
    return static_cast<size_t>(std::count_if(
        records.begin(), records.end(),
        [&](const LogRecord& r) { return r.text && r.text->find(fragment) != std::string::npos; }));
}
}  // namespace

size_t LogSink::CountContaining(const std::string& fragment) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return CountIn(m_records, fragment);
}

bool LogSink::WaitForText(const std::string& fragment, milliseconds timeout, size_t count) {
    return WaitUntil([&] { return CountIn(m_records, fragment) >= count; }, timeout);
}

void LogSink::Clear() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_records.clear();
}

void LogSink::SetEcho(std::function<void(const LogRecord&)> echo) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_echo = std::move(echo);
}

// ---- DeviceConfig ----

DeviceConfig::DeviceConfig(DeviceSettings settings) : m_settings(std::move(settings)) {}

const char* DeviceConfig::GetDriverParameter(int index) {
    auto it = m_settings.parameters.find(index);
    return it == m_settings.parameters.end() ? nullptr : it->second.c_str();
}

// ---- Frames ----

Frame::Frame(uint32_t fourcc, unsigned cap, std::string creatorName, bool throwing)
    : createFourcc(fourcc),
      capacity(cap),
      creator(std::move(creatorName)),
      m_buffer(cap),
      throws(throwing) {}

int Frame::Prepare() {
    Checked(0);
    m_prepared = true;
    m_preparedAfterFields = m_format != 0 && m_width != 0 && m_height != 0 && m_sizeClass != 0;
    return 1;
}

vostrel::ipcapture::IHostFrame* FrameFactory::CreateFrame(uint32_t fourcc, unsigned capacity,
                                                          const char* creator) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_refuseCreate) {
        return nullptr;
    }
    ++m_outstanding;
    ++m_created;
    m_capacities.push_back(capacity);
    return new Frame(fourcc, capacity, creator ? creator : "", m_throwingFrames);
}

void FrameFactory::ReleaseFrame(vostrel::ipcapture::IHostFrame* frame) {
    if (frame == nullptr) {
        return;
    }
    delete static_cast<Frame*>(frame);
    std::lock_guard<std::mutex> guard(m_mutex);
    --m_outstanding;
}

int FrameFactory::Outstanding() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_outstanding;
}

int FrameFactory::Created() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_created;
}

std::vector<unsigned> FrameFactory::Capacities() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_capacities;
}

void FrameFactory::SetRefuseCreate(bool refuse) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_refuseCreate = refuse;
}

void FrameFactory::SetThrowingFrames(bool throwing) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_throwingFrames = throwing;
}

bool FrameSink::OnFrame(vostrel::ipcapture::IHostFrame* raw) {
    auto* frame = static_cast<Frame*>(raw);
    {
        std::unique_lock<std::mutex> guard(m_mutex);
        if (m_refuseAll || m_refuseNext > 0 || m_throwOnFrame) {
            if (m_refuseNext > 0) {
                --m_refuseNext;
            }
            ++m_refused;
            m_lastRefusal = Clock::now();
            const bool fail = m_throwOnFrame;
            guard.unlock();
            Notify();
            if (fail) {
                throw std::runtime_error("host sink failure");
            }
            return false;
        }
        ReceivedFrame copy;
        copy.fourcc = frame->m_format;
        copy.width = frame->m_width;
        copy.height = frame->m_height;
        copy.sizeClass = frame->m_sizeClass;
        copy.capacity = frame->capacity;
        size_t size = std::min<size_t>(frame->m_dataSize, frame->m_buffer.size());
        copy.data.assign(frame->m_buffer.begin(),
                         frame->m_buffer.begin() + static_cast<long>(size));
        copy.preparedAfterFields = frame->m_preparedAfterFields;
        copy.when = Clock::now();
        m_frames.push_back(std::move(copy));
        if (m_frames.size() > m_keepLimit) {
            m_frames.erase(m_frames.begin());
        }
        ++m_total;
    }
    Notify();
    return true;
}

void FrameSink::OnSignalLost() {
    bool fail = false;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        ++m_signalLost;
        m_lastSignalLost = Clock::now();
        fail = m_throwOnSignalLost;
    }
    Notify();
    if (fail) {
        throw std::runtime_error("host sink failure");
    }
}

void FrameSink::SetThrowOnFrame(bool on) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_throwOnFrame = on;
}

void FrameSink::SetThrowOnSignalLost(bool on) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_throwOnSignalLost = on;
}

Clock::time_point FrameSink::LastRefusalTime() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_lastRefusal;
}

Clock::time_point FrameSink::LastSignalLostTime() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_lastSignalLost;
}

size_t FrameSink::FrameCount() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_total;
}

std::vector<ReceivedFrame> FrameSink::Frames() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_frames;
}

int FrameSink::SignalLostCount() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_signalLost;
}

bool FrameSink::WaitForFrames(size_t count, milliseconds timeout) {
    return WaitUntil([&] { return m_total >= count; }, timeout);
}

bool FrameSink::WaitForSignalLost(int count, milliseconds timeout) {
    return WaitUntil([&] { return m_signalLost >= count; }, timeout);
}

bool FrameSink::WaitForRefused(int count, milliseconds timeout) {
    return WaitUntil([&] { return m_refused >= count; }, timeout);
}

void FrameSink::RefuseNext(int n) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_refuseNext = n;
}

void FrameSink::SetRefuseAll(bool refuse) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_refuseAll = refuse;
}

int FrameSink::RefusedCount() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_refused;
}

void FrameSink::SetKeepLimit(size_t limit) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_keepLimit = limit;
}

void FrameSink::Clear() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_frames.clear();
    m_total = 0;
    m_signalLost = 0;
    m_refused = 0;
}

// ---- VideoSettings ----

VideoSettings::VideoSettings(uint16_t width, uint16_t height, uint16_t intervalMs, uint16_t quality,
                             int wantsCompanion)
    : size(width, height) {
    encoding.interval = intervalMs;
    encoding.quality = quality;
    encoding.companion = wantsCompanion;
}

// ---- IOCallback ----

void IOCallback::OnInputChanged(uint32_t input, int32_t state) {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_events.push_back({IOEvent::InputChanged, input, state});
    }
    Notify();
}

void IOCallback::OnIOFailure() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_events.push_back({IOEvent::Failure, 0, 0});
    }
    Notify();
}

std::vector<IOEvent> IOCallback::Events() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_events;
}

size_t IOCallback::FailureCount() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return static_cast<size_t>(
        std::count_if(m_events.begin(), m_events.end(),
                      [](const IOEvent& e) { return e.kind == IOEvent::Failure; }));
}

bool IOCallback::WaitForEvents(size_t count, milliseconds timeout) {
    return WaitUntil([&] { return m_events.size() >= count; }, timeout);
}

void IOCallback::Clear() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_events.clear();
}

// ---- Capability query ----

void CapabilityCallback::OnSucceeded() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        ++m_succeeded;
    }
    Notify();
}

void CapabilityCallback::OnFailed(int errorCode, const char* message) {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        ++m_failed;
        m_lastError = errorCode;
        m_lastMessage = message ? message : "";
    }
    Notify();
}

bool CapabilityCallback::WaitForOutcome(milliseconds timeout) {
    return WaitUntil([&] { return m_succeeded + m_failed > 0; }, timeout);
}

int CapabilityCallback::Succeeded() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_succeeded;
}

int CapabilityCallback::Failed() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_failed;
}

int CapabilityCallback::LastErrorCode() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_lastError;
}

std::string CapabilityCallback::LastMessage() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_lastMessage;
}

class CapabilityResults::TextField : public vostrel::ipcapture::ICapabilityTextField {
  public:
    TextField(CapabilityResults& owner, int index) : m_owner(owner), m_index(index) {}
    void SetText(const char* text) override {
        std::lock_guard<std::mutex> guard(m_owner.m_mutex);
        m_owner.connectionFields[m_index] = text ? text : "";
    }

  private:
    CapabilityResults& m_owner;
    int m_index;
};

class CapabilityResults::Property : public vostrel::ipcapture::ICapabilityProperty {
  public:
    Property(CapabilityResults& owner, size_t slot) : m_owner(owner), m_slot(slot) {}
    void SetText(const char* text) override {
        Edit([&](CapabilityProperty& p) { p.text = text ? text : ""; });
    }
    void SetType(int type) override {
        Edit([&](CapabilityProperty& p) { p.type = type; });
    }
    void SetName(const char* name) override {
        Edit([&](CapabilityProperty& p) { p.name = name ? name : ""; });
    }
    void SetAttribute(int attribute) override {
        Edit([&](CapabilityProperty& p) { p.attribute = attribute; });
    }

  private:
    template <typename F>
    void Edit(F f) {
        std::lock_guard<std::mutex> guard(m_owner.m_mutex);
        f(m_owner.properties[m_slot]);
    }
    CapabilityResults& m_owner;
    size_t m_slot;
};

class CapabilityResults::ResolutionList : public vostrel::ipcapture::ICapabilityResolutionList {
  public:
    explicit ResolutionList(CapabilityResults& owner) : m_owner(owner) {}
    void Add(const char* name, uint16_t width, uint16_t height, int intervalMs) override {
        std::lock_guard<std::mutex> guard(m_owner.m_mutex);
        m_owner.resolutions.push_back({name ? name : "", width, height, intervalMs});
    }

  private:
    CapabilityResults& m_owner;
};

class CapabilityResults::IntervalList : public vostrel::ipcapture::ICapabilityIntervalList {
  public:
    IntervalList(CapabilityResults& owner, int which) : m_owner(owner), m_which(which) {}
    void Add(int intervalMs) override {
        std::lock_guard<std::mutex> guard(m_owner.m_mutex);
        m_owner.frameIntervals[m_which].push_back(intervalMs);
    }

  private:
    CapabilityResults& m_owner;
    int m_which;
};

CapabilityResults::CapabilityResults()
    : m_resolutionList(std::make_unique<ResolutionList>(*this)) {}

CapabilityResults::~CapabilityResults() = default;

void CapabilityResults::SetValue(int key, int value) {
    std::lock_guard<std::mutex> guard(m_mutex);
    values[key] = value;
}

void CapabilityResults::SetDeviceName(const char* name) {
    std::lock_guard<std::mutex> guard(m_mutex);
    deviceName = name ? name : "";
}

vostrel::ipcapture::ICapabilityTextField* CapabilityResults::GetConnectionField(int index) {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto& field = m_fields[index];
    if (!field) {
        field = std::make_unique<TextField>(*this, index);
    }
    return field.get();
}

vostrel::ipcapture::ICapabilityProperty* CapabilityResults::AddProperty(int index) {
    std::lock_guard<std::mutex> guard(m_mutex);
    properties.push_back(CapabilityProperty{index, {}, {}, -1, -1});
    m_properties.push_back(std::make_unique<Property>(*this, properties.size() - 1));
    return m_properties.back().get();
}

vostrel::ipcapture::ICapabilityResolutionList* CapabilityResults::GetResolutionList() {
    return m_resolutionList.get();
}

vostrel::ipcapture::ICapabilityIntervalList* CapabilityResults::GetFrameIntervalList(int which) {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto& list = m_intervalLists[which];
    if (!list) {
        list = std::make_unique<IntervalList>(*this, which);
    }
    return list.get();
}

}  // namespace host

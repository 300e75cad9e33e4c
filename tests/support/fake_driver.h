#pragma once
// A driver stand-in for unit tests of work objects: it records log messages and answers the
// driver interface from plain fields.
#include <cstdarg>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/driver_interface.h"
#include "http/text_utils.h"

namespace testing_support {

class FakeDriver : public vostrel::IDriver {
  public:
    struct Message {
        int type;
        std::string text;
    };

    void DebugMessage(int type, const char* format, ...) override
        __attribute__((format(printf, 3, 4))) {
        va_list args;
        va_start(args, format);
        std::string text = vostrel::Utils::FormatStringV(format, args);
        va_end(args);
        std::lock_guard<std::mutex> guard(mutex);
        messages.push_back({type, text});
    }
    std::string GetDriverName() override { return "Brennick"; }
    vostrel::DEVICE_INFO* GetDeviceInfo() override { return &info; }
    std::pair<int, int> GetDeviceValues() override { return {inputs, outputs}; }
    vostrel::ipcapture::IHostFrameFactory* GetFrameFactory() override { return frameFactory; }
    int GetVideoStandard() override { return 0; }
    int GetStreamType() override { return streamType; }
    int GetCameraCount() override { return cameraCount; }
    std::string GetParameterString(uint32_t index) override {
        auto it = parameters.find(index);
        return it == parameters.end() || it->second == "(none)" ? std::string() : it->second;
    }
    int GetParameterInt(uint32_t index) override {
        int value = 0;
        auto it = parameters.find(index);
        if (it == parameters.end() || !vostrel::Utils::ParseInt(it->second, value)) {
            return vostrel::kNoIntParameter;
        }
        return value;
    }
    vostrel::ipcapture::ChannelSettings GetChannelRecord(uint32_t) override {
        std::lock_guard<std::mutex> guard(mutex);
        return channelRecord;
    }
    void SetChannelRecord(const vostrel::ipcapture::ChannelSettings& record) {
        std::lock_guard<std::mutex> guard(mutex);
        channelRecord = record;
    }

    std::vector<Message> Messages() {
        std::lock_guard<std::mutex> guard(mutex);
        return messages;
    }
    size_t CountContaining(const std::string& fragment) {
        std::lock_guard<std::mutex> guard(mutex);
        size_t n = 0;
        for (const auto& m : messages) {
            n += m.text.find(fragment) != std::string::npos;
        }
        return n;
    }

    vostrel::DEVICE_INFO info{"192.0.2.7", 80, "", ""};
    int inputs = 0;
    int outputs = 0;
    int streamType = 1;
    int cameraCount = 1;
    vostrel::ipcapture::IHostFrameFactory* frameFactory = nullptr;
    std::map<uint32_t, std::string> parameters;
    vostrel::ipcapture::ChannelSettings channelRecord{};
    std::mutex mutex;
    std::vector<Message> messages;
};

}  // namespace testing_support

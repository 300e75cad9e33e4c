// tiny_host: loads the installed module with dlopen, opens a driver against a camera at
// 127.0.0.1:PORT, starts channel 0 and waits for the first frame.
//
//   tiny_host PORT mjpeg|mpeg4 [MODULE]
//
// Prints "frame FOURCC WIDTHxHEIGHT BYTES" and exits 0 when a frame came within 20 s.
// Without MODULE it loads the path it was built with (TINY_HOST_MODULE).
#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "jvc_ipcapture/exports.h"

using namespace vostrel::ipcapture;

namespace {

class Log : public IDebugMessageSink {
  public:
    void Write(CDebugInfoIf* record) override {
        const char* text = record->GetText();
        std::fprintf(stderr, "driver [%d] %s\n", record->GetLevel(), text ? text : "");
    }
};

class Frame : public IHostFrame {
  public:
    explicit Frame(unsigned capacity) : buffer(capacity) {}
    uint8_t* GetBuffer() override { return buffer.data(); }
    void SetDataSize(unsigned size) override { dataSize = size; }
    int Prepare() override { return 0; }
    void SetFormat(uint32_t value) override { fourcc = value; }
    void SetHeight(unsigned value) override { height = value; }
    void SetWidth(unsigned value) override { width = value; }
    void SetSizeClass(int) override {}

    std::vector<uint8_t> buffer;
    unsigned dataSize = 0;
    uint32_t fourcc = 0;
    unsigned width = 0;
    unsigned height = 0;
};

class Factory : public IHostFrameFactory {
  public:
    IHostFrame* CreateFrame(uint32_t, unsigned capacity, const char*) override {
        return new Frame(capacity);
    }
    void ReleaseFrame(IHostFrame* frame) override { delete frame; }
};

class Sink : public IHostFrameSink {
  public:
    bool OnFrame(IHostFrame* hostFrame) override {
        auto* frame = static_cast<Frame*>(hostFrame);
        std::lock_guard<std::mutex> lock(mutex);
        if (!got) {
            got = true;
            fourcc = frame->fourcc;
            width = frame->width;
            height = frame->height;
            bytes = frame->dataSize;
            cond.notify_all();
        }
        return true;
    }
    void OnSignalLost() override {}

    bool Wait(std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return cond.wait_for(lock, timeout, [this] { return got; });
    }

    std::mutex mutex;
    std::condition_variable cond;
    bool got = false;
    uint32_t fourcc = 0;
    unsigned width = 0;
    unsigned height = 0;
    unsigned bytes = 0;
};

class Config : public IIPDeviceConfig, IIPCameraSettings, IIPConnectionSettings {
  public:
    Config(uint16_t port, int streamType) : m_port(port), m_streamType(streamType) {}
    IIPCameraSettings* GetCameraSettings() override { return this; }
    IIPConnectionSettings* GetConnectionSettings() override { return this; }
    const char* GetDriverParameter(int index) override {
        auto found = m_parameters.find(index);
        return found == m_parameters.end() ? nullptr : found->second.c_str();
    }
    const char* GetModelName() override { return "VN-X235"; }
    int GetCameraCount() override { return 1; }
    int GetInputCount() override { return 0; }
    int GetOutputCount() override { return 0; }
    const char* GetAddress() override { return "127.0.0.1"; }
    uint16_t GetPort() override { return m_port; }
    int GetStreamType() override { return m_streamType; }
    const char* GetUserName() override { return ""; }
    const char* GetPassword() override { return ""; }

  private:
    uint16_t m_port;
    int m_streamType;
    // Video standard 0, camera family 2 (VN-X).
    std::map<int, std::string> m_parameters{{1, "0"}, {2, "2"}};
};

class Settings : public IHostVideoSettings, IHostPicture, IHostSize, IHostEncoding {
  public:
    IHostPicture* GetPicture() override { return this; }
    IHostEncoding* GetEncoding() override { return this; }
    IHostSize* GetSize() override { return this; }
    uint16_t GetWidth() override { return 640; }
    uint16_t GetHeight() override { return 480; }
    uint16_t GetFrameInterval() override { return 100; }
    uint16_t GetQuality() override { return 50; }
    int WantsCompanion() override { return 0; }
};

std::string FourCCText(uint32_t code) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        text += static_cast<char>((code >> (8 * i)) & 0xFF);
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: tiny_host PORT mjpeg|mpeg4 [MODULE]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::string stream = argv[2];
    const std::string module = argc > 3 ? argv[3] : TINY_HOST_MODULE;

    void* library = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "tiny_host: %s\n", dlerror());
        return 1;
    }
    auto create = reinterpret_cast<CreateIPCaptureFn>(dlsym(library, "CreateIPCapture"));
    auto destroy = reinterpret_cast<DeleteIPCaptureFn>(dlsym(library, "DeleteIPCapture"));
    if (create == nullptr || destroy == nullptr) {
        std::fprintf(stderr, "tiny_host: %s lacks the driver exports\n", module.c_str());
        return 1;
    }

    Log log;
    Factory factory;
    Sink sink;
    Config config(static_cast<uint16_t>(port), stream == "mpeg4" ? 2 : 1);
    Settings settings;
    int status = 1;
    IIPCaptureDriver* driver = create();
    if (driver != nullptr && driver->Open(&log, &factory, &config)) {
        IIPVideoCapture* video = driver->GetVideoCapture();
        if (video != nullptr && video->StartChannel(0, &sink, &settings)) {
            if (sink.Wait(std::chrono::seconds(20))) {
                std::printf("frame %s %ux%u %u\n", FourCCText(sink.fourcc).c_str(), sink.width,
                            sink.height, sink.bytes);
                status = 0;
            } else {
                std::fprintf(stderr, "tiny_host: no frame within 20 s\n");
            }
            video->StopChannel(0);
        } else {
            std::fprintf(stderr, "tiny_host: the channel did not start\n");
        }
        driver->Close();
    } else {
        std::fprintf(stderr, "tiny_host: the driver did not open\n");
    }
    if (driver != nullptr) {
        destroy(driver);
    }
    dlclose(library);
    return status;
}

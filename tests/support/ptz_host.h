#pragma once
// A host that drives PTZ through the built module, for the tests that do: a preset file
// beside the test program (where the module looks for it) that is removed at the end, and one
// driver opened as a host opens it, against the camera simulator.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "camera_simulator.h"
#include "reference_host.h"
#include "support/module_loader.h"

class PresetFile {
  public:
    // prefix names the test program's files apart from another program's.
    explicit PresetFile(const std::string& prefix) {
        static std::atomic<int> counter{0};
        m_name = prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".xml";
        m_path = std::filesystem::canonical("/proc/self/exe").parent_path() / m_name;
    }
    ~PresetFile() {
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
    }
    PresetFile(const PresetFile&) = delete;
    PresetFile& operator=(const PresetFile&) = delete;

    const std::string& Name() const { return m_name; }
    std::string Content() const {
        std::ifstream in(m_path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Writes channel 1's records, each given as {index, name, slot}.
    void WriteRecords(const std::vector<std::vector<std::string>>& records) const {
        std::string body;
        for (const auto& r : records) {
            char element[32];
            snprintf(element, sizeof element, "Preposition%03d", std::stoi(r[0]));
            body += std::string("\n\t\t<") + element + "><Name value=\"" + r[1] +
                    "\"/><Slot value=\"" + r[2] + "\"/></" + element + ">";
        }
        std::ofstream(m_path)
            << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<JVC>\n\t<PtzChannel01>" << body
            << "\n\t</PtzChannel01>\n</JVC>\n";
    }

  private:
    std::string m_name;
    std::filesystem::path m_path;
};

class PtzHost {
  public:
    PtzHost(camsim::CameraSimulator& cam, const std::string& presetFile, int cameraCount = 1,
            const std::string& center = "1") {
        EXPECT_TRUE(module.Load(JVC_MODULE_PATH));
        host::DeviceSettings s;
        s.port = cam.port();
        s.userName = cam.options().user;
        s.password = cam.options().password;
        s.model = cam.profile().name;
        s.cameraCount = cameraCount;
        s.parameters = {{1, "0"}, {2, "1"}, {3, presetFile}, {4, center}};
        config = std::make_unique<host::DeviceConfig>(s);
        auto create = reinterpret_cast<vostrel::ipcapture::IIPCaptureDriverEx3* (*)()>(
            dlsym(module.handle, "CreateIPCaptureEx3"));
        driver = create();
        EXPECT_TRUE(driver->Open(&log, &frames, config.get()));
    }
    ~PtzHost() { Delete(); }
    PtzHost(const PtzHost&) = delete;
    PtzHost& operator=(const PtzHost&) = delete;

    // Closes the driver, then deletes it, as a host ends its use of a camera.
    void Delete() {
        if (driver != nullptr) {
            driver->Close();
            module.destroy[3](driver);
            driver = nullptr;
        }
    }
    vostrel::ipcapture::IIPPTZApiEx* Control(uint32_t channel = 0) {
        return driver->GetPTZDriverEx()->GetPtzApiEx(channel);
    }
    // Every preset name of a channel's control, in its order ("-" for a name not given).
    std::vector<std::string> Names(uint32_t channel = 0) {
        std::vector<std::string> names;
        vostrel::ipcapture::IIPPTZApiEx* control = Control(channel);
        for (int32_t i = 0; i < control->GetPresetCount(); ++i) {
            char buffer[256];
            names.push_back(control->GetPresetName(i, buffer, sizeof buffer) ==
                                    vostrel::ipcapture::kPtzDone
                                ? buffer
                                : "-");
        }
        return names;
    }

    LoadedModule module;
    host::LogSink log;
    host::FrameFactory frames;
    std::unique_ptr<host::DeviceConfig> config;
    vostrel::ipcapture::IIPCaptureDriverEx3* driver = nullptr;
};

// The JVC probes and the property set against the camera simulator: which answers identify a
// camera, how the family, pins, PTZ head, preset file name, centre command and firmware text
// come out of them, and what an abort does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera_simulator.h"
#include "properties/jvc_camera_properties.h"
#include "reference_host.h"

using vostrel::CJvcCameraProperties;

namespace {

vostrel::DEVICE_INFO Record(const camsim::CameraSimulator& cam) {
    return vostrel::DEVICE_INFO(cam.address(), cam.port(), cam.options().user,
                                cam.options().password);
}

// A started simulator of a profile with a properties object pointed at it.
struct Camera {
    explicit Camera(camsim::Options options) : cam(std::move(options)) {
        cam.Start();
        props = std::make_unique<CJvcCameraProperties>(Record(cam), &videoStandard);
    }
    // The targets of the parameter requests received so far.
    std::vector<std::string> Targets() const {
        std::vector<std::string> targets;
        for (const auto& request : cam.Requests()) {
            targets.push_back(request.target);
        }
        return targets;
    }

    camsim::CameraSimulator cam;
    int32_t videoStandard = 0;
    std::unique_ptr<CJvcCameraProperties> props;
};

}  // namespace

TEST(JvcCameraProperties, ModelMustNameAVnVOrVnXCamera) {
    struct Case {
        const char* model;  // null: the parameter is missing
        bool accepted;
    };
    const Case cases[] = {
        {"VN-X235", true},     {"VN-V686", true},  {"JVC VN-X35U", true}, {"vn-x235", false},
        {"AXIS-Q6034", false}, {"VNX-235", false}, {"", false},           {nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model ? c.model : "(missing)");
        Camera camera({.profile = "VN-X235"});
        if (c.model != nullptr) {
            camera.cam.SetParam("system.model", c.model);
        } else {
            camera.cam.RemoveParam("system.model");
        }
        int errorCode = 0;
        EXPECT_EQ(camera.props->Query(&errorCode), c.accepted);
        EXPECT_EQ(errorCode, c.accepted ? 0 : 3);
        if (c.accepted) {
            EXPECT_EQ(camera.props->m_vendor, "JVC");
            EXPECT_EQ(camera.props->m_productName, std::string("JVC ") + c.model);
        } else {
            // Nothing is asked after the model.
            EXPECT_EQ(camera.Targets(), std::vector<std::string>{"/api/param?system.model"});
        }
    }

    // A camera that refuses the request as a whole.
    Camera refusing({.profile = "VN-V686"});
    refusing.cam.SetHttpStatusFault(500);
    int errorCode = 0;
    EXPECT_FALSE(refusing.props->Query(&errorCode));
    EXPECT_EQ(errorCode, 3);
}

TEST(JvcCameraProperties, SystemModeDecidesTheFamily) {
    struct Case {
        const char* what;
        std::function<void(camsim::CameraSimulator&)> arrange;
        bool passes;
        int family;
    };
    const Case cases[] = {
        {"line status 200 with a value", [](auto& cam) { cam.SetParam("system.mode", "pattern3"); },
         true, 2},
        {"line status 200 and empty", [](auto& cam) { cam.SetParam("system.mode", ""); }, true, 1},
        {"line status 404", [](auto& cam) { cam.RemoveParam("system.mode"); }, true, 1},
        {"line status 500", [](auto& cam) { cam.SetLineStatus("system.mode", 500); }, false, 0},
        {"HTTP status 404", [](auto& cam) { cam.SetHttpStatusFault(404); }, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Camera camera({.profile = "VN-X235"});
        c.arrange(camera.cam);
        EXPECT_EQ(camera.props->ProbeSystemMode(), c.passes);
        EXPECT_EQ(camera.props->Family(), c.family);
    }

    // A family-1 camera has no system.mode: it answers the line with 404.
    Camera vnv({.profile = "VN-V686"});
    EXPECT_TRUE(vnv.props->ProbeSystemMode());
    EXPECT_EQ(vnv.props->Family(), 1);
}

TEST(JvcCameraProperties, PinsAreCountedUpToTheFirstMissingOneAndAtMostFifteen) {
    {
        Camera camera({.profile = "VN-X235", .input_pins = 5, .output_pins = 0});
        camera.cam.SetLineStatus("peripheral.input_pin.pin(3).status", 404);
        EXPECT_TRUE(camera.props->CountIoPins());
        EXPECT_EQ(camera.props->m_inputCount, 2u);
        EXPECT_EQ(camera.props->m_outputCount, 0u);
        EXPECT_EQ(camera.Targets(), (std::vector<std::string>{
                                        "/api/param?peripheral.input_pin.pin(1).status",
                                        "/api/param?peripheral.input_pin.pin(2).status",
                                        "/api/param?peripheral.input_pin.pin(3).status",
                                        "/api/param?peripheral.output_pin.pin(1).status",
                                    }));
    }
    {
        Camera camera({.profile = "VN-V686", .input_pins = 15, .output_pins = 15});
        camera.cam.SetParam("peripheral.input_pin.pin(16).status", "break");
        camera.cam.SetParam("peripheral.output_pin.pin(16).status", "break");
        EXPECT_TRUE(camera.props->CountIoPins());
        EXPECT_EQ(camera.props->m_inputCount, 15u);
        EXPECT_EQ(camera.props->m_outputCount, 15u);
        EXPECT_EQ(camera.Targets().size(), 30u);  // pin 16 is never asked for
    }
    {
        // A refused request is a failure, not a missing pin.
        Camera camera({.profile = "VN-V686"});
        camera.cam.SetHttpStatusFault(503);
        EXPECT_FALSE(camera.props->CountIoPins());
    }
}

TEST(JvcCameraProperties, CentreCommandIsMissingOnlyOnEarlyVnV686Firmware) {
    struct Case {
        const char* product;
        const char* revision;
        bool supported;
    };
    const Case cases[] = {
        {"JVC VN-V686", "1.03", false}, {"JVC VN-V686", "0.05", false},
        {"JVC VN-V686", "1.00", false}, {"JVC vn-v686", "1.03", false},
        {"JVC VN-V686", "1.04", true},  {"JVC VN-V686", "2.00", true},
        {"JVC VN-V686", "1.10", true},  // only the major number is read: later firmware
        {"JVC VN-V686", "1", true},     {"JVC VN-V686", "", true},
        {"JVC VN-V686", "v1.03", true}, {"JVC VN-V686B", "1.03", true},
        {"JVC VN-V686B", "0.01", true}, {"JVC VN-X235", "1.03", true},
    };
    vostrel::DEVICE_INFO record("127.0.0.1", 9, "", "");
    CJvcCameraProperties props(record, nullptr);
    for (const Case& c : cases) {
        props.m_productName = c.product;
        EXPECT_EQ(props.IsCenterSupported(c.revision), c.supported)
            << c.product << " at " << c.revision;
    }

    // The same rule on the PTZ firmware a camera reports.
    Camera early({.profile = "VN-V686"});
    early.cam.SetParam("system.software.revision(sys)", "1.03");
    ASSERT_TRUE(early.props->Query(nullptr));
    EXPECT_FALSE(early.props->CenterSupported());
    EXPECT_TRUE(early.props->m_ptzSupported);
    Camera later({.profile = "VN-V686B"});  // reports 1.03 too
    ASSERT_TRUE(later.props->Query(nullptr));
    EXPECT_TRUE(later.props->CenterSupported());
}

TEST(JvcCameraProperties, PtzHeadGivesThePresetFileNameFromTheMac) {
    struct Case {
        const char* mac;
        const char* fileName;  // empty: no PTZ head reported
    };
    const Case cases[] = {
        {"00:80:88:6A:86:01", "JVC_0080886A8601.preset"},
        {"00-80 88'6a!86*01?", "JVC_0080886a8601.preset"},
        {"0\\0/8:0*8?8\"6A!86'01", "JVC_0080886A8601.preset"},
        {"::--", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mac);
        Camera camera({.profile = "VN-V686"});
        camera.cam.SetParam("network.interface.mac", c.mac);
        ASSERT_TRUE(camera.props->Query(nullptr));
        EXPECT_EQ(camera.props->PresetFileName(), c.fileName);
        EXPECT_EQ(camera.props->m_ptzSupported, *c.fileName != '\0');
        EXPECT_EQ(camera.props->CenterSupported(), *c.fileName != '\0');
    }

    // A family-1 camera that does not know the head's parameters has no PTZ head; its
    // firmware is then read as one revision.
    Camera headless({.profile = "VN-V686"});
    headless.cam.SetLineStatus("camera.focus.mode", 404);
    ASSERT_TRUE(headless.props->Query(nullptr));
    EXPECT_FALSE(headless.props->m_ptzSupported);
    EXPECT_EQ(headless.props->PresetFileName(), "");
    EXPECT_EQ(headless.props->Firmware(), "2.10");
    EXPECT_EQ(headless.Targets().back(), "/api/param?system.software.revision");

    // Family 2 is never asked about a head.
    Camera vnx({.profile = "VN-X235"});
    ASSERT_TRUE(vnx.props->Query(nullptr));
    for (const std::string& target : vnx.Targets()) {
        EXPECT_EQ(target.find("camera."), std::string::npos) << target;
    }
    EXPECT_EQ(vnx.props->PresetFileName(), "");
}

TEST(JvcCameraProperties, FirmwareTextJoinsTheRevisionsPresent) {
    struct Case {
        std::vector<const char*> removed;
        const char* firmware;
    };
    const Case cases[] = {
        {{}, "cam=1.05, net=2.10, ptz=2.00"},
        {{"system.software.revision(net)"}, "cam=1.05, ptz=2.00"},
        {{"system.software.revision(cam)"}, "net=2.10, ptz=2.00"},
        {{"system.software.revision(cam)", "system.software.revision(net)"}, "ptz=2.00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firmware);
        Camera camera({.profile = "VN-V686"});
        for (const char* name : c.removed) {
            camera.cam.RemoveParam(name);
        }
        ASSERT_TRUE(camera.props->Query(nullptr));
        EXPECT_EQ(camera.props->Firmware(), c.firmware);
        EXPECT_EQ(camera.Targets().back(),
                  "/api/param?system.software.revision(net)&system.software.revision(cam)"
                  "&system.software.revision(sys)");
    }

    Camera vnx({.profile = "VN-X235"});
    ASSERT_TRUE(vnx.props->Query(nullptr));
    EXPECT_EQ(vnx.props->Firmware(), "1.30");
    Camera unknown({.profile = "VN-X235"});
    unknown.cam.RemoveParam("system.software.revision");
    ASSERT_TRUE(unknown.props->Query(nullptr));
    EXPECT_EQ(unknown.props->Firmware(), "");
}

TEST(JvcCameraProperties, EmptyValuesAreSavedAsNone) {
    Camera camera({.profile = "VN-X235"});
    camera.videoStandard = 1;
    camera.props =
        std::make_unique<CJvcCameraProperties>(Record(camera.cam), &camera.videoStandard);
    camera.cam.RemoveParam("system.software.revision");
    ASSERT_TRUE(camera.props->Query(nullptr));
    host::CapabilityResults results;
    ASSERT_TRUE(camera.props->Save(&results));
    ASSERT_EQ(results.properties.size(), 5u);
    EXPECT_EQ(results.properties[0].text, "1");       // the video-standard option
    EXPECT_EQ(results.properties[2].text, "(none)");  // no preset file
    EXPECT_EQ(results.properties[3].text, "0");
    EXPECT_EQ(results.properties[4].text, "(none)");  // no firmware text
}

TEST(JvcCameraProperties, AbortedQueryAsksNothingMoreAndCannotBeSaved) {
    Camera camera({.profile = "VN-V686"});
    camera.props->Abort();
    int errorCode = 0;
    EXPECT_FALSE(camera.props->Query(&errorCode));
    EXPECT_EQ(errorCode, 3);
    EXPECT_TRUE(camera.Targets().empty());
    EXPECT_EQ(camera.props->Family(), 0);
    host::CapabilityResults results;
    EXPECT_FALSE(camera.props->Save(&results));
    EXPECT_TRUE(results.deviceName.empty());
    EXPECT_TRUE(results.values.empty());

    // Identified, then aborted: the remaining probes are skipped, and without a family the
    // query fails.
    Camera later({.profile = "VN-V686"});
    ASSERT_TRUE(later.props->IdentifyModel());
    later.props->Abort();
    EXPECT_FALSE(later.props->Query(&errorCode));
    EXPECT_EQ(later.Targets(), std::vector<std::string>{"/api/param?system.model"});

    // Aborted just after a probe succeeded: the query fails, it does not report the camera
    // from what it had found so far.
    const char* probeEnds[] = {"/api/param?system.mode",
                               "/api/param?camera.focus.mode&camera.position(0).status"
                               "&network.interface.mac&system.software.revision(sys)"};
    for (const char* last : probeEnds) {
        SCOPED_TRACE(last);
        class AbortAfter : public CJvcCameraProperties {
          public:
            AbortAfter(const vostrel::DEVICE_INFO& info, const int32_t* standard, std::string path)
                : CJvcCameraProperties(info, standard), m_path(std::move(path)) {}
            Read ReadParams(const std::string& path, std::string& body) override {
                const Read read = CJvcCameraProperties::ReadParams(path, body);
                if (path == m_path) {
                    Abort();
                }
                return read;
            }
            std::string m_path;
        };
        Camera partial({.profile = "VN-V686"});
        AbortAfter props(Record(partial.cam), &partial.videoStandard, last);
        EXPECT_FALSE(props.Query(&errorCode));
        EXPECT_EQ(errorCode, 3);
    }

    // Save needs a results object.
    Camera unsaved({.profile = "VN-V686"});
    ASSERT_TRUE(unsaved.props->Query(nullptr));
    EXPECT_FALSE(unsaved.props->Save(nullptr));
}

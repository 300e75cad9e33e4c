#pragma once
// CJvcCameraProperties: identifies a JVC VN-V / VN-X camera through its parameter interface
// and turns the answers into the capability results and the five named properties that the
// host hands back to the driver at open (driver parameters 1 to 5).
//
// Query runs five probes in order, each one or more reads of the parameter protocol
// (http/param_protocol.h):
//   IdentifyModel    system.model must name a VN-V or VN-X model    -> vendor, device name
//   ProbeSystemMode  system.mode present (2) or unknown (1)          -> camera family
//   CountIoPins      peripheral.input_pin / output_pin, pins 1..15   -> pin counts
//   ProbePtz         family 1: focus, home position, MAC, PTZ firmware
//                                       -> preset file name, centre command, PTZ head
//   ReadFirmware     system.software.revision (and its parts with a PTZ head) -> firmware text
// then fills in the codecs, frame rates and picture sizes of the family. The probes log
// nothing: a query has no driver to log through, and its outcome reaches the host through
// the query's callback.
//
// All requests go through one HTTP client, so they share one kept-alive connection for as
// long as the camera keeps it open. Abort cancels the request in flight, so a stalled camera
// does not hold a query up; the remaining probes are skipped and the query fails. An answer
// that did not arrive whole fails its probe like a failed request: only a body that came
// whole, empty or not, is an answer.
#include <cstdint>
#include <set>
#include <string>

#include "http/http_client.h"
#include "properties/camera_properties.h"

namespace vostrel {

class CJvcCameraProperties : public CCameraPropertiesEx {
  public:
    CJvcCameraProperties(const DEVICE_INFO& info, const int32_t* videoStandard);
    ~CJvcCameraProperties() override = default;

    bool Query(int* errorCode) override;
    // Frame intervals, the generic results, then the five named properties. False when the
    // camera was not identified (family 0, no frame rates) or results is null.
    bool Save(ipcapture::ICapabilityResults* results) override;
    // Sets the abort flag and cancels the request in flight (and every later one).
    void Abort() override;

    // The probes, in the order Query runs them.
    bool IdentifyModel();
    bool ProbeSystemMode();
    bool CountIoPins();
    bool ProbePtz();
    bool ReadFirmware();
    // False only for a VN-V686 (no "b" after the model name, so not a VN-V686B) whose PTZ
    // firmware revision reads as major 0, or major 1 with a minor of 3 or less: those lack the
    // click-on-centre command. The minor is read only when it starts with a zero ("1.03"),
    // so "1.10" counts as later firmware.
    bool IsCenterSupported(const std::string& sysRevision) const;

    int32_t Family() const { return m_family; }
    const std::set<uint32_t>& FrameRates() const { return m_frameRates; }
    const std::string& PresetFileName() const { return m_presetFileName; }
    bool CenterSupported() const { return m_centerSupported; }
    const std::string& Firmware() const { return m_firmware; }

  protected:
    Web::CHttpClient m_http;
    std::set<uint32_t> m_frameRates;
    int32_t m_family = 0;
    std::string m_presetFileName = "(none)";
    bool m_centerSupported = false;
    std::string m_firmware;

    // Outcome of one read.
    enum class Read {
        kFailed,  // not sent, no status, or an HTTP status other than 2xx
        kEmpty,   // answered with an empty body
        kBody,    // answered with a body
    };
    // One parameter read through the HTTP client; virtual so that the answer handling can be
    // driven without a camera (the fuzz target does).
    virtual Read ReadParams(const std::string& path, std::string& body);

  private:
    // Counts the pins answered by parameter name formats "...pin(%d)..." for n = 1..15;
    // false when a read failed.
    bool CountPins(const char* nameFormat, uint32_t& count);
    // Adds the picture size of a frame-size name with the interval of maxRate.
    void AddResolution(const std::string& name, uint32_t maxRate);
};

}  // namespace vostrel

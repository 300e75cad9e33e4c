#pragma once
// The property set a capability query builds for one camera, and the frame every camera's
// query follows: Query asks the camera, Save writes the answers into the host's results
// object, Abort ends a running Query early.
//
// CCameraProperties holds the data; CCameraPropertiesEx adds the connection record, the
// video-standard option, the abort flag and the generic Save. A camera-specific class
// (CJvcCameraProperties) does the asking.
//
// Threads: Query and Save run on the query's worker thread; Abort may come from any thread at
// any time.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/device_info.h"
#include "jvc_ipcapture/capability.h"

namespace vostrel {

// One picture size the camera offers, with its frame intervals in milliseconds.
struct ResolutionRecord {
    std::vector<uint32_t> m_intervals;
    uint32_t m_cursor = 0;  // enumeration cursor of m_intervals
    uint16_t m_width = 0;
    uint16_t m_height = 0;

    // First interval (cursor to 1), or false when there is none.
    bool FirstInterval(uint32_t& interval);
    // The interval at the cursor (cursor advanced), or false at the end.
    bool NextInterval(uint32_t& interval);
};

// Codec codes of m_codecs and the result keys they become.
enum CodecCode : uint32_t {
    kCodecCode1 = 1,   // key 7
    kCodecCode2 = 2,   // key 7
    kCodecCode4 = 4,   // key 6
    kCodecCode16 = 16  // key 8
};

class CCameraProperties {
  public:
    // Enumerations over m_codecs and m_resolutions. The first step sets the cursor to 1 and
    // yields element 0; each next step yields the element at the cursor and advances it. A
    // zero codec code ends the codec enumeration.
    bool FirstCodec(uint32_t& code);
    bool NextCodec(uint32_t& code);
    ResolutionRecord* FirstResolution();
    ResolutionRecord* NextResolution();

    std::vector<uint32_t> m_codecs;
    std::vector<ResolutionRecord> m_resolutions;
    std::string m_vendor;
    std::string m_productName;  // vendor, a blank and the model; the device name
    int32_t m_valueKey0 = 0;
    uint32_t m_inputCount = 0;   // result key 2
    uint32_t m_outputCount = 0;  // result key 3
    uint32_t m_codecCursor = 0;
    uint32_t m_resolutionCursor = 0;
    bool m_flagKey4 = false;
    bool m_ptzSupported = false;  // result key 1
    bool m_flagKey5 = false;
    bool m_flagKey11 = false;
    bool m_flagKey12 = false;
};

class CCameraPropertiesEx : public CCameraProperties {
  public:
    // videoStandard: the query's video-standard option (0 or 1); null reads as 0.
    CCameraPropertiesEx(const DEVICE_INFO& info, const int32_t* videoStandard);
    virtual ~CCameraPropertiesEx() = default;
    CCameraPropertiesEx(const CCameraPropertiesEx&) = delete;
    CCameraPropertiesEx& operator=(const CCameraPropertiesEx&) = delete;

    // Asks the camera. On failure stores 3 in *errorCode (when given) and returns false.
    virtual bool Query(int* errorCode) = 0;
    // Writes the device name, the value keys, codecs, resolutions and connection fields.
    // False only when results is null.
    virtual bool Save(ipcapture::ICapabilityResults* results);
    // Any thread: a running Query skips its remaining camera requests.
    virtual void Abort();

    bool IsAborted() const { return m_abort.load(); }
    const DEVICE_INFO& DeviceInfo() const { return m_deviceInfo; }
    int32_t VideoStandard() const { return m_videoStandard; }

  protected:
    std::atomic<bool> m_abort{false};
    DEVICE_INFO m_deviceInfo;
    int32_t m_videoStandard = 0;
};

}  // namespace vostrel

#pragma once
// The module's PTZ interfaces: the PTZ driver hands out one PTZ control per channel.
#include <cstdint>

// Per-control options, set and read by the host.
class IIPParams {
  public:
    virtual ~IIPParams() = default;
    virtual int32_t GetChannelIndex() = 0;
    virtual bool GetOption1() = 0;
    virtual void SetOption1(bool value) = 0;
    virtual bool GetOption2() = 0;
    virtual void SetOption2(bool value) = 0;
};

namespace vostrel::ipcapture {

// Filled by GetCapabilities: fourteen 32-bit fields.
struct PtzCapabilityRecord {
    int32_t hostField;    // 1: the host's own, never written by the module
    int32_t pan;          // 2
    int32_t tilt;         // 3
    int32_t zoom;         // 4
    int32_t focus;        // 5
    int32_t iris;         // 6
    int32_t reserved7;    // 7: 0
    int32_t maxPresets;   // 8
    int32_t presetCount;  // 9
    int32_t reserved10;   // 10: 0
    int32_t reserved11;   // 11: 0
    int32_t areaZoom;     // 12
    int32_t center;       // 13
    int32_t unzoom;       // 14
};
static_assert(sizeof(PtzCapabilityRecord) == 14 * 4);

// Result codes of the PTZ operations.
enum PtzResult : int32_t {
    kPtzDone = 1,  // done, or queued for the command thread
    kPtzInvalidArgument = -3,
    kPtzNotQueued = -18,  // no command thread, not queued, or preset not stored
    kPtzNoCapability = -19,
    kPtzPresetFailed = -23,
    kPtzPresetTableFull = -26,
};

// Move directions: 0 left, 1 right, 2 up, 3 down, 4 up-left, 5 up-right, 6 down-left,
// 7 down-right, 8 zoom in, 9 zoom out.
class IIPPTZApi {
  public:
    virtual ~IIPPTZApi() = default;
    virtual int32_t IsPtzSupported() = 0;
    virtual int32_t Move(int32_t direction, int32_t speed) = 0;
    virtual int32_t StopAll() = 0;
    virtual int32_t CenterOn(int32_t x, int32_t y, int32_t speed) = 0;
    virtual int32_t ZoomIn(int32_t speed) = 0;
    virtual int32_t ZoomOut(int32_t speed) = 0;
    virtual int32_t ResetZoom(int32_t speed) = 0;
    virtual int32_t ZoomArea(int32_t a, int32_t b, int32_t c, int32_t speed) = 0;
    virtual int32_t FocusNear(int32_t speed) = 0;
    virtual int32_t FocusFar(int32_t speed) = 0;
    virtual int32_t IrisOpen(int32_t speed) = 0;
    virtual int32_t IrisClose(int32_t speed) = 0;
    virtual int32_t GetCapabilities(PtzCapabilityRecord* record) = 0;
    virtual int32_t GetPresetCount() = 0;
    virtual int32_t GetPresetName(int32_t index, char* buffer, uint32_t size) = 0;
    virtual int32_t GotoPreset(int32_t speed, const char* name) = 0;
    virtual int32_t AddPreset(const char* name) = 0;
    virtual int32_t DeletePreset(const char* name) = 0;
    virtual int32_t GetCurrentPreset(char* buffer, uint32_t size) = 0;
};

class IIPPTZApiEx : public IIPPTZApi {
  public:
    virtual bool IsSuccess(int32_t code) = 0;
};

class IIPPTZDriver {
  public:
    virtual ~IIPPTZDriver() = default;
    virtual IIPPTZApi* GetPtzApi(uint32_t channel) = 0;
};

class IIPPTZDriverEx : public IIPPTZDriver {
  public:
    IIPPTZApi* GetPtzApi(uint32_t channel) override { return GetPtzApiEx(channel); }
    virtual IIPPTZApiEx* GetPtzApiEx(uint32_t channel) = 0;
};

}  // namespace vostrel::ipcapture

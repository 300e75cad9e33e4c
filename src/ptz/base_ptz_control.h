#pragma once
// CBasePTZControl: the host's PTZ control of one channel (IIPPTZApiEx and IIPParams). It
// checks each request, remembers which kinds of motion it started, queues motion commands on
// the channel's command thread and forwards preset requests to the channel's preset list.
// It owns both. Motion results mean "queued", not "done". CJvcPTZControl makes the JVC
// command thread.
//
// Threads: the host calls it from its own threads; the control itself takes no lock (the
// queue and the preset list lock inside). Its flags are plain fields of the calling thread.
// No host-facing operation throws: a failure inside (memory exhausted) is answered with -18,
// or -23 for the preset lookups, gotos and deletes.
#include <cstdint>
#include <memory>

#include "core/driver_interface.h"
#include "jvc_ipcapture/ptz.h"
#include "presets/preposition_list.h"
#include "presets/smart_ptr.h"
#include "ptz/base_ptz_comm.h"

namespace vostrel {

class CBasePTZControl : public ipcapture::IIPPTZApiEx, public IIPParams {
  public:
    CBasePTZControl(IDriver* driver, int32_t channel);
    // Closes the command thread before the preset list goes.
    ~CBasePTZControl() override;

    // IIPPTZApi
    int32_t IsPtzSupported() override;
    int32_t Move(int32_t direction, int32_t speed) override;
    int32_t StopAll() override;
    int32_t CenterOn(int32_t x, int32_t y, int32_t speed) override;
    int32_t ZoomIn(int32_t speed) override;
    int32_t ZoomOut(int32_t speed) override;
    int32_t ResetZoom(int32_t speed) override;
    int32_t ZoomArea(int32_t a, int32_t b, int32_t c, int32_t speed) override;
    int32_t FocusNear(int32_t speed) override;
    int32_t FocusFar(int32_t speed) override;
    int32_t IrisOpen(int32_t speed) override;
    int32_t IrisClose(int32_t speed) override;
    int32_t GetCapabilities(ipcapture::PtzCapabilityRecord* record) override;
    int32_t GetPresetCount() override;
    int32_t GetPresetName(int32_t index, char* buffer, uint32_t size) override;
    int32_t GotoPreset(int32_t speed, const char* name) override;
    int32_t AddPreset(const char* name) override;
    int32_t DeletePreset(const char* name) override;
    int32_t GetCurrentPreset(char* buffer, uint32_t size) override;
    // IIPPTZApiEx
    bool IsSuccess(int32_t code) override { return code == ipcapture::kPtzDone; }

    // IIPParams
    int32_t GetChannelIndex() override { return m_channel; }
    bool GetOption1() override { return m_option1; }
    void SetOption1(bool value) override { m_option1 = value; }
    bool GetOption2() override { return m_option2; }
    void SetOption2(bool value) override { m_option2 = value; }

    // Stops and deletes the command thread; motion requests answer -18 afterwards.
    virtual void Close();
    // A new, unopened command thread for this channel, or null.
    virtual std::unique_ptr<CBasePTZComm> CreateComm() = 0;
    // Makes and opens the command thread and attaches it and the shared storage to the preset
    // list. Without storage (an empty reader) the head still moves and preset operations fail
    // with missingStorage as their reason. False (and closed) when the thread cannot be made
    // or started.
    virtual bool Initialize(TSmartPtr<CXMLPrepositionReader> reader,
                            const std::string& missingStorage);

    bool HasComm() const { return m_comm != nullptr; }

  protected:
    IDriver* m_driver;
    int32_t m_channel;
    std::unique_ptr<CBasePTZComm> m_comm;
    CPrepositionList m_presets;
    bool m_option1 = false;
    bool m_option2 = false;
    bool m_zoomActive = false;
    bool m_focusActive = false;
    bool m_irisActive = false;
    bool m_moveActive = false;
    int32_t m_lastMoveSpeed = 0;
    int32_t m_lastMoveDirection = 0;  // of the last accepted Move; read while the speed is set

  private:
    // A movement was queued: the camera no longer stands at a known preset.
    int32_t Moved(int32_t result);
    // Copies a name into the host's buffer with its terminating zero.
    static int32_t CopyName(const std::string& name, char* buffer, uint32_t size);
};

class CJvcPTZControl : public CBasePTZControl {
  public:
    CJvcPTZControl(IDriver* driver, int32_t channel) : CBasePTZControl(driver, channel) {}
    ~CJvcPTZControl() override = default;

    // The JVC command thread with the JVC capability set; centring only when driver
    // parameter 4 is 1.
    std::unique_ptr<CBasePTZComm> CreateComm() override;
};

}  // namespace vostrel

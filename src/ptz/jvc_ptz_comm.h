#pragma once
// CJvcPTZComm: the command thread of a JVC camera's PTZ channel. Queued commands become
// writes of the camera's parameter protocol (http/param_protocol.h) on the command thread, with the
// host's speeds 1..16 scaled onto the camera's 1..100; camera presets are saved, recalled and freed
// on the caller's thread. Both paths share one HTTP client, and each request-and-answer exchange
// holds m_httpLock, so a preset save never interleaves with a move. A camera error is logged
// once: the same message again is dropped until a different one has been logged. Close first
// lets the command in progress and the waiting stops reach the camera (for a bounded time);
// stopping the thread then cancels the request in flight, so a stalled camera never holds up
// a close for long.
#include <cstdint>
#include <string>

#include "http/http_client.h"
#include "http/param_protocol.h"
#include "ptz/base_ptz_comm.h"
#include "ptz/scale_converter.h"
#include "thread/lock.h"

namespace vostrel {

class CJvcPTZComm : public CBasePTZComm {
  public:
    CJvcPTZComm(IDriver* driver, const CPtzCapabilities& caps, uint16_t channel);
    ~CJvcPTZComm() override;

    bool Open() override;
    bool Close() override;

    // Command thread: carries out one queued command.
    void HandleWorkItem(IWorkItem* item) override;

    // IPrepositionComm, on the caller's thread. The slot is the camera's position slot + 1.
    bool SaveCameraPreset(uint32_t slot, const std::string& name) override;
    bool GotoCameraPreset(uint32_t slot, const std::string& name, int32_t speed) override;
    bool DeleteCameraPreset(uint32_t slot, const std::string& name) override;

    // Camera exchanges. Set: writes params (such as "camera.focus.status=stop"). Get: reads
    // one parameter's value. Update: writes name=value unless the camera already holds the
    // value (compared ignoring case). False on any failure, which is logged.
    bool SendJvcSetCommand(const std::string& params);
    bool SendJvcGetCommand(const std::string& name, std::string& value);
    bool UpdateJvcParameter(const std::string& value, const std::string& name);
    // Logs the message (as finished text) unless it equals the last one logged here.
    void ReportError(const std::string& message) JVC_EXCLUDES(m_errorLock);

    // "camera.motion.AXIS.speed=SPEED&camera.motion.AXIS.mode=MODE"; empty without an axis
    // or a mode.
    static std::string BuildAxisMotion(const std::string& axis, const std::string& mode,
                                       uint32_t speed);

  protected:
    // Cancels the request in flight so the command thread notices the stop at once.
    void OnStopping() override;

    void ProcessMoveCommand(const CWorkItem& item);
    void ProcessStopCommand(const CWorkItem& item);
    void ProcessFocusCommand(const CWorkItem& item);
    void ProcessCenterCommand(const CWorkItem& item);
    void ProcessUnzoomCommand(const CWorkItem& item);

  private:
    // One exchange of the parameter protocol under m_httpLock. Not sent when the send failed
    // (logged by the parameter protocol); errorText holds the camera's reason when refused.
    Utils::ParamAnswer Exchange(const std::string& query) JVC_EXCLUDES(m_httpLock);
    // Logs "Cannot set parameter ..." through ReportError when the camera gave a reason.
    void ReportSetError(std::string_view context, const std::string& params,
                        const std::string& errorText);
    bool WrongType(std::string_view context, const CWorkItem& item, int32_t type);
    void UnexpectedSubtype(std::string_view context, const CWorkItem& item);
    const std::string& Address() const { return m_address; }

    CLock m_httpLock;
    // Exchanges hold m_httpLock; Cancel and ResetCancel are thread-safe on their own.
    Web::CHttpClient m_http;
    CScaleConverter m_speedScale{1, 16, 1, 100};
    CLock m_errorLock;
    std::string m_lastError JVC_GUARDED_BY(m_errorLock);
    uint32_t m_unzoomStep = 0;  // command thread only
    std::string m_address;
};

}  // namespace vostrel

#pragma once
// CBasePTZComm: the command thread of one PTZ channel. The PTZ control calls the command
// operations on host threads; each turns into a small command record that is queued (at
// most one older start waits behind the one in progress) and carried out on the thread by
// the camera-specific HandleWorkItem. A stop, once queued, is never pushed out by a later
// command (a repeat of a waiting stop is merged into it), and Close carries out the command
// in progress and the waiting stops, for at most kCloseDrainMs, before the thread ends.
// Preset operations (IPrepositionComm) bypass the queue and run on the caller's thread.
// Messages written through the IDebugMessage part reach the driver's log as finished text.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/driver_interface.h"
#include "jvc_ipcapture/ptz.h"
#include "presets/preposition_comm.h"
#include "ptz/ptz_capabilities.h"
#include "ptz/work_item_thread_ex.h"

namespace vostrel {

// Command types of a queued PTZ command.
enum PtzCommandType : int32_t {
    PTZ_CMD_MOVE = 1,
    PTZ_CMD_FOCUS = 2,
    PTZ_CMD_IRIS = 3,
    PTZ_CMD_STOP = 4,
    PTZ_CMD_AREA_ZOOM = 5,
    PTZ_CMD_CENTER = 6,
    PTZ_CMD_UNZOOM = 7,
};

// Subtypes: focus far/near, iris open/close, and what a stop ends.
enum PtzCommandSubtype : int32_t {
    kPtzFocusFar = 1,
    kPtzFocusNear = 2,
    kPtzIrisOpen = 3,
    kPtzIrisClose = 4,
    kPtzStopMoving = 5,
    kPtzStopZooming = 6,
    kPtzStopFocusing = 7,
    kPtzStopIris = 8,
};

// Move directions; zoom in and out are moves too. Direction 10 is refused by the control.
enum PtzDirection : int32_t {
    kPtzLeft = 0,
    kPtzRight = 1,
    kPtzUp = 2,
    kPtzDown = 3,
    kPtzUpLeft = 4,
    kPtzUpRight = 5,
    kPtzDownLeft = 6,
    kPtzDownRight = 7,
    kPtzZoomIn = 8,
    kPtzZoomOut = 9,
};

class CBasePTZComm : public CWorkItemThreadEx, public IPrepositionComm {
  public:
    // Every PTZ command is posted with this bound: one older start may wait.
    static constexpr uint32_t kMaxQueued = 2;
    // How long Close lets the thread finish the command in progress and the waiting stops;
    // after that a stalled camera's request is cancelled and what is left is discarded. A
    // camera answers a parameter request in well under a tenth of a second, so this carries
    // out a few stops and still keeps a close against a stalled camera under a second.
    static constexpr uint32_t kCloseDrainMs = 750;

    // One queued command; every field is fixed at construction.
    class CWorkItem : public IWorkItem {
      public:
        CWorkItem(int32_t type, int32_t subtype, IIPParams* context, int32_t speed, int32_t param1,
                  int32_t param2, int32_t param3)
            : m_type(type),
              m_subtype(subtype),
              m_context(context),
              m_speed(speed),
              m_param1(param1),
              m_param2(param2),
              m_param3(param3) {}

        const int32_t m_type;
        const int32_t m_subtype;
        IIPParams* const m_context;  // the posting control's; not owned
        const int32_t m_speed;       // as the host gave it
        const int32_t m_param1;      // direction, x, or first area value
        const int32_t m_param2;      // y, or second area value
        const int32_t m_param3;      // third area value
    };

    CBasePTZComm(const CPtzCapabilities& caps, IDriver* driver, uint16_t channel);
    // A subclass whose HandleWorkItem uses its own members stops the thread in its own
    // destructor; this one stops it too, for a subclass that has none.
    ~CBasePTZComm() override;

    // Starts the command thread "BaseIPPTZThread_Ch<channel + 1>" once; true while it runs.
    virtual bool Open();
    // Carries out the command in progress and the waiting stops (within kCloseDrainMs), then
    // stops the thread, discarding the other queued commands; false when it was not open.
    virtual bool Close();
    bool IsOpened() const { return m_opened; }

    // 1 when the head can pan, tilt, zoom, focus or change its iris, else 0.
    virtual int32_t HasMotionCapability(IIPParams* context);
    // Fills the host's record from the capability set; returns 1.
    virtual int32_t GetCapabilities(ipcapture::PtzCapabilityRecord* record);

    // The command operations: each checks the capability it needs (-19 when missing) and
    // queues a command (1 queued, -18 not queued). The stops need no capability.
    int32_t StartMove(IIPParams* context, int32_t direction, int32_t speed);
    int32_t StartFocus(IIPParams* context, bool nearFocus, int32_t speed);
    int32_t StartIris(IIPParams* context, bool open, int32_t speed);
    bool StopMoving(IIPParams* context);
    bool StopZooming(IIPParams* context);
    bool StopFocusing(IIPParams* context);
    bool StopIrisChanging(IIPParams* context);
    int32_t AreaZoom(IIPParams* context, int32_t a, int32_t b, int32_t c, int32_t speed);
    int32_t Center(IIPParams* context, int32_t x, int32_t y, int32_t speed);
    int32_t Unzoom(IIPParams* context, int32_t speed);

    // IDebugMessage: formats the text and hands it to the driver as finished text.
    void DebugMessage(int type, const char* format, ...) override
        __attribute__((format(printf, 3, 4)));

    const CPtzCapabilities& Capabilities() const { return m_caps; }
    uint16_t Channel() const { return m_channel; }

  protected:
    // Stops are kept; a stop repeats a waiting stop of the same subtype.
    bool MustKeep(const IWorkItem& item) const override;
    bool Repeats(const IWorkItem& newer, const IWorkItem& older) const override;
    // Queues one command; logs "cannot send message" and answers -18 when it is refused.
    int32_t PostCommand(std::string_view context, int32_t type, int32_t subtype, IIPParams* params,
                        int32_t speed, int32_t param1 = 0, int32_t param2 = 0, int32_t param3 = 0);

    uint16_t m_channel;
    CPtzCapabilities m_caps;
    IDriver* m_driver;
    bool m_opened = false;
};

}  // namespace vostrel

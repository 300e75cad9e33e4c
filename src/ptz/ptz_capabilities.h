#pragma once
// CPtzCapabilities: what a camera's head can do. The PTZ control builds it and hands a copy
// to its command thread, which answers every capability question from that copy.
#include <cstdint>

namespace vostrel {

class CPtzCapabilities {
  public:
    virtual ~CPtzCapabilities() = default;

    bool m_pan = false;
    bool m_tilt = false;
    bool m_zoom = false;
    bool m_focus = false;
    bool m_iris = false;
    bool m_areaZoom = false;
    bool m_center = false;
    bool m_unzoom = false;
    uint32_t m_maxPresets = 0;
};

}  // namespace vostrel

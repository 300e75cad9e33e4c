#include "ptz/scale_converter.h"

#include <algorithm>

namespace vostrel {

uint32_t CScaleConverter::Convert(uint32_t value) const {
    if (m_inMin < m_inMax) {
        value = std::clamp(value, m_inMin, m_inMax);
    } else if (m_inMin == m_inMax) {
        value = m_inMin;
    }
    const uint32_t inSpan = m_inMax - m_inMin;
    const uint32_t outSpan = m_outMax - m_outMin;
    if (inSpan == 0 || outSpan == 0) {
        return (m_outMin + m_outMax) >> 1;
    }
    long double scaled = static_cast<long double>(outSpan) *
                         static_cast<long double>(value - m_inMin) /
                         static_cast<long double>(inSpan);
    scaled = std::min(scaled, static_cast<long double>(outSpan));
    return m_outMin + static_cast<uint32_t>(scaled + 0.5L);
}

}  // namespace vostrel

#pragma once
// CScaleConverter: maps a value of one unsigned range linearly onto another, rounding to the
// nearest whole number. The JVC command thread scales the host's speeds 1..16 onto the
// camera's 1..100 with it.
#include <cstdint>

namespace vostrel {

class CScaleConverter {
  public:
    CScaleConverter(uint32_t inMin, uint32_t inMax, uint32_t outMin, uint32_t outMax)
        : m_inMin(inMin), m_inMax(inMax), m_outMin(outMin), m_outMax(outMax) {}
    virtual ~CScaleConverter() = default;

    // The value clamped into the input range, mapped onto the output range. An empty range
    // on either side gives the middle of the output range.
    uint32_t Convert(uint32_t value) const;

    uint32_t m_inMin;
    uint32_t m_inMax;
    uint32_t m_outMin;
    uint32_t m_outMax;
};

}  // namespace vostrel

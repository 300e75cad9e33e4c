#pragma once
// Builders for MPEG-4 visual test streams: a bit writer for hand-made layer headers and
// pictures with a chosen coding type.
#include <cstdint>
#include <vector>

namespace mpeg_test {

using Bytes = std::vector<uint8_t>;

class BitWriter {
  public:
    void Put(uint32_t value, unsigned bits) {
        for (unsigned i = bits; i-- > 0;) {
            if (m_used == 0) {
                m_bytes.push_back(0);
            }
            if ((value >> i) & 1u) {
                m_bytes.back() |= static_cast<uint8_t>(0x80u >> m_used);
            }
            m_used = (m_used + 1) % 8;
        }
    }
    // Stuffing to the next byte: a zero bit then ones, as the standard has it.
    Bytes Finish() {
        Put(0, 1);
        while (m_used != 0) {
            Put(1, 1);
        }
        return m_bytes;
    }

  private:
    Bytes m_bytes;
    unsigned m_used = 0;
};

struct LayerOptions {
    uint32_t width = 352;
    uint32_t height = 288;
    bool layerIdentifier = false;
    uint32_t aspectRatio = 1;  // 0xF: extended pixel aspect ratio follows
    bool vbv = false;
    uint32_t shape = 0;  // 0 rectangular
    uint32_t resolution = 25;
    bool fixedRate = false;
};

// Visual object sequence, visual object, video object and video object layer headers.
inline Bytes SequenceHeader(const LayerOptions& o) {
    Bytes h = {0, 0, 1, 0xB0, 0x03, 0, 0, 1, 0xB5, 0x09, 0, 0, 1, 0x00, 0, 0, 1, 0x20};
    BitWriter w;
    w.Put(0, 1);  // random_accessible_vol
    w.Put(1, 8);  // simple object
    if (o.layerIdentifier) {
        w.Put(1, 1);
        w.Put(2, 4);  // verid
        w.Put(1, 3);  // priority
    } else {
        w.Put(0, 1);
    }
    w.Put(o.aspectRatio, 4);
    if (o.aspectRatio == 0xF) {
        w.Put(16, 8);
        w.Put(11, 8);
    }
    if (o.vbv) {
        w.Put(1, 1);  // vol_control_parameters
        w.Put(1, 2);  // 4:2:0
        w.Put(1, 1);  // low_delay
        w.Put(1, 1);  // vbv_parameters
        w.Put(0x1234, 15);
        w.Put(1, 1);
        w.Put(0x0567, 15);
        w.Put(1, 1);
        w.Put(0x0100, 15);
        w.Put(1, 1);
        w.Put(0x3, 3);
        w.Put(0x1AA, 11);
        w.Put(1, 1);
        w.Put(0x2BB, 15);
        w.Put(1, 1);
    } else {
        w.Put(0, 1);
    }
    w.Put(o.shape, 2);
    w.Put(1, 1);
    w.Put(o.resolution, 16);
    w.Put(1, 1);
    if (o.fixedRate) {
        w.Put(1, 1);
        unsigned bits = 1;
        while ((1u << bits) < o.resolution) {
            ++bits;
        }
        w.Put(1, bits);
    } else {
        w.Put(0, 1);
    }
    if (o.shape == 0) {
        w.Put(1, 1);
        w.Put(o.width, 13);
        w.Put(1, 1);
        w.Put(o.height, 13);
        w.Put(1, 1);
    }
    w.Put(0, 1);  // interlaced
    w.Put(1, 1);  // obmc_disable
    Bytes body = w.Finish();
    h.insert(h.end(), body.begin(), body.end());
    return h;
}

// A picture of the given size in bytes; coding type 0 is an I-picture, 1 a P-picture. The
// payload never forms a start code.
inline Bytes Picture(size_t size, unsigned codingType, uint8_t fill) {
    Bytes p = {0, 0, 1, 0xB6, static_cast<uint8_t>(codingType << 6 | 0x10)};
    while (p.size() < size) {
        p.push_back(static_cast<uint8_t>(fill | 0x80));
    }
    return p;
}

}  // namespace mpeg_test

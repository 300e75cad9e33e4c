#include "parse_mpeg_header.h"

#include <cstddef>

namespace {

// Reads bits most significant first; any read past the end marks the reader failed.
class BitReader {
  public:
    BitReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    uint32_t Read(unsigned count) {
        uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i) {
            if (m_bit >= m_size * 8) {
                m_failed = true;
                return 0;
            }
            uint8_t byte = m_data[m_bit / 8];
            value = (value << 1) | ((byte >> (7 - m_bit % 8)) & 1u);
            ++m_bit;
        }
        return value;
    }
    bool Marker() { return Read(1) == 1; }
    bool Failed() const { return m_failed; }

  private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_bit = 0;
    bool m_failed = false;
};

constexpr uint8_t kVisualObject = 0xB5;
constexpr uint8_t kVideoObjectPlane = 0xB6;

// Position of the next start code prefix 00 00 01 at or after from, or size when none.
size_t FindStartCode(const uint8_t* data, size_t size, size_t from) {
    for (size_t i = from; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            return i;
        }
    }
    return size;
}

// The verid of a visual object header (1 when it names none).
unsigned VisualObjectVerid(const uint8_t* data, size_t size) {
    BitReader bits(data, size);
    if (bits.Read(1) == 1) {
        unsigned verid = bits.Read(4);
        bits.Read(3);  // priority
        if (!bits.Failed() && verid != 0) {
            return verid;
        }
    }
    return 1;
}

enum Shape : uint32_t { kRectangular = 0, kBinary = 1, kBinaryOnly = 2, kGrayscale = 3 };

bool ParseVideoObjectLayer(const uint8_t* data, size_t size, unsigned verid, uint32_t& width,
                           uint32_t& height) {
    BitReader bits(data, size);
    bits.Read(1);  // random_accessible_vol
    uint32_t objectType = bits.Read(8);
    if (objectType == 0) {
        return false;  // reserved: not a stream this routine understands
    }
    if (bits.Read(1) == 1) {  // is_object_layer_identifier
        verid = bits.Read(4);
        bits.Read(3);  // priority
    }
    uint32_t aspectRatio = bits.Read(4);
    if (aspectRatio == 0) {
        return false;  // forbidden value
    }
    if (aspectRatio == 0xF) {  // extended pixel aspect ratio
        uint32_t parWidth = bits.Read(8);
        uint32_t parHeight = bits.Read(8);
        if (parWidth == 0 || parHeight == 0) {
            return false;
        }
    }
    if (bits.Read(1) == 1) {      // vol_control_parameters
        bits.Read(2);             // chroma_format
        bits.Read(1);             // low_delay
        if (bits.Read(1) == 1) {  // vbv_parameters
            bits.Read(15);
            if (!bits.Marker())
                return false;
            bits.Read(15);
            if (!bits.Marker())
                return false;
            bits.Read(15);
            if (!bits.Marker())
                return false;
            bits.Read(3);
            bits.Read(11);
            if (!bits.Marker())
                return false;
            bits.Read(15);
            if (!bits.Marker())
                return false;
        }
    }
    uint32_t shape = bits.Read(2);
    if (shape == kGrayscale && verid != 1) {
        bits.Read(4);  // video_object_layer_shape_extension
    }
    if (!bits.Marker()) {
        return false;
    }
    uint32_t resolution = bits.Read(16);
    if (!bits.Marker() || resolution == 0) {
        return false;
    }
    if (bits.Read(1) == 1) {  // fixed_vop_rate
        unsigned increment = 1;
        while ((1u << increment) < resolution) {
            ++increment;
        }
        bits.Read(increment);  // fixed_vop_time_increment
    }
    if (shape != kRectangular) {
        return false;  // only a rectangular layer carries a picture size
    }
    if (!bits.Marker())
        return false;
    uint32_t w = bits.Read(13);
    if (!bits.Marker())
        return false;
    uint32_t h = bits.Read(13);
    if (!bits.Marker())
        return false;
    if (bits.Failed() || w == 0 || h == 0) {
        return false;
    }
    width = w;
    height = h;
    return true;
}

}  // namespace

extern "C" int ParseMpegHeader(const uint8_t* data, uint32_t length, uint32_t* width,
                               uint32_t* height) {
    if (data == nullptr || width == nullptr || height == nullptr) {
        return 0;
    }
    const size_t size = length;
    unsigned verid = 1;
    for (size_t pos = FindStartCode(data, size, 0); pos < size;
         pos = FindStartCode(data, size, pos + 3)) {
        uint8_t code = data[pos + 3];
        size_t body = pos + 4;
        size_t end = FindStartCode(data, size, body);
        if (code == kVisualObject) {
            verid = VisualObjectVerid(data + body, end - body);
        } else if (code >= 0x20 && code <= 0x2F) {  // video object layer
            uint32_t w = 0, h = 0;
            if (!ParseVideoObjectLayer(data + body, end - body, verid, w, h)) {
                return 0;
            }
            *width = w;
            *height = h;
            return 1;
        } else if (code == kVideoObjectPlane) {
            return 0;  // the picture began before any layer header
        }
    }
    return 0;
}

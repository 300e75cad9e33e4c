#include "video/jpeg_parser.h"

#include <algorithm>
#include <cstring>

namespace vostrel {

namespace {
constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kStartOfImage = 0xD8;
constexpr uint8_t kEndOfImage = 0xD9;
constexpr uint8_t kStartOfFrame = 0xC0;
constexpr size_t kHeaderBytes = 7;  // bytes 2..8 after the 0xFF: length, precision, height, width
}  // namespace

void CJpegParser::TakeFrameHeaderBytes(const uint8_t* data, size_t count) {
    size_t take = std::min(count, kHeaderBytes - m_headerHave);
    std::memcpy(m_header + m_headerHave, data, take);
    m_headerHave += take;
    m_headerPending = m_headerHave < kHeaderBytes;
    if (!m_headerPending) {
        m_height = (static_cast<unsigned>(m_header[3]) << 8) | m_header[4];
        m_width = (static_cast<unsigned>(m_header[5]) << 8) | m_header[6];
    }
}

void CJpegParser::OnMarker(const uint8_t* data, size_t size, ptrdiff_t ff, size_t& pictureStart) {
    const size_t markerPos = static_cast<size_t>(ff + 1);
    switch (data[markerPos]) {
        case kStartOfImage:
            m_picture.clear();
            m_open = true;
            if (ff < 0) {
                m_picture.push_back(kMarker);  // the 0xFF came with the previous block
                pictureStart = 0;
            } else {
                pictureStart = static_cast<size_t>(ff);
            }
            break;
        case kEndOfImage:
            if (m_open) {
                m_picture.insert(m_picture.end(), data + pictureStart, data + markerPos + 1);
                if (m_receiver) {
                    m_receiver->OnJpeg(m_picture, m_width, m_height);
                }
                m_picture.clear();
                m_open = false;
            }
            pictureStart = markerPos + 1;
            break;
        case kStartOfFrame: {
            m_headerHave = 0;
            size_t first = markerPos + 1;
            TakeFrameHeaderBytes(data + first, size - first);
            break;
        }
        default:
            break;
    }
}

void CJpegParser::Parse(const uint8_t* data, size_t size) {
    if (data == nullptr || size == 0) {
        return;
    }
    size_t pictureStart = 0;
    if (m_headerPending) {
        TakeFrameHeaderBytes(data, size);
    }
    if (m_afterFF) {
        m_afterFF = false;
        OnMarker(data, size, -1, pictureStart);
    }
    size_t pos = 0;
    while (pos < size) {
        const void* hit = std::memchr(data + pos, kMarker, size - pos);
        if (hit == nullptr) {
            break;
        }
        size_t ff = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
        if (ff + 1 == size) {
            m_afterFF = true;  // its marker byte comes with the next block
            break;
        }
        OnMarker(data, size, static_cast<ptrdiff_t>(ff), pictureStart);
        pos = ff + 1;
    }
    if (m_open) {
        if (pictureStart < size) {
            m_picture.insert(m_picture.end(), data + pictureStart, data + size);
        }
        if (m_picture.size() > m_maxPictureSize) {
            // A broken camera: no end of image in sight. Wait for the next start of image.
            m_picture.clear();
            m_picture.shrink_to_fit();
            m_open = false;
            ++m_dropped;
        }
    }
}

}  // namespace vostrel

#include "video/mpeg_parser.h"

#include <cstring>

#include "platform/dynamic_library.h"

namespace vostrel {

namespace {
constexpr uint8_t kSequenceStart = 0xB0;
constexpr uint8_t kVisualObject = 0xB5;
constexpr uint8_t kPictureStart = 0xB6;
constexpr size_t npos = static_cast<size_t>(-1);

bool IsVideoObject(uint8_t code) {
    return code <= 0x1F;
}

bool IsVideoObjectLayer(uint8_t code) {
    return code >= 0x20 && code <= 0x2F;
}
}  // namespace

CMpegParser::CMpegParser(IMpegReceiver* receiver) : m_receiver(receiver) {
    m_library = platform::DynamicLibrary::Load("DivxDecompression.dll");
    if (m_library) {
        m_parseHeader = reinterpret_cast<ParseHeaderFn>(m_library->Symbol("_ParseMpegHeader@16"));
    }
}

CMpegParser::CMpegParser(IMpegReceiver* receiver, ParseHeaderFn routine, size_t maxBuffered)
    : m_receiver(receiver), m_parseHeader(routine), m_maxBuffered(maxBuffered) {}

CMpegParser::~CMpegParser() = default;

void CMpegParser::Reset() {
    m_keyFrame = false;
    m_waitForKey = true;
    m_keySeen = false;
    m_pendingStart = 0;
    m_scanPos = 0;
    m_headerSearched = 0;
    m_objectStart = npos;
    m_header.clear();
    m_data.clear();
}

void CMpegParser::Parse(const uint8_t* data, size_t size) {
    try {
        if (size > 0) {
            m_data.insert(m_data.end(), data, data + size);
        }
        if (m_data.size() > m_maxBuffered) {
            // No start code in sight: the bytes cannot become a picture.
            Reset();
            return;
        }
        Scan();
    } catch (...) {
        Reset();
    }
}

size_t CMpegParser::FindStartCode(size_t from, size_t limit) const {
    // Look for the 0x01 of the prefix; the two bytes before it must be zero.
    const uint8_t* base = m_data.data();
    size_t pos = from + 2;
    while (pos + 1 < limit + 3 && pos < m_data.size()) {
        const void* hit = std::memchr(base + pos, 0x01, m_data.size() - pos);
        if (hit == nullptr) {
            return npos;
        }
        size_t one = static_cast<size_t>(static_cast<const uint8_t*>(hit) - base);
        size_t start = one - 2;
        if (start >= limit) {
            return npos;
        }
        if (base[one - 1] == 0 && base[one - 2] == 0) {
            return start;
        }
        pos = one + 1;
    }
    return npos;
}

bool CMpegParser::TakeHeader(size_t headerStart, size_t searchFrom, size_t limit) {
    size_t picture = FindStartCode(searchFrom + m_headerSearched, limit);
    while (picture != npos && m_data[picture + 3] != kPictureStart) {
        picture = FindStartCode(picture + 1, limit);
    }
    if (picture == npos) {
        // Every start code position below the limit has been looked at; the search goes on
        // from there once more data has arrived.
        m_headerSearched = limit > searchFrom ? limit - searchFrom : 0;
        return false;
    }
    m_headerSearched = 0;
    m_header.assign(m_data.begin() + static_cast<ptrdiff_t>(headerStart),
                    m_data.begin() + static_cast<ptrdiff_t>(picture));
    m_pendingStart = picture;
    return true;
}

void CMpegParser::Scan() {
    // A start code at p is examined while p is below size - 4, so its code byte and the byte
    // after it (the picture coding type) have arrived.
    while (m_data.size() > 4 && m_scanPos < m_data.size() - 4) {
        const size_t limit = m_data.size() - 4;
        size_t p = FindStartCode(m_scanPos, limit);
        if (p == npos) {
            m_scanPos = limit;
            break;
        }
        m_scanPos = p;
        uint8_t code = m_data[p + 3];
        if (code == kSequenceStart) {
            m_objectStart = npos;
            EmitPending();
            if (!TakeHeader(p, p + 4, limit)) {
                break;  // resume at this sequence start once more data has arrived
            }
        } else if (p < m_pendingStart) {
            // Inside the header just taken, in front of its picture.
        } else if (code == kVisualObject) {
            m_objectStart = p;
        } else if (IsVideoObject(code)) {
            // Right behind a visual object header, or on its own.
            if (m_objectStart == npos || m_data[m_objectStart + 3] != kVisualObject) {
                m_objectStart = p;
            }
        } else if (IsVideoObjectLayer(code)) {
            // A layer header without a visual object sequence start in front (some encoders
            // never send one) is the sequence header of the picture after it. It begins at
            // the visual object and video object start codes right in front, if any.
            const size_t headerStart = m_objectStart != npos ? m_objectStart : p;
            m_objectStart = npos;
            m_scanPos = headerStart;
            EmitPending();
            if (!TakeHeader(headerStart, p + 4, limit)) {
                break;  // resume at the header's start once more data has arrived
            }
        } else {
            if (code == kPictureStart) {
                EmitPending();
                m_keyFrame = m_data[p + 4] < 0x40;
            }
            m_objectStart = npos;
        }
        m_scanPos = p + 1;
    }
    if (m_pendingStart > 0) {
        m_data.erase(m_data.begin(), m_data.begin() + static_cast<ptrdiff_t>(m_pendingStart));
        m_scanPos -= m_pendingStart;
        if (m_objectStart != npos) {
            m_objectStart = m_objectStart >= m_pendingStart ? m_objectStart - m_pendingStart : npos;
        }
        m_pendingStart = 0;
    }
}

void CMpegParser::EmitPending() {
    if (m_pendingStart >= m_scanPos) {
        return;
    }
    const size_t length = m_scanPos - m_pendingStart;
    const uint8_t* pending = m_data.data() + m_pendingStart;
    bool deliver = true;
    if (length < kMinPictureSize) {
        deliver = false;
        if (m_keyFrame) {
            m_waitForKey = true;
        }
    } else if (m_waitForKey && !m_keyFrame) {
        deliver = false;
        // Only the lead-in of a stream counts: once a key frame has come and failed its
        // check, the pictures that depend on it are no sign of usable video.
        if (!m_keySeen && m_receiver != nullptr) {
            m_receiver->OnPictureSkipped();
        }
    } else {
        m_waitForKey = false;
    }
    if (deliver && m_keyFrame) {
        m_keySeen = true;
    }
    if (deliver) {
        std::vector<uint8_t> picture;
        if (m_keyFrame) {
            picture.reserve(m_header.size() + length);
            picture = m_header;
        }
        picture.insert(picture.end(), pending, pending + length);
        if (m_keyFrame && (m_parseHeader == nullptr ||
                           m_parseHeader(picture.data(), static_cast<uint32_t>(picture.size()),
                                         &m_width, &m_height) <= 0)) {
            m_waitForKey = true;
        } else if (m_receiver != nullptr) {
            m_waitForKey = !m_receiver->OnMpeg(picture, m_width, m_height, m_keyFrame);
        } else {
            m_waitForKey = false;
        }
    }
    m_keyFrame = false;
    m_pendingStart = m_scanPos;
}

}  // namespace vostrel

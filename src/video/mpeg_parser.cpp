#include "video/mpeg_parser.h"

#include <cstring>

#include "platform/dynamic_library.h"

namespace vostrel {

namespace {
constexpr uint8_t kSequenceStart = 0xB0;
constexpr uint8_t kPictureStart = 0xB6;
constexpr size_t npos = static_cast<size_t>(-1);
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
    m_pendingStart = 0;
    m_scanPos = 0;
    m_headerSearched = 0;
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
            EmitPending();
            size_t picture = FindStartCode(p + 4 + m_headerSearched, limit);
            while (picture != npos && m_data[picture + 3] != kPictureStart) {
                picture = FindStartCode(picture + 1, limit);
            }
            if (picture == npos) {
                // Resume at this sequence start once more data has arrived; every start code
                // position below the limit has been looked at.
                m_headerSearched = limit > p + 4 ? limit - (p + 4) : 0;
                break;
            }
            m_headerSearched = 0;
            m_header.assign(m_data.begin() + static_cast<ptrdiff_t>(p),
                            m_data.begin() + static_cast<ptrdiff_t>(picture));
            m_pendingStart = picture;
        } else if (code == kPictureStart) {
            EmitPending();
            m_keyFrame = m_data[p + 4] < 0x40;
        }
        m_scanPos = p + 1;
    }
    if (m_pendingStart > 0) {
        m_data.erase(m_data.begin(), m_data.begin() + static_cast<ptrdiff_t>(m_pendingStart));
        m_scanPos -= m_pendingStart;
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
    } else {
        m_waitForKey = false;
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

#include "video/jpeg_parser.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vostrel {

namespace {
constexpr uint8_t kMarkerByte = 0xFF;
constexpr uint8_t kStuffing = 0x00;
constexpr uint8_t kTemporary = 0x01;
constexpr uint8_t kStartOfImage = 0xD8;
constexpr uint8_t kEndOfImage = 0xD9;
constexpr uint8_t kStartOfScan = 0xDA;
constexpr size_t kFrameBytes = 5;  // precision, height, width

// Restart markers RST0..RST7: part of the entropy-coded data, no length.
bool IsRestart(uint8_t code) {
    return (code & 0xF8) == 0xD0;
}

// Application segments (APP0..APP15) and comments may hold anything, a whole thumbnail JPEG
// included; every other segment is tables or a header of known content.
bool IsApplicationOrComment(uint8_t code) {
    return (code & 0xF0) == 0xE0 || code == 0xFE;
}

// The next state of a search for FF D8 FF that has matched `matched` bytes, after byte b.
uint8_t AdvanceStartMatch(uint8_t matched, uint8_t b) {
    if (b == kMarkerByte) {
        return matched == 2 ? 3 : 1;
    }
    return matched == 1 && b == kStartOfImage ? 2 : 0;
}

// Start of frame for every coding process: C0..CF except DHT (C4), JPG (C8) and DAC (CC).
bool IsStartOfFrame(uint8_t code) {
    return (code & 0xF0) == 0xC0 && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

// Position of the first 0xFF at or after pos in entropy-coded data that is not followed by a
// stuffing byte or a restart marker's code (a 0xFF in the last byte of the block counts, its
// marker byte comes with the next block); size when there is none. Stuffed 0xFF bytes come
// every few hundred bytes, so 64 bytes are tested at a time and each hit is looked at inline
// rather than restarting a memchr for it.
size_t FindEntropyMarker(const uint8_t* data, size_t size, size_t pos) {
#if defined(__SSE2__)
    const __m128i ff = _mm_set1_epi8(static_cast<char>(kMarkerByte));
    auto load = [&](size_t at) {
        return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at)), ff);
    };
    while (pos + 64 <= size) {
        const __m128i a = load(pos), b = load(pos + 16), c = load(pos + 32), d = load(pos + 48);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) == 0) {
            pos += 64;
            continue;
        }
        uint64_t hits = static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(a))) |
                        static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(b))) << 16 |
                        static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(c))) << 32 |
                        static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(d))) << 48;
        while (hits != 0) {
            const size_t at = pos + static_cast<size_t>(__builtin_ctzll(hits));
            hits &= hits - 1;
            if (at + 1 >= size) {
                return at;
            }
            const uint8_t code = data[at + 1];
            if (code != kStuffing && !IsRestart(code)) {
                return at;
            }
        }
        pos += 64;
    }
#endif
    while (pos < size) {
        const void* hit = std::memchr(data + pos, kMarkerByte, size - pos);
        if (hit == nullptr) {
            return size;
        }
        const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
        if (at + 1 >= size) {
            return at;
        }
        const uint8_t code = data[at + 1];
        if (code != kStuffing && !IsRestart(code)) {
            return at;
        }
        pos = at + 2;  // part of the data
    }
    return size;
}
}  // namespace

void CJpegParser::Reset() {
    m_picture.clear();
    m_open = false;
    m_state = State::kSeek;
    m_segmentMarker = 0;
    m_segmentLeft = 0;
    m_startMatch = 0;
    m_frameHave = 0;
}

void CJpegParser::OpenPicture(size_t codePos) {
    m_picture.clear();
    m_open = true;
    if (m_lastFF < 0) {
        m_picture.push_back(kMarkerByte);  // the 0xFF came with the previous block
        m_pictureStart = codePos;
    } else {
        m_pictureStart = static_cast<size_t>(m_lastFF);
    }
    m_state = State::kMarker;
}

void CJpegParser::RestartPicture(size_t ffPos) {
    m_picture.clear();
    m_open = true;
    if (ffPos >= 2) {
        m_pictureStart = ffPos - 2;
    } else {
        // The FF D8 in front, or the FF of it, came with earlier blocks.
        m_picture.push_back(kMarkerByte);
        if (ffPos == 0) {
            m_picture.push_back(kStartOfImage);
        }
        m_pictureStart = 0;
    }
    m_startMatch = 0;
    // The 0xFF at ffPos opens the new picture's first marker.
    m_lastFF = static_cast<ptrdiff_t>(ffPos);
    m_state = State::kMarkerCode;
}

void CJpegParser::ClosePicture(const uint8_t* data, size_t endPos) {
    m_state = State::kSeek;
    if (!m_open) {
        return;
    }
    m_picture.insert(m_picture.end(), data + m_pictureStart, data + endPos + 1);
    if (m_receiver) {
        m_receiver->OnJpeg(m_picture, m_width, m_height);
    }
    m_picture.clear();
    m_open = false;
}

void CJpegParser::DropPicture() {
    m_picture.clear();
    m_picture.shrink_to_fit();
    m_open = false;
    m_state = State::kSeek;
    ++m_dropped;
}

void CJpegParser::OnMarker(const uint8_t* data, size_t pos, bool inScan) {
    const uint8_t code = data[pos];
    const State resume = inScan ? State::kEntropy : State::kMarker;
    if (code == kMarkerByte) {
        m_lastFF = static_cast<ptrdiff_t>(pos);  // a fill byte: the marker byte comes next
    } else if (code == kStuffing) {
        // In entropy-coded data a stuffed 0xFF; where a marker is due, a stray byte.
        m_state = resume;
    } else if (IsRestart(code) || code == kTemporary) {
        m_state = resume;  // no length follows
    } else if (code == kStartOfImage) {
        // A new picture: the one open lost its end (a camera restarted its encoder).
        OpenPicture(pos);
    } else if (code == kEndOfImage) {
        ClosePicture(data, pos);
    } else {
        m_segmentMarker = code;
        m_state = State::kLengthHigh;
    }
}

size_t CJpegParser::SeekStart(const uint8_t* data, size_t size, size_t pos) {
    const void* hit = std::memchr(data + pos, kMarkerByte, size - pos);
    if (hit == nullptr) {
        return size;
    }
    const size_t ff = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
    m_lastFF = static_cast<ptrdiff_t>(ff);
    m_state = State::kSeekCode;
    return ff + 1;
}

size_t CJpegParser::FindStartInSegment(const uint8_t* data, size_t pos, size_t end) {
    // A match begun in the length field or in an earlier block.
    while (m_startMatch != 0 && pos < end) {
        m_startMatch = AdvanceStartMatch(m_startMatch, data[pos]);
        if (m_startMatch == 3) {
            return pos;
        }
        ++pos;
    }
    while (pos < end) {
        const void* hit = std::memchr(data + pos, kMarkerByte, end - pos);
        if (hit == nullptr) {
            return end;
        }
        const size_t ff = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
        if (ff + 1 == end) {
            m_startMatch = 1;
            return end;
        }
        if (data[ff + 1] != kStartOfImage) {
            pos = ff + 1;
            continue;
        }
        if (ff + 2 == end) {
            m_startMatch = 2;
            return end;
        }
        if (data[ff + 2] == kMarkerByte) {
            return ff + 2;
        }
        pos = ff + 3;
    }
    return end;
}

size_t CJpegParser::SkipSegment(const uint8_t* data, size_t size, size_t pos) {
    size_t take = std::min(m_segmentLeft, size - pos);
    bool restart = false;
    if (!IsApplicationOrComment(m_segmentMarker)) {
        // Tables and headers never hold a start of image: one there means that the picture
        // was cut short and the rest of its declared length belongs to the next one.
        const size_t ff = FindStartInSegment(data, pos, pos + take);
        restart = ff < pos + take;
        take = ff - pos;  // the bytes before it are the segment's, however the blocks fall
    }
    if (m_frameHave < kFrameBytes && IsStartOfFrame(m_segmentMarker)) {
        const size_t n = std::min(take, kFrameBytes - m_frameHave);
        std::memcpy(m_frame + m_frameHave, data + pos, n);
        m_frameHave += n;
        if (m_frameHave == kFrameBytes) {
            m_height = (static_cast<unsigned>(m_frame[1]) << 8) | m_frame[2];
            m_width = (static_cast<unsigned>(m_frame[3]) << 8) | m_frame[4];
        }
    }
    if (restart) {
        RestartPicture(pos + take);
        return pos + take + 1;
    }
    m_segmentLeft -= take;
    if (m_segmentLeft == 0) {
        if (m_startMatch != 0 && !IsApplicationOrComment(m_segmentMarker)) {
            // FF D8 of a start of image may close the segment with its FF to follow.
            m_state = State::kSegmentTail;
        } else {
            m_state = m_segmentMarker == kStartOfScan ? State::kEntropy : State::kMarker;
        }
    }
    return pos + take;
}

size_t CJpegParser::ScanEntropy(const uint8_t* data, size_t size, size_t pos) {
    const size_t ff = FindEntropyMarker(data, size, pos);
    if (ff >= size) {
        return size;
    }
    // A marker, or a 0xFF whose marker byte comes with the next block.
    m_lastFF = static_cast<ptrdiff_t>(ff);
    m_state = State::kEntropyCode;
    return ff + 1;
}

void CJpegParser::Parse(const uint8_t* data, size_t size) {
    if (data == nullptr || size == 0) {
        return;
    }
    m_pictureStart = 0;
    m_lastFF = -1;
    size_t pos = 0;
    while (pos < size) {
        switch (m_state) {
            case State::kSeek:
                pos = SeekStart(data, size, pos);
                break;
            case State::kSeekCode:
                if (data[pos] == kStartOfImage) {
                    OpenPicture(pos);
                } else if (data[pos] == kMarkerByte) {
                    m_lastFF = static_cast<ptrdiff_t>(pos);
                } else {
                    m_state = State::kSeek;
                }
                ++pos;
                break;
            case State::kMarker: {
                // Bytes where a marker is due that are not one are skipped, as decoders do.
                const void* hit = std::memchr(data + pos, kMarkerByte, size - pos);
                if (hit == nullptr) {
                    pos = size;
                    break;
                }
                pos = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
                m_lastFF = static_cast<ptrdiff_t>(pos);
                m_state = State::kMarkerCode;
                ++pos;
                break;
            }
            case State::kMarkerCode:
                OnMarker(data, pos++, false);
                break;
            case State::kEntropyCode:
                OnMarker(data, pos++, true);
                break;
            case State::kLengthHigh:
                // A picture cut right after a marker: its length field may already be the
                // next picture's start of image.
                m_startMatch = AdvanceStartMatch(0, data[pos]);
                m_segmentLeft = static_cast<size_t>(data[pos++]) << 8;
                m_state = State::kLengthLow;
                break;
            case State::kLengthLow: {
                m_startMatch = AdvanceStartMatch(m_startMatch, data[pos]);
                const size_t length = m_segmentLeft | data[pos++];
                if (length < 2) {
                    DropPicture();  // not a JPEG segment: the picture cannot be walked further
                    break;
                }
                m_segmentLeft = length - 2;
                m_frameHave = 0;
                m_state = State::kSegment;
                break;
            }
            case State::kSegment:
                pos = SkipSegment(data, size, pos);
                break;
            case State::kEntropy:
                pos = ScanEntropy(data, size, pos);
                break;
            case State::kSegmentTail:
                if (m_startMatch == 1 && data[pos] == kStartOfImage) {
                    m_startMatch = 2;  // no marker and no 0xFF of entropy-coded data: nothing lost
                    ++pos;
                } else if (m_startMatch == 2 && data[pos] == kMarkerByte) {
                    RestartPicture(pos++);
                } else {
                    // No start of image: the byte is read as the segment's end has it.
                    m_startMatch = 0;
                    m_state = m_segmentMarker == kStartOfScan ? State::kEntropy : State::kMarker;
                }
                break;
        }
    }
    if (m_open) {
        if (m_pictureStart < size) {
            m_picture.insert(m_picture.end(), data + m_pictureStart, data + size);
        }
        if (m_picture.size() > m_maxPictureSize) {
            // A broken camera: no end of image in sight. Wait for the next start of image.
            DropPicture();
        }
    }
}

}  // namespace vostrel

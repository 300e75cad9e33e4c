#include "jpeg_pattern.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <tuple>

#include <jpeglib.h>

namespace camsim {
namespace detail {
namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void OnJpegError(j_common_ptr info) {
    auto* err = reinterpret_cast<ErrorManager*>(info->err);
    std::longjmp(err->jump, 1);
}

void OnJpegMessage(j_common_ptr) {}  // warnings are not printed

constexpr size_t kCommentItemSize = 40;  // each "name = value" item, zero-padded
constexpr size_t kSecondCommentSize = 64;

// The first comment segment: fixed-length, zero-padded items as the camera writes them. The
// values of pan, tilt, zoom and alarm are not documented; a still head and no alarm.
std::vector<uint8_t> FirstComment(const std::string& model, unsigned frame_number) {
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "Timestamp = 2008/06/01 12:%02u:%02u.%03u",
                  frame_number / 600 % 60, frame_number / 10 % 60, frame_number % 10 * 100);
    const std::string items[] = {"type = " + model, stamp,      "pan = 0",
                                 "tilt = 0",        "zoom = 0", "alarm = 0"};
    std::vector<uint8_t> out;
    for (const auto& item : items) {
        const size_t start = out.size();
        out.insert(out.end(), item.begin(), item.end());
        out.resize(start + kCommentItemSize, 0);
    }
    return out;
}

// Rewrites the segments libjpeg puts between SOI and SOS (APP0, COM, DQT, SOF0, DHT, DRI) in
// the order of the camera's pictures: APP0, COM, DHT, DQT, DRI, SOF0.
std::vector<uint8_t> CameraSegmentOrder(const std::vector<uint8_t>& in) {
    std::map<int, std::vector<uint8_t>> by_rank;  // rank -> segments of that kind, in order
    const std::map<uint8_t, int> rank = {{0xE0, 0}, {0xFE, 1}, {0xC4, 2},
                                         {0xDB, 3}, {0xDD, 4}, {0xC0, 5}};
    size_t pos = 2;
    while (pos + 4 <= in.size() && in[pos] == 0xFF && in[pos + 1] != 0xDA) {
        const size_t length = 2 + ((in[pos + 2] << 8) | in[pos + 3]);
        auto it = rank.find(in[pos + 1]);
        auto& slot = by_rank[it == rank.end() ? 6 : it->second];
        slot.insert(slot.end(), in.begin() + pos, in.begin() + pos + length);
        pos += length;
    }
    std::vector<uint8_t> out(in.begin(), in.begin() + 2);
    for (const auto& [r, bytes] : by_rank) {
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    out.insert(out.end(), in.begin() + pos, in.end());
    return out;
}

}  // namespace

std::vector<uint8_t> EncodeTestPicture(unsigned width, unsigned height, unsigned frame_number,
                                       unsigned ring_size, int quality, const std::string& model) {
    const unsigned cell_w = width / kFrameBits;
    const unsigned cell_h = height / 12;
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    const unsigned bar_x = ring_size ? (frame_number % ring_size) * width / ring_size : 0;
    const unsigned bar_w = width / 20 + 1;
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            if (y < 2 * cell_h) {
                const unsigned cell = x / cell_w;
                uint8_t v = 0x80;  // the strip right of the 16 cells, if any
                if (cell < kFrameBits) {
                    bool bit = (frame_number >> (kFrameBits - 1 - cell)) & 1u;
                    if (y >= cell_h) {
                        bit = !bit;
                    }
                    v = bit ? 0xFF : 0x00;
                }
                p[0] = p[1] = p[2] = v;
            } else if (x >= bar_x && x < bar_x + bar_w) {
                p[0] = p[1] = p[2] = 0xF0;  // the moving bar
            } else {
                // Moving coloured diagonals.
                const unsigned n = frame_number * 4;
                p[0] = static_cast<uint8_t>((x + n) & 0xFF);
                p[1] = static_cast<uint8_t>((y * 2 + n) & 0xFF);
                p[2] = static_cast<uint8_t>(((x + y) / 2 + 2 * n) & 0xFF);
            }
        }
    }

    jpeg_compress_struct cinfo;
    ErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = OnJpegError;
    err.pub.output_message = OnJpegMessage;
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(out);
        throw std::runtime_error("camsim: JPEG encoding failed");
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &out, &out_size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.restart_in_rows = 1;  // a DRI segment, and a restart marker after every MCU row
    jpeg_start_compress(&cinfo, TRUE);
    const std::vector<uint8_t> first = FirstComment(model, frame_number);
    const std::vector<uint8_t> second(kSecondCommentSize, 0);  // contents not documented
    jpeg_write_marker(&cinfo, JPEG_COM, first.data(), static_cast<unsigned>(first.size()));
    jpeg_write_marker(&cinfo, JPEG_COM, second.data(), static_cast<unsigned>(second.size()));
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = &rgb[static_cast<size_t>(cinfo.next_scanline) * width * 3];
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<uint8_t> bytes(out, out + out_size);
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return CameraSegmentOrder(bytes);
}

std::shared_ptr<const std::vector<JpegPicture>> JpegRingFor(unsigned width, unsigned height,
                                                            unsigned count, int quality,
                                                            const std::string& model) {
    using Key = std::tuple<unsigned, unsigned, unsigned, int, std::string>;
    static std::mutex mutex;
    static std::map<Key, std::shared_ptr<const std::vector<JpegPicture>>> cache;
    std::lock_guard<std::mutex> lock(mutex);
    auto& slot = cache[Key{width, height, count, quality, model}];
    if (!slot) {
        auto ring = std::make_shared<std::vector<JpegPicture>>();
        ring->reserve(count);
        for (unsigned i = 0; i < count; ++i) {
            ring->push_back(JpegPicture{
                i, width, height, EncodeTestPicture(width, height, i, count, quality, model)});
        }
        slot = std::move(ring);
    }
    return slot;
}

}  // namespace detail

std::optional<unsigned> ReadFrameNumber(const uint8_t* jpeg, size_t size) {
    if (jpeg == nullptr || size < 4) {
        return std::nullopt;
    }
    jpeg_decompress_struct cinfo;
    detail::ErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = detail::OnJpegError;
    err.pub.output_message = detail::OnJpegMessage;
    std::vector<uint8_t> gray;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return std::nullopt;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg, static_cast<unsigned long>(size));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return std::nullopt;
    }
    cinfo.out_color_space = JCS_GRAYSCALE;
    jpeg_start_decompress(&cinfo);
    const unsigned width = cinfo.output_width;
    const unsigned height = cinfo.output_height;
    gray.resize(static_cast<size_t>(width) * height);
    while (cinfo.output_scanline < height) {
        JSAMPROW row = &gray[static_cast<size_t>(cinfo.output_scanline) * width];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);

    const unsigned cell_w = width / detail::kFrameBits;
    const unsigned cell_h = height / 12;
    if (cell_w < 4 || cell_h < 4) {
        return std::nullopt;
    }
    auto mean = [&](unsigned cell, unsigned row) {
        // The central half of the cell, away from edges blurred by the compression.
        const unsigned x0 = cell * cell_w + cell_w / 4, x1 = cell * cell_w + 3 * cell_w / 4;
        const unsigned y0 = row * cell_h + cell_h / 4, y1 = row * cell_h + 3 * cell_h / 4;
        unsigned long sum = 0, n = 0;
        for (unsigned y = y0; y < y1; ++y) {
            for (unsigned x = x0; x < x1; ++x) {
                sum += gray[static_cast<size_t>(y) * width + x];
                ++n;
            }
        }
        return n ? static_cast<unsigned>(sum / n) : 0u;
    };
    unsigned value = 0;
    for (unsigned cell = 0; cell < detail::kFrameBits; ++cell) {
        const unsigned bit = mean(cell, 0);
        const unsigned check = mean(cell, 1);
        const bool one = bit > 128;
        if ((bit > 64 && bit < 192) || (check > 64 && check < 192) || one == (check > 128)) {
            return std::nullopt;
        }
        value = (value << 1) | (one ? 1u : 0u);
    }
    return value;
}

std::optional<unsigned> ReadFrameNumber(const std::vector<uint8_t>& jpeg) {
    return ReadFrameNumber(jpeg.data(), jpeg.size());
}

std::optional<std::pair<unsigned, unsigned>> JpegSize(const std::vector<uint8_t>& jpeg) {
    for (size_t i = 0; i + 8 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF &&
            (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC1 || jpeg[i + 1] == 0xC2)) {
            const unsigned h = (jpeg[i + 5] << 8) | jpeg[i + 6];
            const unsigned w = (jpeg[i + 7] << 8) | jpeg[i + 8];
            return std::make_pair(w, h);
        }
    }
    return std::nullopt;
}

}  // namespace camsim

#include "mpeg4_preview.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <memory>

namespace camhost {

namespace {

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using ContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

// The JPEG encoder for one picture size, made again when the size changes.
ContextPtr OpenEncoder(int width, int height) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (codec == nullptr) {
        return nullptr;
    }
    ContextPtr encoder(avcodec_alloc_context3(codec));
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
    encoder->time_base = AVRational{1, 25};
    encoder->flags |= AV_CODEC_FLAG_QSCALE;
    encoder->global_quality = FF_QP2LAMBDA * 5;  // good enough for a preview, small
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0) {
        return nullptr;
    }
    return encoder;
}

}  // namespace

struct Mpeg4Preview::Codecs {
    ContextPtr decoder;
    ContextPtr encoder;
    FramePtr picture{av_frame_alloc()};
    PacketPtr in{av_packet_alloc()};
    PacketPtr out{av_packet_alloc()};
};

Mpeg4Preview::Mpeg4Preview(Output output) : m_output(std::move(output)) {}

Mpeg4Preview::~Mpeg4Preview() {
    Stop();
}

bool Mpeg4Preview::Start() {
    if (avcodec_find_decoder(AV_CODEC_ID_MPEG4) == nullptr) {
        m_error = "libavcodec has no MPEG-4 decoder";
        return false;
    }
    if (avcodec_find_encoder(AV_CODEC_ID_MJPEG) == nullptr) {
        m_error = "libavcodec has no JPEG encoder";
        return false;
    }
    m_thread = std::thread([this] { Run(); });
    return true;
}

void Mpeg4Preview::Feed(const uint8_t* data, size_t size, bool key) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_stopping) {
        return;
    }
    if (m_queue.size() >= kQueueLimit) {
        // Behind: what waits is stale, and a P-picture cannot be decoded without its
        // predecessors, so everything up to the next key picture goes.
        m_dropped += m_queue.size();
        m_queue.clear();
        m_waitForKey = true;
    }
    if (m_waitForKey && !key) {
        ++m_dropped;
        return;
    }
    m_waitForKey = false;
    m_queue.emplace_back(reinterpret_cast<const char*>(data), size);
    m_cond.notify_one();
}

void Mpeg4Preview::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stopping = true;
        m_queue.clear();
        m_cond.notify_all();
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

uint64_t Mpeg4Preview::Dropped() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_dropped;
}

void Mpeg4Preview::Run() {
    Codecs codecs;
    const AVCodec* mpeg4 = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
    codecs.decoder.reset(avcodec_alloc_context3(mpeg4));
    if (avcodec_open2(codecs.decoder.get(), mpeg4, nullptr) < 0) {
        return;
    }
    int64_t pts = 0;
    for (;;) {
        std::string picture;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cond.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
            if (m_stopping) {
                return;
            }
            picture = std::move(m_queue.front());
            m_queue.pop_front();
        }
        AVPacket* in = codecs.in.get();
        if (av_new_packet(in, static_cast<int>(picture.size())) < 0) {
            continue;
        }
        std::copy(picture.begin(), picture.end(), in->data);
        const int sent = avcodec_send_packet(codecs.decoder.get(), in);
        av_packet_unref(in);
        if (sent < 0) {
            continue;
        }
        AVFrame* frame = codecs.picture.get();
        while (avcodec_receive_frame(codecs.decoder.get(), frame) == 0) {
            auto& encoder = codecs.encoder;
            if (!encoder || encoder->width != frame->width || encoder->height != frame->height) {
                encoder = OpenEncoder(frame->width, frame->height);
            }
            if (!encoder) {
                av_frame_unref(frame);
                continue;
            }
            // The decoder's 4:2:0 planes, taken by the JPEG encoder as they are.
            frame->format = AV_PIX_FMT_YUVJ420P;
            frame->pts = pts++;
            if (avcodec_send_frame(encoder.get(), frame) == 0 &&
                avcodec_receive_packet(encoder.get(), codecs.out.get()) == 0) {
                const AVPacket* out = codecs.out.get();
                m_output(std::string(reinterpret_cast<const char*>(out->data),
                                     static_cast<size_t>(out->size)),
                         static_cast<unsigned>(frame->width), static_cast<unsigned>(frame->height));
                av_packet_unref(codecs.out.get());
            }
            av_frame_unref(frame);
        }
    }
}

}  // namespace camhost

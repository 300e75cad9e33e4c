#pragma once
// Host frames from a pool, for the programs that measure the module rather than a host: a
// released frame goes back to the pool with its buffer, so a steady stream allocates nothing
// once the pool holds a frame of each size in flight. Thread-safe.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "jvc_ipcapture/host_frame.h"

namespace bench {

class PoolFrame : public vostrel::ipcapture::IHostFrame {
  public:
    uint8_t* GetBuffer() override { return buffer.get(); }
    void SetDataSize(unsigned s) override { size = s; }
    int Prepare() override { return 0; }
    void SetFormat(uint32_t f) override { fourcc = f; }
    void SetHeight(unsigned) override {}
    void SetWidth(unsigned) override {}
    void SetSizeClass(int) override {}

    std::unique_ptr<uint8_t[]> buffer;
    size_t capacity = 0;
    unsigned size = 0;
    uint32_t fourcc = 0;
};

class PoolFactory : public vostrel::ipcapture::IHostFrameFactory {
  public:
    vostrel::ipcapture::IHostFrame* CreateFrame(uint32_t fourcc, unsigned capacity,
                                                const char*) override {
        std::unique_ptr<PoolFrame> frame;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (!m_free.empty()) {
                frame = std::move(m_free.back());
                m_free.pop_back();
            }
        }
        if (!frame) {
            frame = std::make_unique<PoolFrame>();
        }
        if (frame->capacity < capacity) {
            frame->buffer.reset(new uint8_t[capacity]);
            frame->capacity = capacity;
        }
        frame->fourcc = fourcc;
        frame->size = 0;
        return frame.release();
    }
    void ReleaseFrame(vostrel::ipcapture::IHostFrame* frame) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_free.emplace_back(static_cast<PoolFrame*>(frame));
    }

  private:
    std::mutex m_mutex;
    std::vector<std::unique_ptr<PoolFrame>> m_free;
};

}  // namespace bench

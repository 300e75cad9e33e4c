#pragma once
// Writes captured frames to files on a thread of its own, so the module's channel threads
// only copy a frame into a queue. The queue is bounded in bytes: when the disk cannot keep up,
// frames are dropped (and counted) rather than held without limit.
//
// MJPEG: every picture is a file DIR/chN/000001.jpg, 000002.jpg, ...
// MPEG-4: the pictures of a channel are concatenated into DIR/chN/stream.m4v, an elementary
// stream that starts at the first key frame (key frames carry the sequence header).
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture_options.h"

namespace camhost {

class FrameWriter {
  public:
    struct ChannelStats {
        std::string path;        // the channel's folder (MJPEG) or stream file (MPEG-4)
        uint64_t written = 0;    // frames written
        uint64_t bytes = 0;      // bytes written
        uint64_t dropped = 0;    // frames dropped because the queue was full
        uint64_t beforeKey = 0;  // MPEG-4 frames left out before the first key frame
    };

    FrameWriter(std::string outDir, StreamKind kind, unsigned channels,
                size_t maxQueuedBytes = 64u << 20);
    ~FrameWriter();  // Finish()
    FrameWriter(const FrameWriter&) = delete;
    FrameWriter& operator=(const FrameWriter&) = delete;

    // Makes the channel folders (emptying old pictures of an earlier run there) and starts the
    // thread. False with the reason when the folders cannot be made.
    bool Start(std::string& error);
    // Copies a frame into the queue; called on the module's threads. False when it was dropped.
    bool Submit(unsigned channel, bool keyFrame, const uint8_t* data, size_t size);
    // Writes what is queued, closes the files and ends the thread. Safe to call twice.
    void Finish();

    ChannelStats Stats(unsigned channel) const;
    std::string FirstError() const;  // empty when every write succeeded

  private:
    struct Job {
        unsigned channel;
        bool keyFrame;
        std::vector<uint8_t> data;
    };
    struct Channel {
        ChannelStats stats;
        uint64_t nextNumber = 1;  // MJPEG file number
        bool sawKey = false;
        FILE* stream = nullptr;  // MPEG-4 file
    };

    void Run();
    void Write(Job& job);
    void Fail(const std::string& text);

    const std::string m_outDir;
    const StreamKind m_kind;
    const size_t m_maxQueuedBytes;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_queue;
    size_t m_queuedBytes = 0;
    bool m_finishing = false;
    std::vector<Channel> m_channels;
    std::string m_firstError;
    std::thread m_thread;
};

}  // namespace camhost

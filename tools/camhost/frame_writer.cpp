#include "frame_writer.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace camhost {

namespace fs = std::filesystem;

FrameWriter::FrameWriter(std::string outDir, StreamKind kind, unsigned channels,
                         size_t maxQueuedBytes)
    : m_outDir(std::move(outDir)),
      m_kind(kind),
      m_maxQueuedBytes(maxQueuedBytes),
      m_channels(channels) {}

FrameWriter::~FrameWriter() {
    Finish();
}

bool FrameWriter::Start(std::string& error) {
    for (size_t i = 0; i < m_channels.size(); ++i) {
        const fs::path folder = fs::path(m_outDir) / ("ch" + std::to_string(i));
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (ec) {
            error = "cannot make the folder " + folder.string() + ": " + ec.message();
            return false;
        }
        // Pictures of an earlier run would mix with this one's.
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            const auto ext = entry.path().extension();
            if (entry.is_regular_file() && (ext == ".jpg" || ext == ".m4v")) {
                fs::remove(entry.path(), ec);
            }
        }
        Channel& channel = m_channels[i];
        if (m_kind == StreamKind::kMpeg4) {
            channel.stats.path = (folder / "stream.m4v").string();
            channel.stream = std::fopen(channel.stats.path.c_str(), "wb");
            if (channel.stream == nullptr) {
                error = "cannot write " + channel.stats.path + ": " + std::strerror(errno);
                return false;
            }
        } else {
            channel.stats.path = folder.string();
        }
    }
    m_thread = std::thread([this] { Run(); });
    return true;
}

bool FrameWriter::Submit(unsigned channel, bool keyFrame, const uint8_t* data, size_t size) {
    if (channel >= m_channels.size()) {
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_finishing || m_queuedBytes + size > m_maxQueuedBytes) {
            ++m_channels[channel].stats.dropped;
            return false;
        }
        m_queuedBytes += size;
    }
    // The copy is made outside the lock; the bytes were reserved above.
    Job job{channel, keyFrame, std::vector<uint8_t>(data, data + size)};
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_queue.push_back(std::move(job));
    }
    m_wake.notify_one();
    return true;
}

void FrameWriter::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return !m_queue.empty() || m_finishing; });
        if (m_queue.empty()) {
            return;  // finishing, everything written
        }
        Job job = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        Write(job);
        lock.lock();
        m_queuedBytes -= job.data.size();
    }
}

void FrameWriter::Write(Job& job) {
    // Only this thread touches a channel's files and write counts; Stats() reads the counts
    // under the lock.
    Channel& channel = m_channels[job.channel];
    if (m_kind == StreamKind::kMpeg4) {
        if (!channel.sawKey && !job.keyFrame) {
            std::lock_guard<std::mutex> guard(m_mutex);
            ++channel.stats.beforeKey;
            return;
        }
        channel.sawKey = true;
        if (std::fwrite(job.data.data(), 1, job.data.size(), channel.stream) != job.data.size()) {
            Fail("cannot write " + channel.stats.path + ": " + std::strerror(errno));
            return;
        }
    } else {
        char name[32];
        std::snprintf(name, sizeof(name), "%06llu.jpg",
                      static_cast<unsigned long long>(channel.nextNumber++));
        const std::string path = (fs::path(channel.stats.path) / name).string();
        FILE* file = std::fopen(path.c_str(), "wb");
        bool ok = file != nullptr &&
                  std::fwrite(job.data.data(), 1, job.data.size(), file) == job.data.size();
        const int why = errno;
        if (file != nullptr && std::fclose(file) != 0) {
            ok = false;
        }
        if (!ok) {
            Fail("cannot write " + path + ": " + std::strerror(why));
            return;
        }
    }
    std::lock_guard<std::mutex> guard(m_mutex);
    ++channel.stats.written;
    channel.stats.bytes += job.data.size();
}

void FrameWriter::Fail(const std::string& text) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_firstError.empty()) {
        m_firstError = text;
    }
}

void FrameWriter::Finish() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_finishing = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    for (auto& channel : m_channels) {
        if (channel.stream != nullptr) {
            if (std::fclose(channel.stream) != 0) {
                Fail("cannot write " + channel.stats.path + ": " + std::strerror(errno));
            }
            channel.stream = nullptr;
        }
    }
}

FrameWriter::ChannelStats FrameWriter::Stats(unsigned channel) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return channel < m_channels.size() ? m_channels[channel].stats : ChannelStats{};
}

std::string FrameWriter::FirstError() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_firstError;
}

}  // namespace camhost

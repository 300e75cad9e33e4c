#pragma once
// What the live view hands to its viewers, each bounded however slowly a viewer reads: the
// latest picture of a channel (a viewer that falls behind skips to the newest), and the stream
// of events (a viewer's queue keeps the newest events and drops the oldest).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace camhost {

// The newest JPEG picture of one channel.
class PictureSlot {
  public:
    using Picture = std::shared_ptr<const std::string>;

    void Put(Picture picture);
    // Waits until a picture newer than `seen` is there (or the slot closes, or the time-out
    // passes). The picture and its number; a null picture when none came.
    std::pair<uint64_t, Picture> WaitNewer(uint64_t seen, std::chrono::milliseconds timeout);
    // Wakes every waiter for good.
    void Close();
    bool Closed() const;

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    Picture m_picture;
    uint64_t m_number = 0;
    bool m_closed = false;
};

// Server-sent events for every viewer. An event has a type and a JSON text. Events given a key
// are kept as the current state (the last one per key) and sent first to a viewer who comes
// later; log lines are kept as the last kLogHistory of them.
class EventHub {
  public:
    static constexpr size_t kQueueLimit = 256;
    static constexpr size_t kLogHistory = 50;

    class Subscription {
      public:
        // The next event in the text/event-stream form, or an empty text after the time-out;
        // nullopt once the hub has closed.
        std::optional<std::string> Next(std::chrono::milliseconds timeout);
        uint64_t Dropped() const;

      private:
        friend class EventHub;
        EventHub* m_hub = nullptr;
        std::deque<std::string> m_queue;  // guarded by the hub's mutex
        uint64_t m_dropped = 0;
    };

    // key: the state this event replaces for later viewers ("input 1"); empty for none.
    void Publish(const std::string& type, const std::string& json, const std::string& key = "");
    void PublishLog(const std::string& json);
    std::shared_ptr<Subscription> Subscribe();
    void Unsubscribe(const std::shared_ptr<Subscription>& subscription);
    // Forgets the kept states whose key starts with the prefix ("input ").
    void ForgetStates(const std::string& prefix);
    // Ends every subscription.
    void Close();
    size_t Subscribers() const;

    // "event: TYPE\ndata: JSON\n\n"
    static std::string Format(const std::string& type, const std::string& json);

  private:
    void DeliverLocked(const std::string& text);

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::map<std::string, std::string> m_states;  // key -> formatted event
    std::deque<std::string> m_log;
    std::deque<std::shared_ptr<Subscription>> m_subscriptions;
    bool m_closed = false;
};

}  // namespace camhost

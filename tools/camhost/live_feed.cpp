#include "live_feed.h"

#include <algorithm>

namespace camhost {

void PictureSlot::Put(Picture picture) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_picture = std::move(picture);
    ++m_number;
    m_cond.notify_all();
}

std::pair<uint64_t, PictureSlot::Picture> PictureSlot::WaitNewer(
    uint64_t seen, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait_for(lock, timeout, [&] { return m_closed || m_number > seen; });
    if (m_closed || m_number <= seen) {
        return {seen, nullptr};
    }
    return {m_number, m_picture};
}

void PictureSlot::Close() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_closed = true;
    m_cond.notify_all();
}

bool PictureSlot::Closed() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_closed;
}

std::string EventHub::Format(const std::string& type, const std::string& json) {
    // A data line must not hold a line break; JSON texts made here escape theirs.
    return "event: " + type + "\ndata: " + json + "\n\n";
}

void EventHub::DeliverLocked(const std::string& text) {
    for (auto& subscription : m_subscriptions) {
        if (subscription->m_queue.size() >= kQueueLimit) {
            subscription->m_queue.pop_front();
            ++subscription->m_dropped;
        }
        subscription->m_queue.push_back(text);
    }
    m_cond.notify_all();
}

void EventHub::Publish(const std::string& type, const std::string& json, const std::string& key) {
    const std::string text = Format(type, json);
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!key.empty()) {
        m_states[key] = text;
    }
    DeliverLocked(text);
}

void EventHub::PublishLog(const std::string& json) {
    const std::string text = Format("log", json);
    std::lock_guard<std::mutex> guard(m_mutex);
    m_log.push_back(text);
    if (m_log.size() > kLogHistory) {
        m_log.pop_front();
    }
    DeliverLocked(text);
}

std::shared_ptr<EventHub::Subscription> EventHub::Subscribe() {
    auto subscription = std::make_shared<Subscription>();
    subscription->m_hub = this;
    std::lock_guard<std::mutex> guard(m_mutex);
    for (const auto& [key, text] : m_states) {
        subscription->m_queue.push_back(text);
    }
    for (const auto& text : m_log) {
        subscription->m_queue.push_back(text);
    }
    m_subscriptions.push_back(subscription);
    return subscription;
}

void EventHub::Unsubscribe(const std::shared_ptr<Subscription>& subscription) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_subscriptions.erase(std::remove(m_subscriptions.begin(), m_subscriptions.end(), subscription),
                          m_subscriptions.end());
}

void EventHub::ForgetStates(const std::string& prefix) {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (auto it = m_states.begin(); it != m_states.end();) {
        it = it->first.rfind(prefix, 0) == 0 ? m_states.erase(it) : std::next(it);
    }
}

void EventHub::Close() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_closed = true;
    m_cond.notify_all();
}

size_t EventHub::Subscribers() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_subscriptions.size();
}

std::optional<std::string> EventHub::Subscription::Next(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_hub->m_mutex);
    m_hub->m_cond.wait_for(lock, timeout, [&] { return m_hub->m_closed || !m_queue.empty(); });
    if (m_hub->m_closed) {
        return std::nullopt;
    }
    if (m_queue.empty()) {
        return std::string();
    }
    std::string text = std::move(m_queue.front());
    m_queue.pop_front();
    return text;
}

uint64_t EventHub::Subscription::Dropped() const {
    std::lock_guard<std::mutex> guard(m_hub->m_mutex);
    return m_dropped;
}

}  // namespace camhost

#pragma once
// TSmartPtr: a reference-counted shared owner. All copies share one separately allocated
// count and one object; the last copy to let go deletes the object. An empty pointer (no
// count, no object) copies as empty.
#include <atomic>
#include <cstdint>
#include <utility>

namespace vostrel {

template <class T>
class TSmartPtr {
  public:
    TSmartPtr() = default;
    // Takes ownership of a new object; a null object leaves the pointer empty.
    explicit TSmartPtr(T* object) { Reset(object); }
    TSmartPtr(const TSmartPtr& other) { Share(other); }
    TSmartPtr(TSmartPtr&& other) noexcept
        : m_count(std::exchange(other.m_count, nullptr)),
          m_object(std::exchange(other.m_object, nullptr)) {}
    virtual ~TSmartPtr() { Release(); }

    TSmartPtr& operator=(const TSmartPtr& other) {
        if (this != &other) {
            // Share first so that assigning a copy of the same object never drops the count to 0.
            TSmartPtr copy(other);
            Release();
            m_count = std::exchange(copy.m_count, nullptr);
            m_object = std::exchange(copy.m_object, nullptr);
        }
        return *this;
    }
    TSmartPtr& operator=(TSmartPtr&& other) noexcept {
        if (this != &other) {
            Release();
            m_count = std::exchange(other.m_count, nullptr);
            m_object = std::exchange(other.m_object, nullptr);
        }
        return *this;
    }

    // Drops this owner's reference; the last reference deletes the object and its count.
    // The pointer is empty afterwards.
    void Release() {
        if (m_count != nullptr && m_count->fetch_sub(1) == 1) {
            delete m_object;
            delete m_count;
        }
        m_count = nullptr;
        m_object = nullptr;
    }

    // Releases the current reference, then owns object alone (count 1). A null object leaves
    // the pointer empty.
    void Reset(T* object) {
        Release();
        if (object != nullptr) {
            m_count = new std::atomic<int32_t>(1);
            m_object = object;
        }
    }

    T* Get() const { return m_object; }
    T* operator->() const { return m_object; }
    T& operator*() const { return *m_object; }
    bool IsEmpty() const { return m_object == nullptr; }
    explicit operator bool() const { return m_object != nullptr; }
    // Number of owners sharing the object; 0 when empty.
    int32_t UseCount() const { return m_count != nullptr ? m_count->load() : 0; }

  private:
    void Share(const TSmartPtr& other) {
        if (other.m_count != nullptr && other.m_object != nullptr) {
            other.m_count->fetch_add(1);
            m_count = other.m_count;
            m_object = other.m_object;
        }
    }

    // The count is atomic so that owners on different threads may copy and release freely.
    std::atomic<int32_t>* m_count = nullptr;
    T* m_object = nullptr;
};

}  // namespace vostrel

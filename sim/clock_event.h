// What a clock event does: any callable, kept inside the event itself when it
// is small (nearly all are a pointer and a few values), so that scheduling an
// event allocates nothing. Built in place and never moved: the clock keeps
// its events where they were made.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace sim {

class ClockEvent {
public:
    ClockEvent() = default;
    ClockEvent(const ClockEvent&) = delete;
    ClockEvent& operator=(const ClockEvent&) = delete;
    ~ClockEvent() { reset(); }

    template <class F>
    void emplace(F&& f)
    {
        using Fn = std::decay_t<F>;
        reset();
        if constexpr (sizeof(Fn) <= kInline && alignof(Fn) <= alignof(std::max_align_t)) {
            new (storage_) Fn(std::forward<F>(f));
            call_ = [](void* p) { (*static_cast<Fn*>(p))(); };
            if constexpr (!std::is_trivially_destructible_v<Fn>)
                destroy_ = [](void* p) { static_cast<Fn*>(p)->~Fn(); };
        } else {
            *reinterpret_cast<Fn**>(storage_) = new Fn(std::forward<F>(f));
            call_ = [](void* p) { (**static_cast<Fn**>(p))(); };
            destroy_ = [](void* p) { delete *static_cast<Fn**>(p); };
        }
    }

    void operator()() { call_(storage_); }
    explicit operator bool() const { return call_ != nullptr; }

    void reset()
    {
        if (destroy_)
            destroy_(storage_);
        call_ = nullptr;
        destroy_ = nullptr;
    }

private:
    static constexpr size_t kInline = 64;
    alignas(std::max_align_t) unsigned char storage_[kInline];
    void (*call_)(void*) = nullptr;
    void (*destroy_)(void*) = nullptr;
};

}  // namespace sim

// A wake-up that any thread can send to a thread waiting in poll().
#pragma once

namespace pb {

class WakeEvent {
public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    // False when the system had no descriptor to spare; signal() then does nothing.
    bool valid() const { return fd_ >= 0; }
    // Poll it for POLLIN: readable from the first signal() on, for good.
    int fd() const { return fd_; }
    // Any thread.
    void signal();

private:
    int fd_;
};

}  // namespace pb

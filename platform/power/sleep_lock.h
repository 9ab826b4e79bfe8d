#pragma once
// Keeps the computer from sleeping or idling while the amplifier is being
// written: a half-written amplifier stays in its boot loader. The lock is a
// file descriptor the login manager hands out over the system bus; it holds
// until the descriptor is closed. Where there is no system bus or no login
// manager, nothing happens and nothing is said.

#include <string>

namespace power {

class SleepLock {
public:
    SleepLock() = default;
    ~SleepLock() { release(); }
    SleepLock(const SleepLock&) = delete;
    SleepLock& operator=(const SleepLock&) = delete;

    // Takes the lock unless it is held already. Returns whether it is held.
    bool acquire(const std::string& why = "Firmware update in progress");
    void release();
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace power

#include "platform/power/sleep_lock.h"

#include <windows.h>

namespace power {

// The request belongs to the calling thread (the UI thread, which runs the
// update) and holds until that thread clears it.
bool SleepLock::acquire(const std::string&) {
    if (fd_ >= 0) return true;
    if (::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0) fd_ = 0;
    return fd_ >= 0;
}

void SleepLock::release() {
    if (fd_ < 0) return;
    ::SetThreadExecutionState(ES_CONTINUOUS);
    fd_ = -1;
}

}  // namespace power

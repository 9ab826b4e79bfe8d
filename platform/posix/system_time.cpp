#include "platform/system_time.h"

#include <chrono>
#include <thread>

namespace platform {

uint32_t systemTickCount() {
    using namespace std::chrono;
    static const auto origin = steady_clock::now();
    // Start well away from zero so the wrap-around logic sees realistic values.
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now() - origin).count() + 10000);
}

void systemSleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace platform

#pragma once
// The operating system's own tick count and thread pause, under the real
// clock (platform/posix, platform/win).

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary origin, wrapping at 2^32.
uint32_t systemTickCount();
// Blocks the calling thread.
void systemSleep(uint32_t ms);

}  // namespace platform

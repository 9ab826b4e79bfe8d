#include "platform/system_time.h"

#include <windows.h>

namespace platform {

uint32_t systemTickCount() { return ::GetTickCount(); }

void systemSleep(uint32_t ms) { ::Sleep(ms); }

}  // namespace platform

#pragma once
// The device list both port components take from the MIDI service: at most
// max capability records, a device gone between the count and its record
// leaving an empty one, every name zero-terminated.

#include <algorithm>
#include <cstring>

#include "platform/midi/mmsystem.h"

template <class Caps>
int readDeviceList(Caps* caps, int max, UINT (*count)(), MMRESULT (*get)(UINT_PTR, Caps*, UINT)) {
    const int n = static_cast<int>(std::min<UINT>(count(), static_cast<UINT>(max)));
    std::memset(static_cast<void*>(caps), 0, sizeof(Caps) * size_t(max));
    for (int i = 0; i < n; ++i) {
        if (get(static_cast<UINT_PTR>(i), &caps[i], sizeof(Caps)) != MMSYSERR_NOERROR)
            std::memset(static_cast<void*>(&caps[i]), 0, sizeof(Caps));
        caps[i].szPname[MAXPNAMELEN - 1] = '\0';
    }
    return n;
}

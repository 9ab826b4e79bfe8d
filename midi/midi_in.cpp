#include "midi/midi_in.h"

#include <algorithm>

#include "midi/device_list.h"

TMidiIn::TMidiIn(QObject* owner)
    : QObject(owner),
      DevCaps(new MIDIINCAPSA[kMaxDevices]()),
      SysExPool(new uint8_t[size_t(kBufferCount) * kBufferSize]()),
      SysExHeaders(new MIDIHDR[kBufferCount]()) {
    refreshDevices();
}

TMidiIn::~TMidiIn() {
    if (using_) UnPrepare();
    delete[] SysExHeaders;
    delete[] SysExPool;
    delete[] DevCaps;
}

bool TMidiIn::refreshDevices() {
    if (using_) return false;
    numDevs_ = readDeviceList(DevCaps, kMaxDevices, midiInGetNumDevs, midiInGetDevCapsA);
    return true;
}

const char* TMidiIn::deviceName(int i) const {
    return i >= 0 && i < numDevs_ ? DevCaps[i].szPname : "";
}

void TMidiIn::SetUsing(bool value) {
    if (value && !using_) Prepare();
    else if (!value && using_) UnPrepare();
    using_ = value;
}

void TMidiIn::SetPort(int index) {
    if (!(index < numDevs_)) return;
    if (!using_) {
        port_ = index;
        return;
    }
    UnPrepare();
    port_ = index;
    Prepare();
}

void TMidiIn::Prepare() {
    Handle = nullptr;
    OpenResult = midiInOpen(&Handle, static_cast<UINT>(port_), reinterpret_cast<DWORD_PTR>(&TMidiIn::notify),
                            reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    // Started before the buffers are queued, as the device expects.
    midiInStart(Handle);
    PrepSysEx();
}

void TMidiIn::PrepSysEx() {
    Closing.store(false, std::memory_order_release);
    for (int i = 0; i < kBufferCount; ++i) {
        MIDIHDR& h = SysExHeaders[i];
        h = MIDIHDR{};
        h.lpData = reinterpret_cast<LPSTR>(SysExPool + size_t(i) * kBufferSize);
        h.dwBufferLength = kBufferSize;
        h.dwFlags = 0;
        midiInPrepareHeader(Handle, &h, sizeof(MIDIHDR));
        if (!BuffersQueued) midiInAddBuffer(Handle, &h, sizeof(MIDIHDR));
    }
    BuffersQueued = true;
}

void TMidiIn::UnPrepSysEx() {
    for (int i = 0; i < kBufferCount; ++i) midiInUnprepareHeader(Handle, &SysExHeaders[i], sizeof(MIDIHDR));
}

void TMidiIn::UnPrepare() {
    // Set before the reset so the buffers it hands back are neither
    // reported nor queued again.
    Closing.store(true, std::memory_order_release);
    midiInStop(Handle);
    midiInReset(Handle);
    UnPrepSysEx();
    CloseResult = midiInClose(Handle);
    if (CloseResult == MIDIERR_STILLPLAYING) {
        // A buffer re-queued by a notification that was already past its
        // Closing check when the reset ran; without a second reset the
        // device would stay open and held for good.
        midiInReset(Handle);
        UnPrepSysEx();
        CloseResult = midiInClose(Handle);
    }
    BuffersQueued = false;
}

void CALLBACK TMidiIn::notify(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2) {
    auto* self = reinterpret_cast<TMidiIn*>(instance);
    if (!self) return;
    TMessage m;
    m.Msg = msg;
    m.lParam = p1;
    m.wParam = p2;
    if (msg == MIM_DATA) self->ShortIn(m);
    else if (msg == MIM_LONGDATA) self->LongIn(m);
    else if (msg == MIM_LONGERROR) self->requeue(reinterpret_cast<MIDIHDR*>(m.lParam));
}

void TMidiIn::ShortIn(const TMessage& m) {
    if (!UseShort() || !OnShort) return;
    const auto word = static_cast<DWORD>(m.lParam);
    OnShort(this, uint8_t(word & 0xFF), uint8_t(word >> 8 & 0xFF), uint8_t(word >> 16 & 0xFF));
}

bool TMidiIn::ownHeader(const MIDIHDR* hdr) const {
    const auto at = reinterpret_cast<uintptr_t>(hdr), first = reinterpret_cast<uintptr_t>(SysExHeaders);
    return at >= first && at < first + sizeof(MIDIHDR) * kBufferCount && (at - first) % sizeof(MIDIHDR) == 0;
}

void TMidiIn::LongIn(const TMessage& m) {
    if (Closing.load(std::memory_order_acquire)) return;
    auto* hdr = reinterpret_cast<MIDIHDR*>(m.lParam);
    // Only our own headers go back to the device.
    if (!ownHeader(hdr)) return;
    if (UseSysEx() && OnSysEx) {
        const int n = static_cast<int>(std::min<DWORD>(hdr->dwBytesRecorded, kBufferSize));
        OnSysEx(this, reinterpret_cast<uint8_t*>(hdr->lpData), n);
    }
    requeue(hdr);
}

// A buffer back from the device goes to it again at once. One that came
// back with a message cut short is not reported, but it is queued again:
// otherwise sixteen such messages would leave the port deaf.
void TMidiIn::requeue(MIDIHDR* hdr) {
    if (Closing.load(std::memory_order_acquire) || !ownHeader(hdr)) return;
    hdr->dwFlags = 0;
    midiInUnprepareHeader(Handle, hdr, sizeof(MIDIHDR));
    midiInPrepareHeader(Handle, hdr, sizeof(MIDIHDR));
    midiInAddBuffer(Handle, hdr, sizeof(MIDIHDR));
}

#include "midi/midi_out.h"

#include <chrono>
#include <thread>

#include "midi/device_list.h"
#include "platform/clock.h"
#include "platform/midi/midi_layer.h"

TMidiOut::TMidiOut(QObject* owner) : QObject(owner), DevCaps(new MIDIOUTCAPSA[kMaxDevices]()) {
    refreshDevices();
}

TMidiOut::~TMidiOut() {
    if (using_) closeDevice();
    delete[] DevCaps;
}

bool TMidiOut::refreshDevices() {
    if (using_) return false;
    numDevs_ = readDeviceList(DevCaps, kMaxDevices, midiOutGetNumDevs, midiOutGetDevCapsA);
    return true;
}

const char* TMidiOut::deviceName(int i) const {
    return i >= 0 && i < numDevs_ ? DevCaps[i].szPname : "";
}

void TMidiOut::openDevice() {
    Handle = nullptr;
    OpenResult = midiOutOpen(&Handle, static_cast<UINT>(port_), reinterpret_cast<DWORD_PTR>(&TMidiOut::onDone),
                             reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
}

void CALLBACK TMidiOut::onDone(HMIDIOUT, UINT msg, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    if (msg != MOM_DONE) return;
    auto* self = reinterpret_cast<TMidiOut*>(instance);
    // Taken so a waiter between its check and its wait cannot miss this.
    { std::lock_guard lk(self->doneMu_); }
    self->doneCv_.notify_all();
}

void TMidiOut::waitDone(const MIDIHDR& hdr) {
    if (platform::clock().isVirtual()) {
        while (!platform::midi::headerDone(hdr)) platform::Sleep(1);
        return;
    }
    // A port whose driver went away marks its blocks done without a
    // notification, so the wait looks again now and then.
    std::unique_lock lk(doneMu_);
    while (!platform::midi::headerDone(hdr))
        doneCv_.wait_for(lk, std::chrono::milliseconds(100), [&] { return platform::midi::headerDone(hdr); });
}

void TMidiOut::closeDevice() {
    // The service refuses while a block is still queued. A block that is
    // still going out (a sender left running by a time-out, a port switched
    // in the menu) is aborted rather than waited for, which could take
    // seconds at the wire's pace; its SysEx call then reports it cut short.
    if (blocksOut_.load() > 0) midiOutReset(Handle);
    while ((CloseResult = midiOutClose(Handle)) == MIDIERR_STILLPLAYING) {
        midiOutReset(Handle);
        std::this_thread::yield();
    }
}

void TMidiOut::SetUsing(bool value) {
    if (value && !using_) openDevice();
    else if (!value && using_) closeDevice();
    using_ = value;
}

void TMidiOut::SetPort(int index) {
    if (!(index < numDevs_)) return;
    if (!using_) {
        port_ = index;
        return;
    }
    closeDevice();
    port_ = index;
    openDevice();
}

void TMidiOut::send(DWORD word) {
    if (using_) midiOutShortMsg(Handle, word);
}

void TMidiOut::Put1(uint8_t Status) { send(Status); }
void TMidiOut::Put2(uint8_t Status, uint8_t First) { send(DWORD(Status) | DWORD(First) << 8); }
void TMidiOut::Put3(uint8_t Status, uint8_t First, uint8_t Second) {
    send(DWORD(Status) | DWORD(First) << 8 | DWORD(Second) << 16);
}
void TMidiOut::Put2Direct(uint32_t Message) { send(Message); }

void TMidiOut::Reset() {
    if (using_) midiOutReset(Handle);
}

bool TMidiOut::SeesOthers() const { return using_ && platform::midi::seesOthers(Handle); }

bool TMidiOut::SysEx(const uint8_t* Data, int Length, const std::function<void()>& queued) {
    if (!using_ || Length <= 2 || Data == nullptr) {
        if (queued) queued();
        return false;
    }
    blocksOut_.fetch_add(1);
    const HMIDIOUT handle = Handle;
    MIDIHDR hdr{};
    hdr.lpData = reinterpret_cast<LPSTR>(const_cast<uint8_t*>(Data));
    hdr.dwBufferLength = static_cast<DWORD>(Length);
    hdr.dwBytesRecorded = static_cast<DWORD>(Length);
    hdr.dwFlags = 0;
    bool whole = midiOutPrepareHeader(handle, &hdr, sizeof(MIDIHDR)) == MMSYSERR_NOERROR;
    const MMRESULT taken = whole ? midiOutLongMsg(handle, &hdr, sizeof(MIDIHDR)) : MMSYSERR_ERROR;
    if (queued) queued();
    // The done flag is written by the service's thread. A block the service
    // did not take never gets it: waiting for it would hang the caller.
    whole = taken == MMSYSERR_NOERROR;
    if (whole) {
        waitDone(hdr);
        whole = !platform::midi::headerCut(hdr);
        if (platform::midi::headerMixed(hdr)) mixed_.store(true);
    }
    midiOutUnprepareHeader(handle, &hdr, sizeof(MIDIHDR));
    blocksOut_.fetch_sub(1);
    return whole;
}

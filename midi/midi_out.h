#pragma once
// TMidiOut: one output device of the system's MIDI service. Lists the devices
// when it is created, opens and closes the chosen one, sends short messages
// and System Exclusive blocks. Every byte the program sends to the amplifier
// passes through here.

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/midi/mmsystem.h"

class TMidiOut : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxDevices = 12;

    explicit TMidiOut(QObject* owner = nullptr);
    ~TMidiOut() override;

    bool Using() const { return using_; }
    void SetUsing(bool value);
    int Port() const { return port_; }
    void SetPort(int index);
    int NumDevs() const { return numDevs_; }

    void Put1(uint8_t Status);
    void Put2(uint8_t Status, uint8_t First);
    void Put3(uint8_t Status, uint8_t First, uint8_t Second);
    void Put2Direct(uint32_t Message);
    void Reset();
    // Sends one block, F0 ... F7 as the caller gives it, and returns once the
    // service has handed over its last byte. Blocks of 2 bytes or fewer and
    // sends while closed are dropped. queued, when given, is called as soon
    // as the service has taken the block (or refused it). Returns true only
    // when the whole block went out: false when it was dropped, refused, cut
    // short by a port that vanished, or aborted by closing the port.
    bool SysEx(const uint8_t* Data, int Length, const std::function<void()>& queued = {});
    // Whether the open port tells when another program's bytes reach the
    // device among a block's, and whether that happened since ClearMixed().
    bool SeesOthers() const;
    bool Mixed() const { return mixed_.load(); }
    void ClearMixed() { mixed_.store(false); }

    // Takes the device list afresh from the service (a device that has been
    // re-plugged since has new ports). Only while closed; returns false
    // otherwise.
    bool refreshDevices();
    // The name of device i as the service gave it, "" when i is not listed.
    const char* deviceName(int i) const;

    HMIDIOUT Handle = nullptr;
    MMRESULT OpenResult = 0;
    MMRESULT CloseResult = 0;
    MIDIOUTCAPSA* DevCaps = nullptr;  // kMaxDevices records

private:
    void openDevice();
    void closeDevice();
    void send(DWORD word);
    // Waits until the service marks hdr done: woken by its done notification
    // on the real clock, stepping virtual time otherwise.
    void waitDone(const MIDIHDR& hdr);
    static void CALLBACK onDone(HMIDIOUT, UINT msg, DWORD_PTR instance, DWORD_PTR, DWORD_PTR);

    bool using_ = false;
    // Blocks being sent from other threads; closing aborts them first.
    std::atomic<int> blocksOut_{0};
    std::atomic<bool> mixed_{false};
    int port_ = 0;
    int numDevs_ = 0;
    std::mutex doneMu_;
    std::condition_variable doneCv_;
};

#pragma once
// The sender thread: sends the main window's current image block (the whole
// single-message image, or one packet) through MidiOut1 and sets senderDone.
// Destroying it waits for its thread to end.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class TForm1;

class threader {
public:
    threader(bool CreateSuspended, TForm1& form);
    ~threader();
    threader(const threader&) = delete;
    threader& operator=(const threader&) = delete;

    // Starts a sender created suspended; does nothing once started. Returns
    // once the block is in the MIDI service's queue, so what the window does
    // next (pausing, polling for the reply) comes after the send has begun.
    void Start();
    bool Started() const { return thread_.joinable(); }

private:
    void Execute();
    TForm1& form_;
    const uint8_t* data_ = nullptr;
    int32_t size_ = 0;
    std::mutex mu_;
    std::condition_variable cv_;
    bool underway_ = false;
    std::thread thread_;
};

#pragma once
// The sender thread: sends the main window's current image block (the whole
// single-message image, or one packet) through MidiOut1 and sets senderDone.
// Destroying it waits for its thread to end.

#include <atomic>
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
    // Waits until a started sender has finished its block.
    void Wait() {
        if (thread_.joinable()) thread_.join();
    }
    // After senderDone: whether the whole block went out. A block that would
    // reach past the loaded image is never sent.
    bool sentWhole() const { return whole_.load(std::memory_order_acquire); }

private:
    void Execute();
    TForm1& form_;
    const uint8_t* data_ = nullptr;
    int32_t size_ = 0;
    std::mutex mu_;
    std::condition_variable cv_;
    bool underway_ = false;
    std::atomic<bool> whole_{false};
    std::thread thread_;
};

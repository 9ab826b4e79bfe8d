#pragma once
// Time services: the tick count, fixed pauses, handling pending window
// messages from inside a handler, and window timers. Everything in the program
// that waits or measures time goes through here, so tests can swap the real
// clock for a virtual one and run without sleeping.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QTimer;

namespace platform {

class TTimer;

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary origin; wraps at 2^32 like the Windows tick count.
    virtual uint32_t tickCount() const = 0;
    // Blocks the calling thread for ms milliseconds. On the UI thread no
    // input is handled and no program timer fires meanwhile, but the
    // windows keep drawing and answering the window system.
    virtual void sleep(uint32_t ms) = 0;
    // Handles the window messages (events, due timers) waiting on the UI thread.
    virtual void processMessages() = 0;
    // Handles window messages as they come for ms milliseconds: a wait that
    // keeps the window drawing without spinning.
    virtual void idle(uint32_t ms) = 0;
    virtual bool isVirtual() const { return false; }
};

// The process-wide clock. Defaults to the real clock; a test installs a
// VirtualClock before it creates any window.
Clock& clock();
void setClock(Clock* c);  // nullptr restores the real clock

inline uint32_t GetTickCount() { return clock().tickCount(); }
inline void Sleep(uint32_t ms) { clock().sleep(ms); }
inline void processMessages() { clock().processMessages(); }
inline void idle(uint32_t ms) { clock().idle(ms); }

class RealClock final : public Clock {
public:
    uint32_t tickCount() const override;
    void sleep(uint32_t ms) override;
    void processMessages() override;
    void idle(uint32_t ms) override;
};

// Virtual time for tests. A pause advances time at once; timers fire only when
// the UI thread handles its pending messages, as with an event loop. Before time
// moves, the registered "settle" hooks run (the virtual MIDI driver delivers what
// it has queued), so a test sees the same order of events on every run.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(uint64_t startMs = 1000);
    ~VirtualClock() override;

    uint32_t tickCount() const override;
    void sleep(uint32_t ms) override;
    void processMessages() override;
    void idle(uint32_t ms) override { runFor(ms); }
    bool isVirtual() const override { return true; }

    uint64_t nowMs() const { return now_.load(std::memory_order_acquire); }
    // Moves time forward without handling messages.
    void advance(uint64_t ms);
    // Runs the "event loop" for ms of virtual time: steps from one due timer to
    // the next, handling messages at each step.
    void runFor(uint64_t ms);

    // Total virtual time spent in sleep() and the number of calls, for tests
    // that count pauses.
    uint64_t sleptMs() const { return slept_.load(); }
    uint64_t sleepCalls() const { return sleepCalls_.load(); }

    // Hooks may be added, removed and run from any thread. Once
    // removeSettleHook returns, the hook is not running on another thread and
    // will not run again.
    using Hook = std::function<void()>;
    int addSettleHook(Hook h);
    void removeSettleHook(int id);
    // Hooks that run once time has moved (after each sleep or advance), for
    // peers that act on their own schedule: what falls due during a pause
    // has happened when the pause returns. Same rules as settle hooks.
    int addAdvanceHook(Hook h);
    void removeAdvanceHook(int id);

private:
    friend class TTimer;
    void settle();
    void afterAdvance();
    void fireDueTimers();
    int addHook(std::vector<std::pair<int, std::shared_ptr<Hook>>>& list, Hook h);
    void removeHook(std::vector<std::pair<int, std::shared_ptr<Hook>>>& list, int id);
    void runHooks(std::vector<std::pair<int, std::shared_ptr<Hook>>>& list);
    std::atomic<uint64_t> now_;
    std::atomic<uint64_t> slept_{0};
    std::atomic<uint64_t> sleepCalls_{0};
    std::mutex hooksMu_;
    std::vector<std::pair<int, std::shared_ptr<Hook>>> hooks_;
    std::vector<std::pair<int, std::shared_ptr<Hook>>> advanceHooks_;
    int nextHook_ = 1;
};

// A window timer with the shape the program's forms use: Interval in ms,
// Enabled, OnTimer. Lives on the UI thread. Under the real clock it runs on a
// QTimer; under the virtual clock the clock fires it from processMessages().
class TTimer {
public:
    TTimer();
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    uint32_t Interval() const { return interval_; }
    void setInterval(uint32_t ms);
    bool Enabled() const { return enabled_; }
    void setEnabled(bool on);

    std::function<void()> OnTimer;

    // Virtual-clock bookkeeping.
    uint64_t dueAt() const { return dueAt_; }

private:
    friend class VirtualClock;
    friend class RealClock;
    void restart();
    void fire();
    uint32_t interval_ = 1000;
    bool enabled_ = false;
    uint64_t dueAt_ = 0;
    bool missed_ = false;  // came due during a blocking pause
    std::unique_ptr<QTimer> qt_;
};

}  // namespace platform

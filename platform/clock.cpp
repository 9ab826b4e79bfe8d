#include "platform/clock.h"

#include "platform/system_time.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <thread>

namespace platform {

namespace {
RealClock& realClock() {
    static RealClock c;
    return c;
}
std::atomic<Clock*> current{nullptr};

// Every live timer, for the virtual clock to scan. UI thread only.
std::vector<TTimer*>& timers() {
    static std::vector<TTimer*> list;
    return list;
}

// While a blocking pause runs on the UI thread, the program's timers wait
// for its end. UI thread only.
bool timersHeld = false;
}  // namespace

Clock& clock() {
    Clock* c = current.load(std::memory_order_acquire);
    return c ? *c : realClock();
}

void setClock(Clock* c) { current.store(c, std::memory_order_release); }

// ---- real clock -------------------------------------------------------------

uint32_t RealClock::tickCount() const { return systemTickCount(); }

void RealClock::sleep(uint32_t ms) {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app || ms == 0 || QThread::currentThread() != app->thread()) {
        systemSleep(ms);
        return;
    }
    // A pause of the UI thread is a pause for the user and the program: input
    // waits for its end, and so do the program's timers (each fires once
    // afterwards if it came due meanwhile). The window still draws what
    // changed and answers the window system, so the desktop never takes the
    // program for hung.
    const bool outer = !timersHeld;
    timersHeld = true;
    QEventLoop loop;
    QTimer::singleShot(std::chrono::milliseconds(ms), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!outer) return;
    timersHeld = false;
    for (TTimer* t : timers()) {
        if (!t->missed_) continue;
        t->missed_ = false;
        QMetaObject::invokeMethod(
            app,
            [t] {
                if (std::find(timers().begin(), timers().end(), t) != timers().end()) t->fire();
            },
            Qt::QueuedConnection);
    }
}

void RealClock::processMessages() {
    if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void RealClock::idle(uint32_t ms) {
    if (!QCoreApplication::instance()) {
        sleep(ms);
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(std::chrono::milliseconds(ms), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// ---- virtual clock ----------------------------------------------------------

VirtualClock::VirtualClock(uint64_t startMs) : now_(startMs) {}
VirtualClock::~VirtualClock() {
    if (&clock() == this) setClock(nullptr);
}

uint32_t VirtualClock::tickCount() const { return static_cast<uint32_t>(now_.load(std::memory_order_acquire)); }

namespace {
thread_local int settling = 0;  // settle() calls running on this thread
}

void VirtualClock::runHooks(std::vector<std::pair<int, std::shared_ptr<Hook>>>& list) {
    // Hooks may add or remove hooks; run a copy, taken under the lock.
    std::vector<std::shared_ptr<Hook>> copy;
    {
        std::lock_guard<std::mutex> l(hooksMu_);
        for (auto& [id, h] : list) copy.push_back(h);
    }
    ++settling;
    for (auto& h : copy) (*h)();
    --settling;
}

void VirtualClock::settle() { runHooks(hooks_); }
void VirtualClock::afterAdvance() { runHooks(advanceHooks_); }

void VirtualClock::sleep(uint32_t ms) {
    settle();
    now_.fetch_add(ms, std::memory_order_acq_rel);
    slept_.fetch_add(ms);
    sleepCalls_.fetch_add(1);
    afterAdvance();
}

void VirtualClock::advance(uint64_t ms) {
    settle();
    now_.fetch_add(ms, std::memory_order_acq_rel);
    afterAdvance();
}

void VirtualClock::fireDueTimers() {
    // A handler may start, stop or destroy timers (or run a nested message
    // loop), so re-scan after each firing instead of walking a stale list.
    for (int guard = 0; guard < 10000; ++guard) {
        TTimer* due = nullptr;
        const uint64_t now = nowMs();
        for (TTimer* t : timers())
            if (t->enabled_ && t->interval_ && t->dueAt_ <= now && (!due || t->dueAt_ < due->dueAt_)) due = t;
        if (!due) return;
        due->dueAt_ = now + due->interval_;
        due->fire();
    }
}

void VirtualClock::processMessages() {
    settle();
    if (QCoreApplication::instance()) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    fireDueTimers();
}

void VirtualClock::runFor(uint64_t ms) {
    const uint64_t end = nowMs() + ms;
    processMessages();
    while (true) {
        uint64_t next = end;
        for (TTimer* t : timers())
            if (t->enabled_ && t->interval_ && t->dueAt_ < next) next = t->dueAt_;
        const uint64_t now = nowMs();
        if (next > now) advance(next - now);
        processMessages();
        if (nowMs() >= end) break;
    }
}

int VirtualClock::addHook(std::vector<std::pair<int, std::shared_ptr<Hook>>>& list, Hook h) {
    std::lock_guard<std::mutex> l(hooksMu_);
    list.emplace_back(nextHook_, std::make_shared<Hook>(std::move(h)));
    return nextHook_++;
}

void VirtualClock::removeHook(std::vector<std::pair<int, std::shared_ptr<Hook>>>& list, int id) {
    std::shared_ptr<Hook> removed;
    {
        std::lock_guard<std::mutex> l(hooksMu_);
        auto it = std::find_if(list.begin(), list.end(), [id](const auto& p) { return p.first == id; });
        if (it == list.end()) return;
        removed = std::move(it->second);
        list.erase(it);
    }
    // Another thread may still be running it: wait until that copy is gone,
    // so the hook's owner can go away once this returns. From inside a hook
    // on this thread, our own copy would never go: do not wait then.
    if (settling == 0)
        while (removed.use_count() > 1) std::this_thread::yield();
}

int VirtualClock::addSettleHook(Hook h) { return addHook(hooks_, std::move(h)); }
void VirtualClock::removeSettleHook(int id) { removeHook(hooks_, id); }
int VirtualClock::addAdvanceHook(Hook h) { return addHook(advanceHooks_, std::move(h)); }
void VirtualClock::removeAdvanceHook(int id) { removeHook(advanceHooks_, id); }

// ---- timer ------------------------------------------------------------------

TTimer::TTimer() { timers().push_back(this); }

TTimer::~TTimer() { std::erase(timers(), this); }

void TTimer::setInterval(uint32_t ms) {
    if (ms == interval_) return;
    interval_ = ms;
    if (enabled_) restart();
}

void TTimer::setEnabled(bool on) {
    if (on == enabled_) return;
    enabled_ = on;
    if (on) {
        restart();
    } else if (qt_) {
        qt_->stop();
    }
}

void TTimer::restart() {
    Clock& c = clock();
    if (c.isVirtual()) {
        dueAt_ = static_cast<VirtualClock&>(c).nowMs() + std::max<uint32_t>(interval_, 1);
        if (qt_) qt_->stop();
        return;
    }
    if (!qt_) {
        qt_ = std::make_unique<QTimer>();
        QObject::connect(qt_.get(), &QTimer::timeout, [this] { fire(); });
    }
    // As with a window timer, an interval of 0 never fires.
    if (interval_ == 0) qt_->stop();
    else qt_->start(static_cast<int>(interval_));
}

void TTimer::fire() {
    if (!enabled_ || !OnTimer) return;
    if (timersHeld) {
        missed_ = true;
        return;
    }
    OnTimer();
}

}  // namespace platform

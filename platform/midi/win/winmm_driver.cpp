// The system driver on Windows: the layer's calls go on to the system's
// multimedia MIDI functions. Devices are listed by name; a device keeps its
// id while a device of that name (the same one of several) is listed. The
// system tells of devices coming and going with WM_DEVICECHANGE to the
// program's top-level windows; then the lists are taken anew and compared.
#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/midi/driver.h"
#include "platform/midi/win/winmm_system.h"

namespace platform::midi {

namespace {

constexpr uint32_t kArrived = 0x8000;  // DBT_DEVICEARRIVAL
constexpr uint32_t kRemoved = 0x8004;  // DBT_DEVICEREMOVECOMPLETE
constexpr unsigned kWmDeviceChange = 0x0219;
// A device that has not taken a block after this long (beyond the block's
// own time on a 31,250-baud wire) is not taking it.
constexpr uint32_t kStallMs = 3000;

// Device ids by name and occurrence, for one direction.
class Registry {
public:
    // Takes the list anew; returns the ids that came and went.
    void update(const std::vector<std::string>& names, std::vector<uint64_t>& came, std::vector<uint64_t>& went,
                uint64_t& next) {
        std::map<std::pair<std::string, int>, uint64_t> now;
        std::map<std::string, int> seen;
        std::vector<uint64_t> order;
        for (const auto& n : names) {
            const auto key = std::make_pair(n, seen[n]++);
            auto it = ids_.find(key);
            const uint64_t id = it != ids_.end() ? it->second : next++;
            if (it == ids_.end()) came.push_back(id);
            now[key] = id;
            order.push_back(id);
        }
        for (const auto& [key, id] : ids_)
            if (!now.count(key)) went.push_back(id);
        ids_ = std::move(now);
        order_ = std::move(order);
        names_ = names;
    }
    std::vector<DeviceInfo> list() const {
        std::vector<DeviceInfo> out;
        for (size_t i = 0; i < order_.size(); ++i) out.push_back({order_[i], names_[i]});
        return out;
    }
    // The device number of an id now, or -1.
    int index(uint64_t id) const {
        const auto it = std::find(order_.begin(), order_.end(), id);
        return it == order_.end() ? -1 : int(it - order_.begin());
    }

private:
    std::map<std::pair<std::string, int>, uint64_t> ids_;
    std::vector<uint64_t> order_;
    std::vector<std::string> names_;
};

// What a connection and the driver share about a device: gone once a
// rescan no longer lists it.
struct Presence {
    std::atomic<bool> present{true};
};

class WinmmOutput final : public OutputConnection {
public:
    WinmmOutput(std::unique_ptr<winmm::Output> out, std::shared_ptr<Presence> p)
        : out_(std::move(out)), presence_(std::move(p)) {}
    bool alive() const override { return presence_->present.load(); }
    MMRESULT sendShort(const uint8_t* data, size_t n) override {
        uint32_t packed = 0;
        for (size_t i = 0; i < n && i < 3; ++i) packed |= uint32_t(data[i]) << (8 * i);
        return out_->sendShort(packed);
    }
    // The whole block comes at once (pacing below): the system's driver
    // paces it on the wire and says when it is done.
    MMRESULT sendChunk(const uint8_t* data, size_t n, bool, bool) override {
        const uint64_t wireMs = n * kDinNsPerByte / 1000000;
        return out_->sendLong(data, n, stop_, static_cast<uint32_t>(wireMs) + kStallMs);
    }
    void interrupt(bool on) override {
        stop_.store(on);
        if (on) out_->wake();
    }
    Pacing pacing() const override { return Pacing{}; }

private:
    std::unique_ptr<winmm::Output> out_;
    std::shared_ptr<Presence> presence_;
    std::atomic<bool> stop_{false};
};

class WinmmInput final : public InputConnection {
public:
    WinmmInput(std::shared_ptr<Presence> p) : presence_(std::move(p)) {}
    bool alive() const override { return presence_->present.load(); }
    std::unique_ptr<winmm::Input> in;

private:
    std::shared_ptr<Presence> presence_;
};

class WinmmDriver;

// Sees WM_DEVICECHANGE among the messages to the program's windows.
class DeviceChangeFilter final : public QAbstractNativeEventFilter {
public:
    std::function<void()> onChange;
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        // MSG: the window handle, then the message number.
        struct Msg {
            void* hwnd;
            unsigned message;
        };
        if (type == "windows_generic_MSG" && static_cast<const Msg*>(message)->message == kWmDeviceChange && onChange)
            onChange();
        return false;
    }
};

class WinmmDriver final : public Driver, public std::enable_shared_from_this<WinmmDriver> {
public:
    const char* name() const override { return "winmm"; }
    std::vector<DeviceInfo> outputs() override {
        std::lock_guard<std::mutex> g(mu_);
        if (!scanned_) rescanLocked(nullptr);
        return outs_.list();
    }
    std::vector<DeviceInfo> inputs() override {
        std::lock_guard<std::mutex> g(mu_);
        if (!scanned_) rescanLocked(nullptr);
        return ins_.list();
    }
    MMRESULT openOutput(uint64_t id, std::unique_ptr<OutputConnection>& out) override {
        std::shared_ptr<Presence> p;
        const int index = find(id, true, p);
        if (index < 0) return MIDIERR_NODEVICE;
        unsigned error = 0;
        auto o = winmm::Output::open(unsigned(index), error);
        if (!o) return error;
        out = std::make_unique<WinmmOutput>(std::move(o), p);
        return MMSYSERR_NOERROR;
    }
    MMRESULT openInput(uint64_t id, InputSink* sink, std::unique_ptr<InputConnection>& out) override {
        std::shared_ptr<Presence> p;
        const int index = find(id, false, p);
        if (index < 0) return MIDIERR_NODEVICE;
        auto conn = std::make_unique<WinmmInput>(p);
        unsigned error = 0;
        conn->in = winmm::Input::open(
            unsigned(index), [sink](const uint8_t* data, size_t n) { sink->received(data, n); }, error);
        if (!conn->in) return error;
        out = std::move(conn);
        return MMSYSERR_NOERROR;
    }
    bool followsProcessClock() const override { return false; }
    void start(std::function<void(DeviceChange)> report) override {
        {
            std::lock_guard<std::mutex> g(mu_);
            report_ = std::move(report);
        }
        auto* app = QCoreApplication::instance();
        if (!app) return;
        std::weak_ptr<WinmmDriver> weak = shared_from_this();
        auto install = [weak] {
            static DeviceChangeFilter* filter = nullptr;
            if (!filter) {
                filter = new DeviceChangeFilter;
                QCoreApplication::instance()->installNativeEventFilter(filter);
            }
            filter->onChange = [weak] {
                if (auto d = weak.lock()) d->rescan();
            };
        };
        if (QThread::currentThread() == app->thread())
            install();
        else
            QMetaObject::invokeMethod(app, install, Qt::QueuedConnection);
    }

    void rescan() {
        std::vector<DeviceChange> changes;
        {
            std::lock_guard<std::mutex> g(mu_);
            rescanLocked(&changes);
        }
        // Reported outside the lock: the layer may call back.
        std::function<void(DeviceChange)> report;
        {
            std::lock_guard<std::mutex> g(mu_);
            report = report_;
        }
        if (report)
            for (const DeviceChange& c : changes) report(c);
    }

private:
    void rescanLocked(std::vector<DeviceChange>* changes) {
        scanned_ = true;
        for (const bool output : {true, false}) {
            std::vector<uint64_t> came, went;
            (output ? outs_ : ins_).update(output ? winmm::outputNames() : winmm::inputNames(), came, went, next_);
            for (uint64_t id : went) {
                if (auto it = presence_.find(id); it != presence_.end()) {
                    it->second->present.store(false);
                    presence_.erase(it);
                }
                if (changes) changes->push_back({kRemoved, uint32_t(id)});
            }
            if (changes)
                for (uint64_t id : came) changes->push_back({kArrived, uint32_t(id)});
        }
    }
    int find(uint64_t id, bool output, std::shared_ptr<Presence>& p) {
        std::lock_guard<std::mutex> g(mu_);
        if (!scanned_) rescanLocked(nullptr);
        const int index = (output ? outs_ : ins_).index(id);
        if (index < 0) return -1;
        auto& slot = presence_[id];
        if (!slot) slot = std::make_shared<Presence>();
        p = slot;
        return index;
    }

    std::mutex mu_;
    bool scanned_ = false;
    uint64_t next_ = 1;
    Registry outs_, ins_;
    std::map<uint64_t, std::shared_ptr<Presence>> presence_;
    std::function<void(DeviceChange)> report_;
};

}  // namespace

std::shared_ptr<Driver> makeSystemDriver() { return std::make_shared<WinmmDriver>(); }

}  // namespace platform::midi

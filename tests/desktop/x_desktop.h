#pragma once
// A desktop of the test's own: a fresh Xvfb display with openbox managing it,
// programs started on it as a user would start them, real key and pointer
// events through XTest, and what the user sees read back: the window
// manager's stacking, window geometry and size hints, and the screen's pixels
// (from Xvfb's frame buffer file, exactly what is shown).

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <atomic>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

using Window = unsigned long;  // as X11/X.h has it
struct _XDisplay;

namespace desktop {

// Waits in real time, polling, until ready() holds; false when it never did.
bool waitUntil(const std::function<bool()>& ready, int timeoutMs);

// key=value lines of a text file (the settings file, the amplifier's report);
// section headers are kept as keys of their own.
std::map<std::string, std::string> readKeyValues(const std::string& path);

struct SizeHints {
    QSize min, max;
};

class XDesktop {
public:
    // Starts Xvfb and openbox with dir as their working folder; empty reason()
    // when the desktop is up.
    explicit XDesktop(std::string dir);
    ~XDesktop();
    XDesktop(const XDesktop&) = delete;
    XDesktop& operator=(const XDesktop&) = delete;

    const std::string& reason() const { return reason_; }
    const std::string& dir() const { return dir_; }
    std::string display() const;

    // Starts a program on this display (xcb, HOME in dir), its output to
    // dir/NAME.log; the program is killed at the latest when the desktop goes.
    pid_t start(const std::string& exe, const std::vector<std::string>& args = {});
    // True once pid has exited within timeoutMs.
    bool exited(pid_t pid, int timeoutMs);

    // A managed top-level window by its title, once it is mapped; 0 if none.
    Window window(const std::string& title, int timeoutMs = 10000);
    bool viewable(Window w);
    void minimize(Window w);
    Window active();  // the window with the keyboard focus (_NET_ACTIVE_WINDOW)
    // Managed windows from bottom to top (_NET_CLIENT_LIST_STACKING).
    std::vector<Window> stacking();
    bool above(Window upper, Window lower);
    // The titles in stacking order, bottom first: for failure messages.
    std::string describe();
    QRect client(Window w);  // the window's own area, in screen pixels
    QRect frame(Window w);   // with the window manager's decoration
    SizeHints sizeHints(Window w);
    // Where the mapped windows outside the window manager's care (menus,
    // list popups) are, top first.
    std::vector<QRect> popups();

    // Real input. Keys are X keysym names joined by '+': "alt+F4", "Return".
    void key(const std::string& combo);
    void type(const std::string& text);
    void click(QPoint screenPos, int button = 1);
    void moveTo(QPoint screenPos);

    QImage screen();
    // Saves the screen (or a part) as dir/NAME.png; returns the path.
    std::string shot(const std::string& name, const QRect& part = {});

private:
    void pace();
    std::string dir_;
    std::string reason_;
    _XDisplay* dpy_ = nullptr;
    pid_t xvfb_ = -1;
    pid_t wm_ = -1;
    std::vector<pid_t> programs_;
};

// Pings a window as a desktop does (_NET_WM_PING) every intervalMs from a
// connection and thread of its own, until stopped, and keeps how long each
// answer took; a ping still unanswered counts with its time so far.
class Pinger {
public:
    Pinger(const std::string& display, Window w, int intervalMs = 100);
    ~Pinger();
    // Stops; the longest wait for an answer in ms, and the number of pings.
    int stop();
    int count() const { return count_; }

private:
    void run(std::string display, Window w, int intervalMs);
    std::atomic<bool> stop_{false};
    std::atomic<int> worst_{0}, count_{0};
    std::thread thread_;
};

// Pixels of img inside r for which pred holds.
int countPixels(const QImage& img, const QRect& r, const std::function<bool(QRgb)>& pred);

}  // namespace desktop

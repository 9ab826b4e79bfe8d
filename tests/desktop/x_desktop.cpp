#include "tests/desktop/x_desktop.h"

#include <QFile>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

// After Qt's headers: Xlib defines Bool and friends as macros.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace desktop {

namespace {

// Windows come and go while the test looks at them.
int ignoreXErrors(Display*, XErrorEvent*) { return 0; }

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env,
            const std::string& log, int keepFd = -1) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0);
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    for (int fd = 3; fd < 1024; ++fd)
        if (fd != keepFd) close(fd);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) != 0) return;
        sleepMs(20);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

std::vector<unsigned long> windowProperty(Display* d, Window w, const char* name, Atom type) {
    Atom actual;
    int format;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> out;
    if (XGetWindowProperty(d, w, XInternAtom(d, name, False), 0, 4096, False, type, &actual, &format, &n, &after,
                           &data) == Success &&
        data && format == 32) {
        const auto* v = reinterpret_cast<const unsigned long*>(data);
        out.assign(v, v + n);
    }
    if (data) XFree(data);
    return out;
}

std::string title(Display* d, Window w) {
    Atom actual;
    int format;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    std::string t;
    if (XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False), 0, 1024, False,
                           XInternAtom(d, "UTF8_STRING", False), &actual, &format, &n, &after, &data) == Success &&
        data)
        t.assign(reinterpret_cast<char*>(data), n);
    if (data) XFree(data);
    return t;
}

uint32_t be32(const unsigned char* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

}  // namespace

bool waitUntil(const std::function<bool()>& ready, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > end) return false;
        sleepMs(50);
    }
    return true;
}

std::map<std::string, std::string> readKeyValues(const std::string& path) {
    std::map<std::string, std::string> kv;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto eq = line.find('=');
        if (eq == std::string::npos) kv[line] = "";
        else kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return kv;
}

int countPixels(const QImage& img, const QRect& r, const std::function<bool(QRgb)>& pred) {
    int n = 0;
    const QRect in = r.intersected(img.rect());
    for (int y = in.top(); y <= in.bottom(); ++y)
        for (int x = in.left(); x <= in.right(); ++x)
            if (pred(img.pixel(x, y))) ++n;
    return n;
}

XDesktop::XDesktop(std::string dir) : dir_(std::move(dir)) {
    int fds[2];
    if (pipe(fds) != 0) {
        reason_ = "no pipe";
        return;
    }
    xvfb_ = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                   "-fbdir", dir_},
                  {}, dir_ + "/Xvfb.log", fds[1]);
    close(fds[1]);
    // Xvfb writes its display number once it accepts clients.
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c;
    while (poll(&p, 1, 15000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) {
        reason_ = "Xvfb did not start (is it installed?)";
        return;
    }
    const std::string display = ":" + number;
    XSetErrorHandler(ignoreXErrors);
    dpy_ = XOpenDisplay(display.c_str());
    if (!dpy_) {
        reason_ = "cannot open " + display;
        return;
    }
    wm_ = spawn({"openbox", "--sm-disable"}, {{"DISPLAY", display}, {"HOME", dir_}}, dir_ + "/openbox.log");
    const Window root = DefaultRootWindow(dpy_);
    if (!waitUntil([&] { return !windowProperty(dpy_, root, "_NET_SUPPORTING_WM_CHECK", XA_WINDOW).empty(); },
                   15000))
        reason_ = "openbox did not start (is it installed?)";
}

XDesktop::~XDesktop() {
    for (pid_t p : programs_) stop(p);
    if (dpy_) XCloseDisplay(dpy_);
    stop(wm_);
    stop(xvfb_);
}

pid_t XDesktop::start(const std::string& exe, const std::vector<std::string>& args) {
    std::vector<std::string> argv{exe};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string runtime = dir_ + "/runtime";
    mkdir(runtime.c_str(), 0700);
    const std::string name = exe.substr(exe.rfind('/') + 1);
    const pid_t pid = spawn(argv,
                            {{"DISPLAY", DisplayString(dpy_)},
                             {"QT_QPA_PLATFORM", "xcb"},
                             {"HOME", dir_},
                             {"XDG_RUNTIME_DIR", runtime}},
                            dir_ + "/" + name + ".log");
    programs_.push_back(pid);
    return pid;
}

bool XDesktop::exited(pid_t pid, int timeoutMs) {
    const bool gone = waitUntil([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }, timeoutMs);
    if (gone) std::erase(programs_, pid);
    return gone;
}

Window XDesktop::window(const std::string& name, int timeoutMs) {
    Window found = 0;
    waitUntil(
        [&] {
            for (unsigned long w : windowProperty(dpy_, DefaultRootWindow(dpy_), "_NET_CLIENT_LIST", XA_WINDOW))
                if (title(dpy_, w) == name && viewable(w)) return (found = w) != 0;
            return false;
        },
        timeoutMs);
    return found;
}

bool XDesktop::viewable(Window w) {
    XWindowAttributes a;
    return XGetWindowAttributes(dpy_, w, &a) && a.map_state == IsViewable;
}

void XDesktop::minimize(Window w) {
    XIconifyWindow(dpy_, w, DefaultScreen(dpy_));
    XFlush(dpy_);
}

Window XDesktop::active() {
    const auto w = windowProperty(dpy_, DefaultRootWindow(dpy_), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    return w.empty() ? 0 : w[0];
}

std::vector<Window> XDesktop::stacking() {
    const auto list = windowProperty(dpy_, DefaultRootWindow(dpy_), "_NET_CLIENT_LIST_STACKING", XA_WINDOW);
    std::vector<Window> out;
    for (unsigned long w : list)
        if (viewable(w)) out.push_back(w);
    return out;
}

bool XDesktop::above(Window upper, Window lower) {
    const auto s = stacking();
    const auto u = std::find(s.begin(), s.end(), upper), l = std::find(s.begin(), s.end(), lower);
    return u != s.end() && l != s.end() && u > l;
}

std::string XDesktop::describe() {
    std::string out;
    for (Window w : stacking()) out += (out.empty() ? "" : " < ") + ("\"" + title(dpy_, w) + "\"");
    return out;
}

QRect XDesktop::client(Window w) {
    XWindowAttributes a{};
    int x = 0, y = 0;
    Window child;
    if (!XGetWindowAttributes(dpy_, w, &a)) return {};
    XTranslateCoordinates(dpy_, w, DefaultRootWindow(dpy_), 0, 0, &x, &y, &child);
    return QRect(x, y, a.width, a.height);
}

QRect XDesktop::frame(Window w) {
    const auto e = windowProperty(dpy_, w, "_NET_FRAME_EXTENTS", XA_CARDINAL);  // left, right, top, bottom
    const QRect c = client(w);
    if (e.size() != 4) return c;
    return c.adjusted(-int(e[0]), -int(e[2]), int(e[1]), int(e[3]));
}

std::vector<QRect> XDesktop::popups() {
    Window root, parent, *children = nullptr;
    unsigned n = 0;
    std::vector<QRect> out;
    if (!XQueryTree(dpy_, DefaultRootWindow(dpy_), &root, &parent, &children, &n)) return out;
    for (unsigned i = n; i-- > 0;) {
        XWindowAttributes a{};
        if (XGetWindowAttributes(dpy_, children[i], &a) && a.override_redirect && a.map_state == IsViewable)
            out.emplace_back(a.x, a.y, a.width, a.height);
    }
    if (children) XFree(children);
    return out;
}

SizeHints XDesktop::sizeHints(Window w) {
    XSizeHints h{};
    long supplied = 0;
    XGetWMNormalHints(dpy_, w, &h, &supplied);
    SizeHints out;
    if (h.flags & PMinSize) out.min = QSize(h.min_width, h.min_height);
    if (h.flags & PMaxSize) out.max = QSize(h.max_width, h.max_height);
    return out;
}

void XDesktop::pace() {
    XSync(dpy_, False);
    sleepMs(60);
}

void XDesktop::key(const std::string& combo) {
    static const std::map<std::string, std::string> names = {
        {"alt", "Alt_L"}, {"ctrl", "Control_L"}, {"shift", "Shift_L"}};
    std::vector<KeyCode> codes;
    std::stringstream in(combo);
    std::string part;
    while (std::getline(in, part, '+')) {
        const auto n = names.find(part);
        codes.push_back(XKeysymToKeycode(dpy_, XStringToKeysym(n != names.end() ? n->second.c_str() : part.c_str())));
    }
    for (KeyCode k : codes) XTestFakeKeyEvent(dpy_, k, True, CurrentTime);
    // Held a moment, as fingers do: a window manager that grabs the keyboard
    // at the press (openbox's Alt+Tab) must see the release after its grab.
    if (codes.size() > 1) {
        XSync(dpy_, False);
        sleepMs(50);
    }
    for (auto k = codes.rbegin(); k != codes.rend(); ++k) XTestFakeKeyEvent(dpy_, *k, False, CurrentTime);
    pace();
}

void XDesktop::type(const std::string& text) {
    const KeyCode shift = XKeysymToKeycode(dpy_, XK_Shift_L);
    for (const char ch : text) {
        // Printable Latin-1 characters are their own keysyms.
        const KeySym sym = static_cast<unsigned char>(ch);
        const KeyCode k = XKeysymToKeycode(dpy_, sym);
        const bool shifted = XkbKeycodeToKeysym(dpy_, k, 0, 0) != sym;
        if (shifted) XTestFakeKeyEvent(dpy_, shift, True, CurrentTime);
        XTestFakeKeyEvent(dpy_, k, True, CurrentTime);
        XTestFakeKeyEvent(dpy_, k, False, CurrentTime);
        if (shifted) XTestFakeKeyEvent(dpy_, shift, False, CurrentTime);
        XSync(dpy_, False);
        sleepMs(5);
    }
    pace();
}

void XDesktop::moveTo(QPoint p) {
    XTestFakeMotionEvent(dpy_, -1, p.x(), p.y(), CurrentTime);
    pace();
}

void XDesktop::click(QPoint p, int button) {
    moveTo(p);
    XTestFakeButtonEvent(dpy_, button, True, CurrentTime);
    XSync(dpy_, False);
    sleepMs(40);
    XTestFakeButtonEvent(dpy_, button, False, CurrentTime);
    pace();
}

QImage XDesktop::screen() {
    XSync(dpy_, False);
    QFile f(QString::fromStdString(dir_ + "/Xvfb_screen0"));
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray b = f.readAll();
    const auto* h = reinterpret_cast<const unsigned char*>(b.constData());
    if (b.size() < 100) return {};
    // An XWD file: a big-endian header, a colour table, then the pixels.
    const uint32_t headerSize = be32(h), width = be32(h + 16), height = be32(h + 20), bpp = be32(h + 44),
                   bpl = be32(h + 48), colours = be32(h + 76);
    const qsizetype offset = qsizetype(headerSize) + qsizetype(colours) * 12;
    if (bpp != 32 || b.size() < offset + qsizetype(bpl) * height) return {};
    return QImage(h + offset, int(width), int(height), int(bpl), QImage::Format_RGB32).copy();
}

std::string XDesktop::shot(const std::string& name, const QRect& part) {
    const std::string path = dir_ + "/" + name + ".png";
    QImage img = screen();
    if (!part.isEmpty()) img = img.copy(part);
    img.save(QString::fromStdString(path));
    return path;
}

}  // namespace desktop

namespace desktop {

std::string XDesktop::display() const { return dpy_ ? DisplayString(dpy_) : ""; }

Pinger::Pinger(const std::string& display, Window w, int intervalMs)
    : thread_([this, display, w, intervalMs] { run(display, w, intervalMs); }) {}

Pinger::~Pinger() { stop(); }

int Pinger::stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    return worst_.load();
}

void Pinger::run(std::string display, Window w, int intervalMs) {
    Display* d = XOpenDisplay(display.c_str());
    if (!d) {
        worst_.store(1 << 30);
        return;
    }
    XSetErrorHandler(ignoreXErrors);
    const Window root = DefaultRootWindow(d);
    // The answer goes to the root window for the window manager; anyone
    // listening there sees it.
    XSelectInput(d, root, SubstructureNotifyMask | StructureNotifyMask);
    const Atom protocols = XInternAtom(d, "WM_PROTOCOLS", False), ping = XInternAtom(d, "_NET_WM_PING", False);
    using clk = std::chrono::steady_clock;
    unsigned long stamp = 1;
    while (!stop_.load()) {
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = w;
        e.xclient.message_type = protocols;
        e.xclient.format = 32;
        e.xclient.data.l[0] = long(ping);
        e.xclient.data.l[1] = long(++stamp);
        e.xclient.data.l[2] = long(w);
        XSendEvent(d, w, False, NoEventMask, &e);
        XFlush(d);
        const auto sent = clk::now();
        bool answered = false;
        int waited = 0;
        while (!answered && !stop_.load()) {
            while (XPending(d)) {
                XEvent r;
                XNextEvent(d, &r);
                if (r.type == ClientMessage && r.xclient.message_type == protocols &&
                    Atom(r.xclient.data.l[0]) == ping && (unsigned long)r.xclient.data.l[1] == stamp)
                    answered = true;
            }
            waited = int(std::chrono::duration_cast<std::chrono::milliseconds>(clk::now() - sent).count());
            if (answered) break;
            pollfd fd{ConnectionNumber(d), POLLIN, 0};
            poll(&fd, 1, 5);
        }
        worst_.store(std::max(worst_.load(), waited));
        ++count_;
        const auto next = sent + std::chrono::milliseconds(intervalMs);
        while (!stop_.load() && clk::now() < next) sleepMs(5);
    }
    XCloseDisplay(d);
}

}  // namespace desktop

#include "app/quit_signals.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>
#include <csignal>

#include "platform/dialogs.h"

namespace app {

namespace {

int pipeEnds[2] = {-1, -1};

// Only a write is safe in a signal handler; the window closes from the
// event loop, which the notifier wakes.
void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(pipeEnds[0], &byte, 1);
}

}  // namespace

void closeOnQuitSignals(QWidget* window) {
    if (pipeEnds[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipeEnds) != 0) return;
    auto* notifier = new QSocketNotifier(pipeEnds[1], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [w = QPointer<QWidget>(window)] {
        char buf[16];
        [[maybe_unused]] const ssize_t n = ::read(pipeEnds[1], buf, sizeof buf);
        // Whatever box is open goes, and none comes any more: the program
        // ends without waiting for anybody (the settings are still saved,
        // and a failure to save goes to standard error).
        platform::endDialogs();
        if (w) w->close();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

}  // namespace app

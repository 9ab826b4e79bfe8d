// Windows ends a session with WM_QUERYENDSESSION (may we?) and then
// WM_ENDSESSION (we do), after which the process is gone. The window closes
// as for the quit signals elsewhere, within WM_ENDSESSION, so the settings
// are saved before the system ends the program.
#include "app/quit_signals.h"
#include "platform/dialogs.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QPointer>
#include <QWidget>

// Last: its macros would rename what the program's headers declare.
#include <windows.h>

namespace app {

namespace {

class SessionEnd final : public QAbstractNativeEventFilter {
public:
    explicit SessionEnd(QWidget* w) : window_(w) {}
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr* result) override {
        if (type != "windows_generic_MSG") return false;
        const MSG* m = static_cast<const MSG*>(message);
        if (m->message == WM_QUERYENDSESSION) {
            *result = TRUE;  // never stands in the way; the close does what it must
            return true;
        }
        if (m->message != WM_ENDSESSION) return false;
        *result = 0;
        // Sent to every top-level window: the first one does it.
        if (m->wParam && !done_) {
            done_ = true;
            platform::endDialogs();
            if (window_) window_->close();
        }
        return true;
    }

private:
    QPointer<QWidget> window_;
    bool done_ = false;
};

}  // namespace

void closeOnQuitSignals(QWidget* window) {
    auto* filter = new SessionEnd(window);
    QCoreApplication::instance()->installNativeEventFilter(filter);
    QObject::connect(window, &QObject::destroyed, [filter] {
        QCoreApplication::instance()->removeNativeEventFilter(filter);
        delete filter;
    });
}

}  // namespace app

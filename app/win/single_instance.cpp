// One copy per user on Windows: a named mutex in the session's namespace,
// named after the user, decides who is first (the system lets go of it
// however the process ends); a local server (a named pipe) carries the
// request to come to the front.
#include "app/single_instance.h"

#include <windows.h>

#include <QApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>

namespace app {

namespace {
constexpr int kAnswerMs = 2000;  // a copy that is alive answers at once
HANDLE gMutex = nullptr;         // one per process

QString userName() {
    wchar_t name[256] = {};
    DWORD n = 256;
    return ::GetUserNameW(name, &n) ? QString::fromWCharArray(name) : QString();
}
}  // namespace

SingleInstance::SingleInstance(const QString& name) {
    // Backslashes belong to the namespace's syntax; a user name has none.
    lockPath_ = "Local\\" + name + "-" + userName();
    socketPath_ = name + "-" + userName();
}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();
    if (gMutex) ::CloseHandle(gMutex);
    gMutex = nullptr;
}

SingleInstance::Start SingleInstance::start() {
    gMutex = ::CreateMutexW(nullptr, FALSE, reinterpret_cast<const wchar_t*>(lockPath_.utf16()));
    if (!gMutex) return Start::First;  // nowhere to keep a lock: do not stand in the user's way
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
        server_ = new QLocalServer(this);
        server_->setSocketOptions(QLocalServer::UserAccessOption);
        connect(server_, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* s = server_->nextPendingConnection()) {
                connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
                s->write("ok\n");
                s->flush();
                if (onRaise) onRaise();
            }
        });
        server_->listen(socketPath_);
        return Start::First;
    }
    ::CloseHandle(gMutex);
    gMutex = nullptr;
    QLocalSocket s;
    s.connectToServer(socketPath_);
    if (s.waitForConnected(kAnswerMs) && s.waitForReadyRead(kAnswerMs)) {
        // The first copy may take the foreground only if this one allows it.
        ::AllowSetForegroundWindow(ASFW_ANY);
        return Start::Handed;
    }
    return Start::Running;
}

void bringToFront(QWidget* main) {
    QWidget* w = QApplication::activeModalWidget();
    if (!w) w = main;
    if (!w) return;
    if (w->isMinimized()) w->showNormal();
    w->raise();
    w->activateWindow();
}

}  // namespace app

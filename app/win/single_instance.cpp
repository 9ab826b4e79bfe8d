// One copy per user on Windows: a named mutex in the session's namespace,
// named after the user, decides who is first (the system lets go of it
// however the process ends); a local server (a named pipe) carries the
// request to come to the front.
#include "app/single_instance.h"

#include <windows.h>

#include <QLocalServer>

namespace app {

namespace {
HANDLE gMutex = nullptr;  // one per process

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
        serveRaises();
        return Start::First;
    }
    ::CloseHandle(gMutex);
    gMutex = nullptr;
    if (askFirstToRaise()) {
        // The first copy may take the foreground only if this one allows it.
        ::AllowSetForegroundWindow(ASFW_ANY);
        return Start::Handed;
    }
    return Start::Running;
}

}  // namespace app

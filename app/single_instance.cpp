#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QStandardPaths>

namespace app {

SingleInstance::SingleInstance(const QString& name) {
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) dir = QDir::tempPath();
    lockPath_ = dir + "/" + name + ".lock";
    socketPath_ = dir + "/" + name + ".socket";
    // A socket's path has room for 107 bytes; a deep runtime folder gets one
    // in the temporary folder, named after it.
    if (QFile::encodeName(socketPath_).size() > 100)
        socketPath_ = QDir::tempPath() + "/" + name + "-" + QString::number(getuid()) + "-" +
                      QString::number(qHash(dir), 16) + ".socket";
}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();
    if (fd_ >= 0) ::close(fd_);
}

SingleInstance::Start SingleInstance::start() {
    // The lock decides who is first; it goes with the process, however it ends.
    fd_ = ::open(QFile::encodeName(lockPath_).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return Start::First;  // nowhere to keep a lock: do not stand in the user's way
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        // A socket left by a copy that crashed is ours to replace.
        QLocalServer::removeServer(socketPath_);
        serveRaises();
        return Start::First;
    }
    ::close(fd_);
    fd_ = -1;
    return askFirstToRaise() ? Start::Handed : Start::Running;
}

}  // namespace app

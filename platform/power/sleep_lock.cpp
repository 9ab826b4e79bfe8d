#include "platform/power/sleep_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QString>

namespace power {

namespace {

// The address is read at each use (not once per process, as the library
// does for its own system bus), so a test can point it at a bus of its own.
QString systemBusAddress() {
    const QByteArray env = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    return env.isEmpty() ? QStringLiteral("unix:path=/var/run/dbus/system_bus_socket") : QString::fromUtf8(env);
}

// A hung login manager must not freeze the window for long.
constexpr int kCallTimeoutMs = 2000;

}  // namespace

bool SleepLock::acquire(const std::string& why) {
    if (fd_ >= 0) return true;
    const QString name = QStringLiteral("kolva-sleep-lock");
    {
        QDBusConnection bus = QDBusConnection::connectToBus(systemBusAddress(), name);
        if (bus.isConnected()) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "Inhibit");
            call << QStringLiteral("sleep:idle") << QStringLiteral("Kolva Updater") << QString::fromStdString(why)
                 << QStringLiteral("block");
            const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
            if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1) {
                const auto fd = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().at(0));
                // Our own copy, not inherited by anything the program starts.
                if (fd.isValid()) fd_ = ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
            }
        }
    }
    QDBusConnection::disconnectFromBus(name);
    return fd_ >= 0;
}

void SleepLock::release() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

}  // namespace power

// kolva-login1-standin ADDRESS: a login manager for the sleep-lock tests on a
// private bus. Inhibit hands out the write end of a pipe and keeps the read
// end, so it can tell when the caller has closed its descriptor. A second
// object reports what it saw. Prints "ready" once it owns its name.
#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QStringList>
#include <cstdio>
#include <vector>

class Manager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    QStringList calls;
    std::vector<int> readEnds;

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode) {
        calls << QStringList{what, who, why, mode}.join('|');
        int p[2];
        if (::pipe(p) != 0) return {};
        readEnds.push_back(p[0]);
        QDBusUnixFileDescriptor fd(p[1]);  // a copy goes out with the reply
        ::close(p[1]);
        return fd;
    }
};

class Recorder : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "test.Login1Recorder")
public:
    explicit Recorder(Manager& m) : m_(m) {}

public slots:
    QStringList Calls() { return m_.calls; }
    // Locks whose descriptor is still open somewhere.
    int Held() {
        int n = 0;
        for (int fd : m_.readEnds) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) == 0 || !(p.revents & POLLHUP)) ++n;
        }
        return n;
    }

private:
    Manager& m_;
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) return 2;
    QDBusConnection bus = QDBusConnection::connectToBus(QString::fromUtf8(argv[1]), "bus");
    Manager manager;
    Recorder recorder(manager);
    if (!bus.registerObject("/org/freedesktop/login1", &manager, QDBusConnection::ExportAllSlots) ||
        !bus.registerObject("/recorder", &recorder, QDBusConnection::ExportAllSlots) ||
        !bus.registerService("org.freedesktop.login1"))
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "login1_standin.moc"

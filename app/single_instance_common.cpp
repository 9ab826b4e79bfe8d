// What the one-copy lock does the same on every system: the first copy
// serves requests to come to the front, a later one sends one.
#include <QApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>

#include "app/single_instance.h"

namespace app {

namespace {
constexpr int kAnswerMs = 2000;  // a copy that is alive answers at once
}

void SingleInstance::serveRaises() {
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
}

bool SingleInstance::askFirstToRaise() {
    QLocalSocket s;
    s.connectToServer(socketPath_);
    return s.waitForConnected(kAnswerMs) && s.waitForReadyRead(kAnswerMs);
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

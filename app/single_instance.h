#pragma once
// One copy of the program per user at a time: the amplifier has one line,
// and two copies would take each other's replies and interleave their
// messages. A second start asks the first to bring its window to the front,
// then ends.

#include <QObject>
#include <functional>

class QLocalServer;

namespace app {

class SingleInstance final : public QObject {
public:
    enum class Start {
        First,    // this copy runs; others will be sent here
        Handed,   // another copy runs and was asked to come to the front
        Running,  // another copy holds the lock but did not answer
    };
    // name: the lock's and the socket's name in the user's runtime folder.
    explicit SingleInstance(const QString& name);
    ~SingleInstance() override;
    Start start();
    // What the first copy does when a later start asks for it.
    std::function<void()> onRaise;

private:
    // Shared by both systems' locks: the first copy's server for raise
    // requests, and a later copy's request (true once the first answered).
    void serveRaises();
    bool askFirstToRaise();

    QString lockPath_, socketPath_;
    int fd_ = -1;
    QLocalServer* server_ = nullptr;
};

// Brings the window the user should deal with to the front: an open box or
// dialog first, else the given window.
void bringToFront(QWidget* main);

}  // namespace app

#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QLocalServer;

namespace corvanta {

// One running client per user. The first instance listens on a local socket in the
// user's runtime folder (reachable by that user only); a later one hands its message
// (a "corvanta:" address, or nothing to mean "show yourself") to it and exits.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    // $XDG_RUNTIME_DIR/corvanta.sock when that folder is the user's own with mode
    // 0700, else ~/.cache/corvanta-runtime/corvanta.sock (made 0700 and checked);
    // empty when neither is private.
    static QString defaultSocketPath();

    // Hands `message` to a running instance of this user. True when one took it.
    static bool forward(const QString &socketPath, const QByteArray &message, int timeoutMs = 3000);

    explicit SingleInstance(QString socketPath = defaultSocketPath(), QObject *parent = nullptr);

    // Becomes the running instance. False when another instance answers, or the
    // socket cannot be made.
    bool listen();

signals:
    void messageReceived(const QByteArray &message);

private:
    void onConnection();

    QString m_socketPath;
    QLocalServer *m_server;
};

} // namespace corvanta

#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

namespace corvanta {

// A command from `corvanta status` and the like: one JSON object such as
// {"command":"connect","location":"de-fra"}, answered once with one JSON line.
// It lives as long as the connection it came on.
class Request : public QObject
{
    Q_OBJECT

public:
    Request(QJsonObject body, QLocalSocket *socket);

    const QJsonObject &body() const { return m_body; }
    QString command() const;
    bool answered() const { return m_answered; }
    // Sends `reply` and closes the connection; later answers are dropped.
    void answer(const QJsonObject &reply);

private:
    QJsonObject m_body;
    QLocalSocket *m_socket;
    bool m_answered = false;
};

// One running client per user. The first instance listens on a local socket in the
// user's runtime folder (reachable by that user only); a later one hands its message
// (a "corvanta:" address, or nothing to mean "show yourself") to it and exits, or
// sends it a command (a line that starts with "{") and prints the answer.
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

    // What a command sent to the running instance came back with.
    struct Answer
    {
        enum Outcome
        {
            answered, // `reply` holds the answer
            notRunning, // nobody of ours listens
            noAnswer, // it took the command but did not answer in time, or not in JSON
            tooOld, // a running instance that only takes addresses
        } outcome
            = notRunning;
        QJsonObject reply;
    };
    // Sends `request` to the running instance of this user and waits for its answer.
    static Answer ask(const QString &socketPath, const QJsonObject &request, int timeoutMs);

    explicit SingleInstance(QString socketPath = defaultSocketPath(), QObject *parent = nullptr);

    // Becomes the running instance. False when another instance answers, or the
    // socket cannot be made.
    bool listen();

signals:
    void messageReceived(const QByteArray &message);
    // `request` is deleted with its connection: keep a QPointer to it.
    void requestReceived(corvanta::Request *request);

private:
    void onConnection();

    QString m_socketPath;
    QLocalServer *m_server;
};

} // namespace corvanta

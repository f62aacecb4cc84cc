#pragma once

#include <QObject>
#include <QQueue>
#include <QString>

#include <functional>

namespace corvanta {

// One secret in the desktop's keyring: the Secret Service on the session bus,
// through QtKeychain. Operations are asynchronous (they go over D-Bus) and run one
// at a time in the order asked, so a removal never overtakes an earlier write.
// Each answer comes from the event loop, and only while the store exists.
//
// The keyring is used only while one runs: without a session bus, or with no owner
// of org.freedesktop.secrets on it, every operation answers `unavailable` without
// starting a bus or a keyring daemon (which could prompt the user out of nowhere).
class SecretStore : public QObject
{
    Q_OBJECT

public:
    enum class Result
    {
        done,
        missing, // nothing is stored under the key
        unavailable // no keyring, or it refused (locked, access denied, ...)
    };
    // `secret` is set for a read that is done.
    using Answer = std::function<void(Result result, const QString &secret)>;

    SecretStore(QString service, QString key, QObject *parent = nullptr);
    ~SecretStore() override;

    void read(Answer answer);
    void write(const QString &secret, Answer answer = {});
    void remove(Answer answer = {});

private:
    enum class Kind
    {
        read,
        write,
        remove
    };
    struct Operation
    {
        Kind kind;
        QString secret;
        Answer answer;
    };

    void enqueue(Operation operation);
    void startNext();
    void startJob();
    void finish(Result result, const QString &secret = {});

    QString m_service;
    QString m_key;
    QQueue<Operation> m_queue; // the head is running while m_running
    bool m_running = false;
};

} // namespace corvanta

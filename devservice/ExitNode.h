#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace corvanta::devservice {

// A real WireGuard exit in a network namespace of its own, joined to ours by a
// veth pair: wireguard-go, forwarding with masquerade out of the veth, and the
// echo page on port 80. Built by setUp() and taken apart again, step by step in
// reverse, by tearDown() or the destructor. Needs root.
class ExitNode
{
public:
    static inline const QString hostAddress = QStringLiteral("10.231.0.1"); // our end of the veth
    static inline const QString exitAddress = QStringLiteral("10.231.0.2"); // the exit's end
    static inline const QString meshPrefix = QStringLiteral("100.96.0.0/24");
    static inline const QString exitMeshIp = QStringLiteral("100.96.0.1");
    static constexpr quint16 wireGuardPort = 51820;

    ExitNode();
    ~ExitNode() { tearDown(); }
    ExitNode(const ExitNode &) = delete;
    ExitNode &operator=(const ExitNode &) = delete;

    // Builds the exit; on failure undoes what it did and returns false, with error() saying why.
    bool setUp();
    void tearDown();
    const QString &error() const { return m_error; }

    const QString &publicKey() const { return m_publicKey; }
    // Both take a key already checked to be base64 of 32 bytes.
    bool addPeer(const QString &publicKey, const QString &meshIp);
    void removePeer(const QString &publicKey);

private:
    bool addressIsFree();
    bool makeKeys(QByteArray &privateKey);
    bool startWireGuard();
    bool startEcho();
    bool startDaemon(QProcess &process, const QStringList &command);
    void stopDaemon(QProcess &process);

    // Runs a command to its end; false, with m_error set, unless it exits with 0.
    bool run(const QStringList &command, const QByteArray &input = {}, QByteArray *output = nullptr);
    // Runs a command and, when it worked, remembers how to undo it.
    bool step(const QStringList &command, const QStringList &undo);
    // The command, run inside the exit's namespace.
    QStringList inExit(const QStringList &command) const;

    QString m_namespace; // cvexit-<pid>
    QString m_hostLink; // our end of the veth
    QString m_exitLink; // the exit's end
    QString m_wireGuardLink;
    QString m_publicKey;
    QString m_error;
    QProcess m_wireGuard;
    QProcess m_echo;
    std::vector<std::function<void()>> m_undo;
};

} // namespace corvanta::devservice

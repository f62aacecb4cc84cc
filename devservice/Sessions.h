#pragma once

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QString>

#include <chrono>

namespace corvanta::devservice {

// The servers users have asked for: one session per ensure, ready after the
// provisioning delay, kept until released.
class Sessions
{
public:
    struct Session
    {
        QString id;
        QString owner;
        QString regionId;
        QDateTime readyAt;
        QJsonObject connectInfo;
        int heartbeats = 0;
    };

    explicit Sessions(std::chrono::milliseconds provisionDelay);

    // Reuses the caller's session for the region when it still exists, else starts one.
    Session &ensure(const QString &owner, const QString &regionId, const QString &sessionId);
    // The owner's session in that region, or nullptr.
    Session *find(const QString &owner, const QString &regionId, const QString &sessionId);
    // The session that was handed that join code, or nullptr.
    const Session *findByJoinCode(const QString &joinCode) const;
    void release(const QString &sessionId);

    // From now on every new session gets these connect fields (and a join code
    // of its own) instead of made-up ones: the mesh's exit is real.
    void useConnectInfo(const QJsonObject &connectInfo) { m_fixedConnectInfo = connectInfo; }

    static bool isReady(const Session &session) { return QDateTime::currentDateTimeUtc() >= session.readyAt; }
    static int secondsLeft(const Session &session);

private:
    QJsonObject newConnectInfo(const QString &regionId);

    std::chrono::milliseconds m_provisionDelay;
    QHash<QString, Session> m_sessions;
    QHash<QString, QString> m_sessionByJoinCode;
    QJsonObject m_fixedConnectInfo;
    int m_servers = 0;
};

} // namespace corvanta::devservice

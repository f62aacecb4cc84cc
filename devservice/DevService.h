#pragma once

#include <QHttpServer>
#include <QJsonArray>
#include <QObject>

namespace corvanta::devservice {

// The substitute service: the client's API in memory, on 127.0.0.1 only. Each
// area of the API adds its routes in its own add...Routes() function.
class DevService : public QObject
{
    Q_OBJECT

public:
    explicit DevService(QJsonArray regions, QObject *parent = nullptr);

    // Listens on 127.0.0.1:port (0 picks a free port). Returns the port taken,
    // or 0 when listening failed.
    quint16 listen(quint16 port);

private:
    void addRegionRoutes();
    void answerUnknownPaths();

    QHttpServer m_server;
    QJsonArray m_regions;
};

} // namespace corvanta::devservice

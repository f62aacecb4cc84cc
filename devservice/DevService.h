#pragma once

#include "Accounts.h"
#include "Billing.h"
#include "BrowserSignIn.h"
#include "Sessions.h"

#include <QHostAddress>
#include <QHttpServer>
#include <QJsonArray>
#include <QObject>

#include <chrono>
#include <optional>

namespace corvanta::devservice {

class Mesh;

// The substitute service: the client's API in memory, on one IPv4 address
// (127.0.0.1 unless told otherwise). Each area of the API adds its routes in its
// own add...Routes() function.
class DevService : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QJsonArray regions;
        // How long a new server takes to become ready; 0 answers "ready" at once.
        std::chrono::milliseconds provisionDelay {3000};
        // Print one line per request on standard output.
        bool logRequests = false;
        // E-mail domains whose users sign in through their company.
        QStringList ssoDomains {QStringLiteral("example.com")};
    };

    explicit DevService(Options options, QObject *parent = nullptr);

    // Listens on address:port (port 0 picks a free one). Returns the port taken,
    // or 0 when listening failed.
    quint16 listen(const QHostAddress &address, quint16 port);

    // Hands out the mesh's real exit in connect info and serves its control
    // plane under /mesh. Call after listen(); the mesh must outlive the service.
    void useMesh(Mesh *mesh);

    const Accounts &accounts() const { return m_accounts; }

private:
    void addRegionRoutes();
    void addConnectionRoutes();
    void addAuthRoutes();
    void addBillingRoutes();
    void addBrowserSignInRoutes();
    void addMeshRoutes();
    void answerUnknownPaths();
    void logRequests();

    // The region with that id, if the catalog has it.
    std::optional<QJsonObject> region(const QString &id) const;

    QHttpServer m_server;
    Options m_options;
    QString m_origin; // "http://<address>:<port>", once listening
    Accounts m_accounts;
    Sessions m_sessions;
    Billing m_billing;
    BrowserSignIn m_browserSignIn;
    Mesh *m_mesh = nullptr;
};

} // namespace corvanta::devservice

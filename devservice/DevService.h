#pragma once

#include "Accounts.h"
#include "Billing.h"
#include "BrowserSignIn.h"
#include "Sessions.h"

#include <QHttpServer>
#include <QJsonArray>
#include <QObject>

#include <chrono>
#include <optional>

namespace corvanta::devservice {

// The substitute service: the client's API in memory, on 127.0.0.1 only. Each
// area of the API adds its routes in its own add...Routes() function.
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

    // Listens on 127.0.0.1:port (0 picks a free port). Returns the port taken,
    // or 0 when listening failed.
    quint16 listen(quint16 port);

    const Accounts &accounts() const { return m_accounts; }

private:
    void addRegionRoutes();
    void addConnectionRoutes();
    void addAuthRoutes();
    void addBillingRoutes();
    void addBrowserSignInRoutes();
    void answerUnknownPaths();
    void logRequests();

    // The region with that id, if the catalog has it.
    std::optional<QJsonObject> region(const QString &id) const;

    QHttpServer m_server;
    Options m_options;
    QString m_origin; // "http://127.0.0.1:<port>", once listening
    Accounts m_accounts;
    Sessions m_sessions;
    Billing m_billing;
    BrowserSignIn m_browserSignIn;
};

} // namespace corvanta::devservice

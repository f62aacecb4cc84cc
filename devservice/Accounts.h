#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

class QHttpServerRequest;

namespace corvanta::devservice {

// The service's users, their password hashes (salted PBKDF2) and bearer tokens,
// in memory.
class Accounts
{
public:
    static inline const QString demoEmail = QStringLiteral("demo@corvanta.test");
    static inline const QString demoPassword = QStringLiteral("corvanta-demo");

    struct Result
    {
        int status = 200; // 200, or the error status
        QStringList problems; // why it failed
        QString email; // the account's e-mail, as stored
        QString token; // a new bearer token
    };

    Accounts();

    Result registerAccount(const QString &email, const QString &password);
    Result login(const QString &email, const QString &password);
    // An account for a company or Google sign-in, made on first use.
    QString tokenForBrowserSignIn(const QString &email);

    // The account a request's "Authorization: Bearer <token>" belongs to, if any.
    std::optional<QString> authorize(const QHttpServerRequest &request) const;

    const QString &demoToken() const { return m_demoToken; }

private:
    struct Account
    {
        QString id;
        QByteArray salt;
        QByteArray hash; // empty: no password (browser sign-in only)
    };

    QString issueToken(const QString &email);

    QHash<QString, Account> m_byEmail;
    QHash<QString, QString> m_emailByToken;
    QString m_demoToken;
};

// A random text of letters and digits, from the system's secure source.
QString randomToken(int length);

} // namespace corvanta::devservice

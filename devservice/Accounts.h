#pragma once

#include <QHash>
#include <QString>

#include <optional>

class QHttpServerRequest;

namespace corvanta::devservice {

// The service's users and their bearer tokens, in memory.
class Accounts
{
public:
    static inline const QString demoEmail = QStringLiteral("demo@corvanta.test");

    Accounts();

    // A new bearer token for an account.
    QString issueToken(const QString &email);
    // The account a request's "Authorization: Bearer <token>" belongs to, if any.
    std::optional<QString> authorize(const QHttpServerRequest &request) const;

    const QString &demoToken() const { return m_demoToken; }

private:
    QHash<QString, QString> m_emailByToken;
    QString m_demoToken;
};

// A random text of letters and digits, from the system's secure source.
QString randomToken(int length);

} // namespace corvanta::devservice

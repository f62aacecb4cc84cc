#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

namespace corvanta::devservice {

// One-time sign-in codes of the browser sign-in, bound to a PKCE challenge (S256).
class BrowserSignIn
{
public:
    explicit BrowserSignIn(QStringList ssoDomains);

    // The domain part of an e-mail when it has company sign-on.
    std::optional<QString> ssoDomain(const QString &email) const;

    // A code for `email`, good for five minutes and one exchange.
    QString issueCode(const QString &email, const QString &challenge);
    // The e-mail a code was issued for, when the verifier matches its challenge.
    // A code counts once, whatever the outcome.
    std::optional<QString> redeem(const QString &code, const QString &verifier);

private:
    struct Grant
    {
        QString email;
        QString challenge;
        QDateTime expires;
    };

    QStringList m_ssoDomains;
    QHash<QString, Grant> m_grants;
};

} // namespace corvanta::devservice

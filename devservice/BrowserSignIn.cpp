#include "BrowserSignIn.h"

#include "Accounts.h"

#include <QCryptographicHash>

namespace corvanta::devservice {

BrowserSignIn::BrowserSignIn(QStringList ssoDomains)
    : m_ssoDomains(std::move(ssoDomains))
{ }

std::optional<QString> BrowserSignIn::ssoDomain(const QString &email) const
{
    const QString domain = email.section(QLatin1Char('@'), -1).toLower();
    if (!email.contains(QLatin1Char('@')) || !m_ssoDomains.contains(domain))
        return std::nullopt;
    return domain;
}

QString BrowserSignIn::issueCode(const QString &email, const QString &challenge)
{
    const QString code = randomToken(32);
    m_grants.insert(code, Grant {email, challenge, QDateTime::currentDateTimeUtc().addSecs(5 * 60)});
    return code;
}

std::optional<QString> BrowserSignIn::redeem(const QString &code, const QString &verifier)
{
    const auto it = m_grants.constFind(code);
    if (it == m_grants.cend())
        return std::nullopt;
    const Grant grant = *it;
    m_grants.erase(it);
    const QString challenge
        = QString::fromLatin1(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
                                  .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    if (grant.expires < QDateTime::currentDateTimeUtc() || challenge != grant.challenge
        || grant.challenge.isEmpty())
        return std::nullopt;
    return grant.email;
}

} // namespace corvanta::devservice

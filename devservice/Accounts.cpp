#include "Accounts.h"

#include <QHttpServerRequest>
#include <QRandomGenerator>

namespace corvanta::devservice {

QString randomToken(int length)
{
    static const QString alphabet
        = QStringLiteral("ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789");
    QString token;
    token.reserve(length);
    for (int i = 0; i < length; ++i)
        token.append(alphabet.at(QRandomGenerator::system()->bounded(alphabet.size())));
    return token;
}

Accounts::Accounts()
    : m_demoToken(issueToken(demoEmail))
{ }

QString Accounts::issueToken(const QString &email)
{
    const QString token = randomToken(32);
    m_emailByToken.insert(token, email);
    return token;
}

std::optional<QString> Accounts::authorize(const QHttpServerRequest &request) const
{
    const QByteArray header = request.value("Authorization");
    if (!header.startsWith("Bearer "))
        return std::nullopt;
    const auto it = m_emailByToken.constFind(QString::fromUtf8(header.mid(7)));
    if (it == m_emailByToken.cend())
        return std::nullopt;
    return *it;
}

} // namespace corvanta::devservice

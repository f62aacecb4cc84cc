#include "Accounts.h"

#include <QCryptographicHash>
#include <QHttpServerRequest>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace corvanta::devservice {

namespace {
QByteArray passwordHash(const QString &password, const QByteArray &salt)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt, 10000, 32);
}

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return bytes;
}
} // namespace

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
{
    registerAccount(demoEmail, demoPassword);
    m_demoToken = issueToken(demoEmail);
}

Accounts::Result Accounts::registerAccount(const QString &typedEmail, const QString &password)
{
    static const QRegularExpression emailShape(QStringLiteral("^[^@\\s]+@[^@\\s]+\\.[^@\\s]+$"));
    const QString email = typedEmail.trimmed().toLower();
    Result result;
    if (email.isEmpty())
        result.problems << QStringLiteral("email must not be empty");
    else if (!emailShape.match(email).hasMatch())
        result.problems << QStringLiteral("email must be an email address");
    if (password.size() < 8)
        result.problems << QStringLiteral("password must be at least 8 characters");
    if (!result.problems.isEmpty()) {
        result.status = 422;
        return result;
    }
    if (m_byEmail.contains(email)) {
        result.status = 409;
        result.problems << QStringLiteral("an account with that email already exists");
        return result;
    }
    const QByteArray salt = randomBytes(16);
    m_byEmail.insert(
        email, Account {QStringLiteral("usr_") + randomToken(12), salt, passwordHash(password, salt)});
    result.email = email;
    result.token = issueToken(email);
    return result;
}

Accounts::Result Accounts::login(const QString &typedEmail, const QString &password)
{
    const QString email = typedEmail.trimmed().toLower();
    const auto it = m_byEmail.constFind(email);
    Result result;
    if (it == m_byEmail.cend() || it->hash.isEmpty() || passwordHash(password, it->salt) != it->hash) {
        result.status = 401;
        result.problems << QStringLiteral("invalid email or password");
        return result;
    }
    result.email = email;
    result.token = issueToken(email);
    return result;
}

QString Accounts::tokenForBrowserSignIn(const QString &email)
{
    if (!m_byEmail.contains(email))
        m_byEmail.insert(email, Account {QStringLiteral("usr_") + randomToken(12), {}, {}});
    return issueToken(email);
}

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

#include "GoogleAuthFlow.h"

#include "NextSignal.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QUrlQuery>

namespace corvanta {

OAuthError::OAuthError(Kind kind)
    : ApiError(QStringLiteral("oauth"), kind,
        kind == cancelled ? QStringLiteral("Sign-in cancelled")
                          : QStringLiteral("Google did not return a sign-in code"))
    , m_kind(kind)
{ }

GoogleAuthFlow::GoogleAuthFlow(UrlOpener openUrl, QObject *parent)
    : QObject(parent)
    , m_openUrl(std::move(openUrl))
{ }

QString GoogleAuthFlow::base64URLEncodedString(const QByteArray &bytes)
{
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString GoogleAuthFlow::randomURLSafe(int byteCount)
{
    QByteArray bytes(byteCount, Qt::Uninitialized);
    // The system's secure source; each 32-bit draw gives one uniformly random byte.
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return base64URLEncodedString(bytes);
}

QString GoogleAuthFlow::challenge(const QString &verifier)
{
    return base64URLEncodedString(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256));
}

QString GoogleAuthFlow::codeFrom(const QUrl &callback)
{
    if (!callback.isValid())
        throw OAuthError(OAuthError::noCode);
    const auto items = QUrlQuery(callback).queryItems(QUrl::FullyDecoded);
    const auto first = std::find_if(
        items.cbegin(), items.cend(), [](const auto &item) { return item.first == QLatin1String("code"); });
    if (first == items.cend() || first->second.isEmpty())
        throw OAuthError(OAuthError::noCode);
    return first->second;
}

QCoro::Task<GoogleAuthFlow::Result> GoogleAuthFlow::run(
    QString callbackScheme, std::function<QUrl(const QString &)> startURL)
{
    // The verifier stays in memory, in this frame, until it is handed back.
    const QString verifier = randomURLSafe(32);
    const QUrl start = startURL(challenge(verifier));
    if (!m_openUrl || !m_openUrl(start))
        throw OAuthError(OAuthError::cancelled);

    m_scheme = callbackScheme;
    m_start = start;
    m_cancelled = false;
    m_callback.clear();
    m_waiting = true;
    emit waitingChanged();
    co_await nextSignal(this, &GoogleAuthFlow::ended);

    if (m_cancelled)
        throw OAuthError(OAuthError::cancelled);
    co_return Result {codeFrom(m_callback), verifier};
}

bool GoogleAuthFlow::deliver(const QUrl &callback)
{
    if (!m_waiting || callback.scheme().compare(m_scheme, Qt::CaseInsensitive) != 0)
        return false;
    m_callback = callback;
    finish();
    return true;
}

void GoogleAuthFlow::cancel()
{
    if (!m_waiting)
        return;
    m_cancelled = true;
    finish();
}

void GoogleAuthFlow::reopen()
{
    if (m_waiting && m_openUrl)
        m_openUrl(m_start);
}

void GoogleAuthFlow::finish()
{
    // Only the first callback or cancel counts.
    m_waiting = false;
    emit waitingChanged();
    emit ended();
}

} // namespace corvanta

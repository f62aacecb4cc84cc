#pragma once

#include "ApiError.h"

#include <QCoroTask>
#include <QObject>
#include <QUrl>

#include <functional>

namespace corvanta {

// Opens an address in the user's browser; false when nothing could open it.
using UrlOpener = std::function<bool(const QUrl &)>;

// The browser sign-in flow's own failures.
class OAuthError : public ApiError
{
public:
    enum Kind
    {
        cancelled,
        noCode
    };

    explicit OAuthError(Kind kind);
    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

// One browser sign-in with PKCE (RFC 7636, S256). It opens the start address in
// the user's browser and waits until the browser is sent to an address of the
// callback scheme, which the desktop hands to this application (deliver()); it
// returns the "code" of that address and the verifier. The identity provider
// does not matter: Google and company sign-on both use it.
class GoogleAuthFlow : public QObject
{
    Q_OBJECT

public:
    struct Result
    {
        QString code;
        QString verifier;
    };

    explicit GoogleAuthFlow(UrlOpener openUrl, QObject *parent = nullptr);

    // `startURL` builds the start address from the challenge; it may throw.
    QCoro::Task<Result> run(QString callbackScheme, std::function<QUrl(const QString &challenge)> startURL);

    // Hands a callback address to the waiting flow; false when none waits or the
    // address has another scheme.
    bool deliver(const QUrl &callback);
    // Ends a waiting flow as if the user had closed the browser.
    void cancel();
    // Opens the waiting flow's start address again (the user lost the tab).
    void reopen();
    bool isWaiting() const { return m_waiting; }

    static QString base64URLEncodedString(const QByteArray &bytes);
    static QString randomURLSafe(int byteCount);
    static QString challenge(const QString &verifier);
    // The first non-empty "code" item of a callback address, or OAuthError(noCode).
    static QString codeFrom(const QUrl &callback);

signals:
    void waitingChanged();
    void ended(); // internal: resumes run()

private:
    void finish();

    UrlOpener m_openUrl;
    QString m_scheme;
    QUrl m_start;
    bool m_waiting = false;
    bool m_cancelled = false;
    QUrl m_callback;
};

} // namespace corvanta

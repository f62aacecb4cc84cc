// Password sign-in and sign-up, sign-out, and browser sign-in (Google, company SSO).

#include "AppModel.h"

#include <QDir>

#include <cstdio>
#include <utility>

namespace corvanta {

namespace {
const QString callbackScheme = QStringLiteral("corvanta");
const QString signInSource = QStringLiteral("signIn");

// Whitespace other than line breaks: spaces, tabs and the other space separators.
bool isBlank(QChar c)
{
    return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
}

QString normalizedEmail(const QString &typed)
{
    qsizetype start = 0;
    qsizetype end = typed.size();
    while (start < end && isBlank(typed.at(start)))
        ++start;
    while (end > start && isBlank(typed.at(end - 1)))
        --end;
    return typed.mid(start, end - start).toLower();
}

// Percent-encoded as a query value: "+", "&", "=" and "#" never reach the query
// as themselves, so a plus-addressed e-mail survives and no item can be injected.
QString queryValue(const QString &value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value, "@"));
}
} // namespace

QCoro::Task<> AppModel::login(QString email, QString password)
{
    co_await auth(QStringLiteral("login"), email, password);
}

QCoro::Task<> AppModel::registerAccount(QString email, QString password)
{
    co_await auth(QStringLiteral("register"), email, password);
}

QCoro::Task<> AppModel::auth(QString mode, QString email, QString password)
{
    setErrorMsg(std::nullopt);
    setBusy(true);
    try {
        const TextMap body {{QStringLiteral("email"), email}, {QStringLiteral("password"), password}};
        const auto reply = co_await post<AuthResponse>(QStringLiteral("/api/auth/") + mode, body);
        // The e-mail the service knows, not the one typed.
        co_await signedIn(reply.token, reply.user.email);
    } catch (const ApiError &error) {
        setErrorMsg(error.description(), signInSource);
    }
    setBusy(false);
}

QCoro::Task<> AppModel::signedIn(QString token, QString email)
{
    setToken(token);
    setEmail(email);
    keepToken(token);
    m_defaults->setValue(emailKey, email);
    co_await loadRegions();
    co_await loadAccount();
}

void AppModel::logout()
{
    // An error of the session that ends does not belong on a fresh login panel.
    setErrorMsg(std::nullopt);
    m_accountStale = true;
    setToken(std::nullopt);
    setEmail(std::nullopt);
    setAccount(std::nullopt);
    forgetToken();
    m_defaults->remove(emailKey);
}

QCoro::Task<> AppModel::loginWithGoogle()
{
    setErrorMsg(std::nullopt);
    setBusy(true);
    try {
        // Named, not a temporary inside the co_await: g++ 12 destroys such lambdas twice.
        const auto startURL = [this](const QString &challenge) {
            return requestUrl(QStringLiteral("/api/auth/oidc/google/start?mode=native&app_challenge=")
                + queryValue(challenge));
        };
        co_await browserSignIn(startURL);
    } catch (const OAuthError &error) {
        if (error.kind() != OAuthError::cancelled) // a closed browser is no error
            setErrorMsg(error.description(), signInSource);
    } catch (const ApiError &error) {
        setErrorMsg(error.description(), signInSource);
    }
    setBusy(false);
}

QCoro::Task<> AppModel::loginWithSSO(QString email)
{
    setErrorMsg(std::nullopt);
    setBusy(true);
    const QString normalized = normalizedEmail(email);
    try {
        const auto lookup
            = co_await get<SSOLookup>(QStringLiteral("/api/auth/sso/lookup?email=") + queryValue(normalized));
        if (!lookup.sso) {
            setErrorMsg(QStringLiteral("No SSO is configured for that domain"), signInSource);
        } else {
            const auto startURL = [this, normalized](const QString &challenge) {
                return requestUrl(QStringLiteral("/api/auth/sso/start?email=") + queryValue(normalized)
                    + QStringLiteral("&mode=native&app_challenge=") + queryValue(challenge));
            };
            co_await browserSignIn(startURL);
        }
    } catch (const OAuthError &error) {
        if (error.kind() != OAuthError::cancelled)
            setErrorMsg(error.description(), signInSource);
    } catch (const ApiError &error) {
        setErrorMsg(error.description(), signInSource);
    }
    setBusy(false);
}

QCoro::Task<> AppModel::browserSignIn(std::function<QUrl(const QString &challenge)> startURL)
{
    // One browser sign-in waits at a time: a new one ends the old.
    cancelBrowserSignIn();
    auto flow = std::make_unique<GoogleAuthFlow>(m_openUrl);
    m_flow = flow.get();
    QObject::connect(
        flow.get(), &GoogleAuthFlow::waitingChanged, this, &AppModel::browserSignInWaitingChanged);

    const GoogleAuthFlow::Result result = co_await flow->run(callbackScheme, startURL);
    const TextMap body {
        {QStringLiteral("code"), result.code}, {QStringLiteral("app_verifier"), result.verifier}};
    const auto reply = co_await post<ExchangeResponse>(QStringLiteral("/api/auth/oidc/exchange"), body);
    co_await signedIn(reply.token, reply.email);
}

bool AppModel::handleCallback(const QUrl &callback)
{
    return m_flow && m_flow->deliver(callback);
}

void AppModel::endSession()
{
    logout();
    setErrorMsg(sessionEndedText, signInSource);
}

void AppModel::settleToken(int session)
{
    if (session != m_session) // signed in or out meanwhile: that already put things right
        return;
    if (const std::optional<QString> inFile = m_defaults->value(tokenKey)) {
        // Left by an older client, or by a run without a keyring. It leaves the file
        // only once the keyring has it.
        m_keyring->write(*inFile, [this, token = *inFile](SecretStore::Result result, const QString &) {
            if (result != SecretStore::Result::done)
                sayTokenInFile();
            else if (m_defaults->value(tokenKey) == token)
                m_defaults->remove(tokenKey);
        });
        return;
    }
    m_keyring->read([this, session](SecretStore::Result result, const QString &token) {
        if (result == SecretStore::Result::done && session == m_session && !token.isEmpty())
            setToken(token);
    });
}

void AppModel::keepToken(const QString &token)
{
    ++m_session;
    if (!m_keyring) {
        m_defaults->setValue(tokenKey, token);
        return;
    }
    // An older token the file may still hold goes now, whatever the keyring says.
    m_defaults->remove(tokenKey);
    m_keyring->write(token, [this, token, session = m_session](SecretStore::Result result, const QString &) {
        if (result != SecretStore::Result::done && session == m_session) {
            m_defaults->setValue(tokenKey, token);
            sayTokenInFile();
        }
    });
}

void AppModel::forgetToken()
{
    ++m_session;
    m_defaults->remove(tokenKey);
    if (m_keyring)
        m_keyring->remove();
}

void AppModel::sayTokenInFile() const
{
    static bool said = false; // once per run, however often it happens
    if (std::exchange(said, true))
        return;
    QString path = m_defaults->filePath();
    const QString home = QDir::homePath() + QLatin1Char('/');
    if (path.startsWith(home))
        path = QStringLiteral("~/") + path.mid(home.size());
    std::fprintf(stderr,
        "corvanta: no keyring available; the session token is kept in %s (readable by you only)\n",
        qPrintable(path));
}

void AppModel::reopenBrowserSignIn()
{
    if (m_flow)
        m_flow->reopen();
}

void AppModel::cancelBrowserSignIn()
{
    if (m_flow)
        m_flow->cancel();
}

} // namespace corvanta

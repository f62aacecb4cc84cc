#pragma once

#include "ApiError.h"
#include "DefaultsStore.h"
#include "GoogleAuthFlow.h"
#include "JsonReader.h"
#include "Paths.h"
#include "SecretStore.h"
#include "Timing.h"
#include "WireRecords.h"
#include "WorkerWait.h"

#include <QCoroTask>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QtConcurrent/QtConcurrentRun>

#include <memory>
#include <optional>
#include <variant>


namespace corvanta {

class Heartbeat;
class TunnelWatcher;

// The one object that holds everything the interface shows and every operation
// the user can start. Views read its properties and call its operations; all of it
// lives on the main thread. Public operations never throw: they report failures
// through `errorMsg`.
class AppModel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariant token READ tokenValue NOTIFY tokenChanged)
    Q_PROPERTY(QVariant email READ emailValue NOTIFY emailChanged)
    Q_PROPERTY(QVariantList regions READ regionsValue NOTIFY regionsChanged)
    // The views count with this: reading `regions` copies every region into a
    // script array, which with thousands of them costs time and memory per read.
    Q_PROPERTY(int regionCount READ regionCount NOTIFY regionsChanged)
    Q_PROPERTY(QVariant selected READ selectedValue WRITE setSelectedValue NOTIFY selectedChanged)
    Q_PROPERTY(ConnState state READ state NOTIFY stateChanged)
    // The state's name ("connected", ...), for the views.
    Q_PROPERTY(QString stateName READ stateName NOTIFY stateChanged)
    Q_PROPERTY(QVariant exitIP READ exitIPValue NOTIFY exitIPChanged)
    Q_PROPERTY(QVariant errorMsg READ errorMsgValue NOTIFY errorMsgChanged)
    // What the error is about, so the views can show it beside the thing that
    // failed: "signIn", "locations", "connection", "billing", or "" for none.
    Q_PROPERTY(QString errorSource READ errorSource NOTIFY errorMsgChanged)
    // The locations list is on its way, or its last load failed.
    Q_PROPERTY(bool loadingRegions READ loadingRegions NOTIFY loadingRegionsChanged)
    Q_PROPERTY(bool regionsFailed READ regionsFailed NOTIFY loadingRegionsChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(QVariant account READ accountValue NOTIFY accountChanged)
    Q_PROPERTY(bool isAuthed READ isAuthed NOTIFY tokenChanged)
    Q_PROPERTY(bool browserSignInWaiting READ browserSignInWaiting NOTIFY browserSignInWaitingChanged)
    // A connect that still waits on the service or on provisioning can be called off.
    Q_PROPERTY(bool connectCancellable READ connectCancellable NOTIFY connectCancellableChanged)

public:
    enum class ConnState
    {
        disconnected,
        connecting,
        provisioning,
        connected,
        failed
    };
    Q_ENUM(ConnState)

    // What the model depends on. The defaults are what the application uses.
    struct Setup
    {
        QString settingsFile = DefaultsStore::defaultFilePath();
        // The keyring the session token is kept in. None (tests): the settings file,
        // silently, as where no keyring runs.
        std::function<std::unique_ptr<SecretStore>()> keyring
            = [] { return std::make_unique<SecretStore>(keyringService, keyringKey); };
        Timing timing;
        Paths paths;
        // Opens checkout pages and browser sign-in in the user's browser.
        UrlOpener openUrl;
    };

    // Keys of the defaults store.
    static inline const QString tokenKey = QStringLiteral("cv_token");
    static inline const QString emailKey = QStringLiteral("cv_email");
    static inline const QString exitKey = QStringLiteral("cv_exit");
    // The id of the location the user chose last.
    static inline const QString regionKey = QStringLiteral("cv_region");
    // Where the token is in the keyring.
    static inline const QString keyringService = QStringLiteral("corvanta");
    static inline const QString keyringKey = QStringLiteral("session-token");

    // Shown on the login panel when the service no longer knows the token.
    static inline const QString sessionEndedText = QStringLiteral("Your session has ended — sign in again.");

    // The base used when CORVANTA_API is not set: the production API origin.
    static inline const QString defaultBase = QStringLiteral("https://api.corvanta.com");

    explicit AppModel(QObject *parent = nullptr);
    explicit AppModel(const Setup &setup, QObject *parent = nullptr);
    ~AppModel() override;

    // Published fields. Setting one notifies observers and never touches the
    // defaults store: the operations that must persist do so themselves.
    const std::optional<QString> &token() const { return m_token; }
    void setToken(const std::optional<QString> &token);
    const std::optional<QString> &email() const { return m_email; }
    void setEmail(const std::optional<QString> &email);
    const QList<Region> &regions() const { return m_regions; }
    int regionCount() const { return int(m_regions.size()); }
    void setRegions(const QList<Region> &regions);
    const std::optional<Region> &selected() const { return m_selected; }
    void setSelected(const std::optional<Region> &region);
    ConnState state() const { return m_state; }
    QString stateName() const;
    void setState(ConnState state);
    const std::optional<QString> &exitIP() const { return m_exitIP; }
    void setExitIP(const std::optional<QString> &exitIP);
    const std::optional<QString> &errorMsg() const { return m_errorMsg; }
    void setErrorMsg(const std::optional<QString> &text, const QString &source = {});
    const QString &errorSource() const { return m_errorSource; }
    bool busy() const { return m_busy; }
    void setBusy(bool busy);
    const std::optional<BillingAccount> &account() const { return m_account; }
    void setAccount(const std::optional<BillingAccount> &account);

    // Signed in exactly when a token is held; an empty token counts.
    bool isAuthed() const { return m_token.has_value(); }

    const QString &base() const { return m_base; }
    DefaultsStore &defaults() { return *m_defaults; }

    // Loads the locations list; picks a first location when none is chosen yet:
    // the one chosen last time when it is still online, else the first online one.
    // A load already on its way is not started again.
    QCoro::Task<> loadRegions();
    bool loadingRegions() const { return m_loadingRegions; }
    bool regionsFailed() const { return m_regionsFailed; }
    // The user's pick: selected, and remembered for the next start.
    Q_INVOKABLE void chooseRegion(const QVariant &region);

    // ---- Sign-in --------------------------------------------------------------
    // Password sign-in and sign-up. (`register` is a C++ keyword: registerAccount.)
    QCoro::Task<> login(QString email, QString password);
    QCoro::Task<> registerAccount(QString email, QString password);
    // Forgets the session locally; sends nothing and leaves the tunnel as it is.
    Q_INVOKABLE void logout();
    // Browser sign-in with Google, or with the company sign-on of a work e-mail's domain.
    QCoro::Task<> loginWithGoogle();
    QCoro::Task<> loginWithSSO(QString email);
    // A "corvanta:" address from the browser; taken only while a browser sign-in waits.
    Q_INVOKABLE bool handleCallback(const QUrl &callback);
    // Ends a waiting browser sign-in as if the browser had been closed.
    Q_INVOKABLE void cancelBrowserSignIn();
    bool browserSignInWaiting() const { return m_flow && m_flow->isWaiting(); }

    // The views start operations and return at once; the operation runs on and
    // reports through the published fields.
    Q_INVOKABLE void startLogin(const QString &email, const QString &password) { login(email, password); }
    Q_INVOKABLE void startRegister(const QString &email, const QString &password)
    {
        registerAccount(email, password);
    }
    Q_INVOKABLE void startLoginWithGoogle() { loginWithGoogle(); }
    Q_INVOKABLE void startLoginWithSSO(const QString &email) { loginWithSSO(email); }
    Q_INVOKABLE void clearError() { setErrorMsg(std::nullopt); }
    Q_INVOKABLE void startLoadRegions() { loadRegions(); }
    Q_INVOKABLE void startTopUp(qint64 cents) { topUp(cents); }
    Q_INVOKABLE void startSubscribe() { subscribe(); }
    // Loads the account when signed in and none is loaded yet, or a checkout page
    // was opened since (the user may have paid).
    Q_INVOKABLE void loadAccountIfStale();
    // Opens the waiting browser sign-in's page again (the user closed the tab).
    Q_INVOKABLE void reopenBrowserSignIn();

    // ---- Billing -------------------------------------------------------------
    QCoro::Task<> loadAccount();
    // "$%.2f": "$10.00", "$-2.50", no thousands separators.
    Q_INVOKABLE static QString dollars(qint64 cents);
    QCoro::Task<> topUp(qint64 cents);
    QCoro::Task<> subscribe();

    // ---- Connection ----------------------------------------------------------
    // Ensures a server in the selected (online) region, waits while it is
    // provisioned, brings the tunnel up and starts the heartbeat. Shadows
    // QObject::connect inside this class: use QObject::connect there.
    QCoro::Task<> connect();
    // Brings the tunnel down and releases the server; never fails visibly.
    QCoro::Task<> disconnect();
    // The connect button: disconnect when connected, nothing while connecting,
    // otherwise connect. Returns at once; the operation runs on.
    Q_INVOKABLE void toggle();
    // Sets `state` from the tunnel's process-id file.
    Q_INVOKABLE void refreshStatus();
    // Calls off a connect that waits on the service or on provisioning: back to
    // `disconnected` at once; what is still on its way is ignored when it comes.
    Q_INVOKABLE void cancelConnect();
    bool connectCancellable() const { return m_connectCancellable; }

    // The service session of the current or last connection; never cleared.
    const std::optional<QString> &sessionId() const { return m_sessionId; }

    // ---- Request layer -------------------------------------------------------
    // Each request goes to `base` + path (plain concatenation). With `auth` and a
    // token held, it carries "Authorization: Bearer <token>". A reply outside 2xx
    // throws an ApiError whose text comes from check(); a reply that does not
    // decode into T throws a decoding ApiError; transport failures throw a network
    // ApiError with Qt's text.
    using TextMap = QMap<QString, QString>;
    using IntegerMap = QMap<QString, qint64>;

    template<class T> QCoro::Task<T> get(QString path, bool auth = false)
    {
        const QByteArray reply = co_await send(path, std::nullopt, auth);
        co_return decodeReply<T>(reply);
    }

    template<class T> QCoro::Task<T> post(QString path, TextMap body, bool auth = false)
    {
        const QByteArray reply = co_await send(path, jsonBody(body), auth);
        co_return decodeReply<T>(reply);
    }

    template<class T> QCoro::Task<T> postJSON(QString path, IntegerMap body, bool auth)
    {
        const QByteArray reply = co_await send(path, jsonBody(body), auth);
        co_return decodeReply<T>(reply);
    }

    // As get(), with the decoding done on a worker thread: for replies long enough
    // (thousands of regions) to hold up the GUI thread while they decode.
    template<class T> QCoro::Task<T> getDecodedElsewhere(QString path, bool auth = false)
    {
        const QByteArray reply = co_await send(path, std::nullopt, auth, maxListReplyBytes);
        // A failure comes back as a value: a worker thread only passes on QExceptions.
        using Decoded = std::variant<T, ApiError>;
        QFuture<Decoded> decoding = QtConcurrent::run([reply]() -> Decoded {
            try {
                return decodeReply<T>(reply);
            } catch (const ApiError &error) {
                return error;
            }
        });
        // Awaited through the model, so that a model destroyed meanwhile still
        // sees the steps after this one through (see ~AppModel).
        auto *wait = new WorkerWait(QFuture<void>(decoding), this);
        co_await wait->finished();
        wait->deleteLater();
        const Decoded decoded = decoding.result();
        if (const auto *error = std::get_if<ApiError>(&decoded))
            throw *error;
        co_return std::get<T>(decoded);
    }

    QCoro::Task<> postRaw(QString path, TextMap body, bool auth);

    // Replies are refused once they grow past these: nothing the service sends
    // legitimately comes near them (10,000 locations take about 1 MiB).
    static constexpr qint64 maxReplyBytes = 4 << 20;
    static constexpr qint64 maxListReplyBytes = 32 << 20;
    // The longest error text taken from the service; longer ones end in "…".
    static constexpr qsizetype maxErrorText = 300;

    // Throws the service's error for a status outside 200..299: its "message" (a
    // text, or texts joined by ", ", cut to maxErrorText) or else "request failed (<status>)".
    static void check(int status, const QByteArray &data);

    // The address a request for `path` goes to: `base` + path, not normalised.
    // Throws when that is not an absolute http(s) address, before anything is sent.
    QUrl requestUrl(const QString &path) const;

    static QByteArray jsonBody(const TextMap &body);
    static QByteArray jsonBody(const IntegerMap &body);

signals:
    void tokenChanged();
    void emailChanged();
    void regionsChanged();
    void selectedChanged();
    void stateChanged();
    void exitIPChanged();
    void errorMsgChanged();
    void busyChanged();
    void accountChanged();
    void browserSignInWaitingChanged();
    void loadingRegionsChanged();
    void connectCancellableChanged();
    // The tunnel went away while connected, not by the user's disconnect.
    void connectionLost();

private:
    QCoro::Task<> auth(QString mode, QString email, QString password);
    // Runs a browser sign-in from the start address the builder makes, then trades
    // the code for a session. Throws.
    QCoro::Task<> browserSignIn(std::function<QUrl(const QString &challenge)> startURL);
    // The common end of every sign-in: keep and store the session, then load.
    QCoro::Task<> signedIn(QString token, QString email);
    QCoro::Task<> openCheckout(QString path, IntegerMap body);

    QCoro::Task<ConnectInfo> pollReady(QString regionId, int attempt);
    void setConnectCancellable(bool cancellable);
    void startHeartbeat(const QString &regionId);
    static QCoro::Task<> heartbeatLoop(
        QPointer<AppModel> model, std::shared_ptr<Heartbeat> heartbeat, QString regionId);

    // The service no longer knows our token: signed out, and told why.
    void endSession();

    // The token at rest: in the keyring where one runs, else in the settings file.
    // At start a token found in the file moves into the keyring, or one is read from
    // it; the model shows signed out until that read answers.
    void settleToken(int session);
    void keepToken(const QString &token);
    void forgetToken();
    void sayTokenInFile() const;

    // Sends a GET (no body) or a POST (with a JSON body) and returns the reply bytes
    // of a 2xx reply.
    QCoro::Task<QByteArray> send(
        QString path, std::optional<QByteArray> body, bool auth, qint64 maxBytes = maxReplyBytes);

    QVariant tokenValue() const;
    QVariant emailValue() const;
    QVariantList regionsValue() const;
    QVariant selectedValue() const;
    void setSelectedValue(const QVariant &value);
    QVariant exitIPValue() const;
    QVariant errorMsgValue() const;
    QVariant accountValue() const;

    // Published fields, in this order.
    std::optional<QString> m_token;
    std::optional<QString> m_email;
    QList<Region> m_regions;
    std::optional<Region> m_selected;
    ConnState m_state = ConnState::disconnected;
    std::optional<QString> m_exitIP;
    std::optional<QString> m_errorMsg;
    QString m_errorSource;
    bool m_busy = false;
    std::optional<BillingAccount> m_account;

    // Private state.
    bool m_loadingRegions = false;
    bool m_regionsFailed = false;
    bool m_accountStale = true;
    int m_connectAttempt = 0; // a cancel moves it on, so the old attempt knows it is over
    bool m_connectCancellable = false;
    bool m_disconnecting = false;
    QString m_base;
    std::optional<QString> m_sessionId;
    std::shared_ptr<Heartbeat> m_heartbeat;
    QPointer<GoogleAuthFlow> m_flow; // the browser sign-in now waiting, if any
    TunnelWatcher *m_watcher; // armed while connected

    std::unique_ptr<DefaultsStore> m_defaults;
    std::unique_ptr<SecretStore> m_keyring; // none: the token stays in the settings file
    int m_session = 0; // moves on at each sign-in and sign-out: late keyring answers see it
    Timing m_timing;
    Paths m_paths;
    UrlOpener m_openUrl;
    QObject *m_exchanges; // the requests in flight
};

} // namespace corvanta

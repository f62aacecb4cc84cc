// Sign-in and billing against the real substitute service. The test plays the
// browser, and hands the sign-in callback to the running client through a second
// instance of the real corvanta executable.

#include "AppModel.h"
#include "DevServiceProcess.h"
#include "SingleInstance.h"
#include "TestSupport.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <QCoroNetworkReply>

using namespace corvanta;
using namespace corvanta::test;

namespace {

// The browser: plain requests, redirects not followed. Gives the body and the redirect.
std::pair<QByteArray, QByteArray> fetch(const QUrl &url, bool post = false)
{
    QNetworkAccessManager network;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    std::unique_ptr<QNetworkReply> reply(post ? network.post(request, QByteArray()) : network.get(request));
    QCoro::waitFor(qCoro(reply.get()).waitForFinished());
    return {reply->readAll(), reply->rawHeader("Location")};
}

// What the browser ends on after the start page's "Continue": a corvanta: address.
QByteArray followSignIn(const QUrl &start)
{
    static const QRegularExpression link(QStringLiteral("id=\"continue\" href=\"([^\"]+)\""));
    const QString href = link.match(QString::fromUtf8(fetch(start).first)).captured(1).replace("&amp;", "&");
    return fetch(start.resolved(QUrl(href))).second;
}

// Runs the real executable with an address, as the desktop does; returns its exit status.
int openWithClient(const QByteArray &address)
{
    QProcess client;
    client.start(CLIENT_PATH, {QString::fromUtf8(address)});
    // The event loop keeps turning meanwhile: this process is the running client that answers.
    const bool ended = QTest::qWaitFor([&client] { return client.state() == QProcess::NotRunning; }, 10000);
    return ended ? client.exitCode() : -1; // one still running is killed as it goes
}

} // namespace

class TestAccountsEndToEnd : public QObject
{
    Q_OBJECT

    DevServiceProcess service;
    QTemporaryDir runtime;
    ModelMaker maker;
    QList<QUrl> opened;
    std::unique_ptr<AppModel> model;

    QString error() const { return model->errorMsg().value_or(QString()); }
    int balance() const { return model->account() ? model->account()->balanceCents : -1; }

    // Waits for the browser a sign-in opens, walks it through (or goes straight to
    // `callback`) and hands the callback to the client; empty when that fails.
    QByteArray browse(QCoro::Task<> signIn, QByteArray callback = {})
    {
        if (!QTest::qWaitFor([this] { return !opened.isEmpty(); }, 5000))
            return {};
        const QUrl start = opened.takeFirst();
        if (callback.isEmpty())
            callback = followSignIn(start);
        const bool handedOver = callback.startsWith("corvanta://auth?code=") && openWithClient(callback) == 0;
        QCoro::waitFor(std::move(signIn));
        return handedOver ? callback : QByteArray();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(
            service.start(DEVSERVICE_PATH, {"--sso-domains", "example.com"}), qPrintable(service.output()));
        qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8()); // the client's socket goes here
        model = maker.make(service.base(), {}, {}, [this](const QUrl &url) {
            opened.append(url);
            return true;
        });
    }

    void registerLoginAndErrors()
    {
        QCoro::waitFor(model->registerAccount("Ann.Smith@Example.org", "correct horse"));
        QVERIFY2(error().isEmpty(), qPrintable(error()));
        QCOMPARE(model->email(), std::optional<QString>("ann.smith@example.org")); // as the service keeps it
        QCOMPARE(balance(), 500);
        QVERIFY(!model->regions().isEmpty());

        model->logout();
        QCoro::waitFor(model->login("ann.smith@example.org", "wrong password"));
        QCOMPARE(error(), QStringLiteral("invalid email or password"));
        QCoro::waitFor(model->registerAccount("not-an-email", "short"));
        QCOMPARE(error(),
            QStringLiteral("email must be an email address, password must be at least 8 characters"));
        QCoro::waitFor(model->login("ann.smith@example.org", "correct horse"));
        QVERIFY(model->isAuthed() && error().isEmpty());
    }

    void topUpAndSubscribeThroughCheckoutPages()
    {
        QCoro::waitFor(model->topUp(1000));
        QCOMPARE(opened.size(), 1);
        const QString checkout = opened.takeFirst().toString();
        QVERIFY2(checkout.startsWith(service.base() + "/checkout/inv_"), qPrintable(checkout));
        fetch(checkout + "/pay", true);
        QVERIFY(fetch(checkout + "/pay", true).first.contains("already paid")); // paid once only
        QCoro::waitFor(model->loadAccount());
        QCOMPARE(balance(), 1500);

        QCoro::waitFor(model->subscribe());
        fetch(opened.takeFirst().toString() + "/pay", true);
        QCoro::waitFor(model->loadAccount());
        QVERIFY(model->account()->subscriptionActive && model->account()->subscriptionExpiresAt);
    }

    void browserSignInThroughSecondInstance()
    {
        SingleInstance instance;
        QVERIFY(instance.listen());
        QObject::connect(&instance, &SingleInstance::messageReceived, model.get(),
            [this](const QByteArray &message) { model->handleCallback(QUrl(QString::fromUtf8(message))); });
        model->logout();
        // Nothing waits yet: the address is handed over and ignored.
        QCOMPARE(openWithClient("corvanta://auth?code=stray"), 0);
        QVERIFY(!model->isAuthed() && error().isEmpty());

        const QByteArray callback = browse(model->loginWithGoogle());
        QVERIFY2(!callback.isEmpty() && error().isEmpty(), qPrintable(error()));
        QCOMPARE(model->email(), std::optional<QString>("demo@corvanta.test"));
        QCOMPARE(balance(), 500);
        QVERIFY(!browse(model->loginWithGoogle(), callback).isEmpty());
        QCOMPARE(error(), QStringLiteral("invalid or expired code")); // a code counts once

        // Company sign-on for a work e-mail.
        model->logout();
        QVERIFY2(!browse(model->loginWithSSO("  Jo+Team@EXAMPLE.com ")).isEmpty() && error().isEmpty(),
            qPrintable(error()));
        QCOMPARE(model->email(), std::optional<QString>("jo+team@example.com"));
        QCoro::waitFor(model->loginWithSSO("someone@elsewhere.org"));
        QCOMPARE(error(), QStringLiteral("No SSO is configured for that domain"));
        QVERIFY(opened.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAccountsEndToEnd)
#include "tst_accounts_e2e.moc"

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

struct Page
{
    int status = 0;
    QByteArray body;
    QByteArray location;
};

// The browser: plain requests, redirects not followed.
Page fetch(const QUrl &url, bool post = false)
{
    QNetworkAccessManager network;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    std::unique_ptr<QNetworkReply> reply(post ? network.post(request, QByteArray()) : network.get(request));
    QCoro::waitFor(qCoro(reply.get()).waitForFinished());
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
        reply->rawHeader("Location")};
}

// What the browser ends on after the start page's "Continue": a corvanta: address.
QByteArray followSignIn(const QUrl &start)
{
    const Page page = fetch(start);
    static const QRegularExpression link(QStringLiteral("id=\"continue\" href=\"([^\"]+)\""));
    const QString href
        = link.match(QString::fromUtf8(page.body)).captured(1).replace(QStringLiteral("&amp;"), "&");
    return fetch(start.resolved(QUrl(href))).location;
}

// Runs the real executable with an address, as the desktop does; returns its exit status.
int openWithClient(const QByteArray &address)
{
    QProcess client;
    client.start(CLIENT_PATH, {QString::fromUtf8(address)});
    // The event loop keeps turning meanwhile: this process is the running client that answers.
    if (!QTest::qWaitFor([&client] { return client.state() == QProcess::NotRunning; }, 10000)) {
        client.kill();
        client.waitForFinished();
        return -1;
    }
    return client.exitCode();
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
        QVERIFY2(!model->errorMsg(), qPrintable(model->errorMsg().value_or("")));
        QCOMPARE(model->email(), std::optional<QString>("ann.smith@example.org")); // as the service keeps it
        QVERIFY(model->account());
        QCOMPARE(model->account()->balanceCents, 500);
        QVERIFY(!model->regions().isEmpty());

        model->logout();
        QCoro::waitFor(model->login("ann.smith@example.org", "wrong password"));
        QCOMPARE(model->errorMsg(), std::optional<QString>("invalid email or password"));
        QVERIFY(!model->isAuthed());
        QCoro::waitFor(model->registerAccount("ann.smith@example.org", "another one"));
        QCOMPARE(model->errorMsg(), std::optional<QString>("an account with that email already exists"));
        QCoro::waitFor(model->registerAccount("not-an-email", "short"));
        QCOMPARE(model->errorMsg(),
            std::optional<QString>("email must be an email address, "
                                   "password must be at least 8 characters"));
        QCoro::waitFor(model->login("ann.smith@example.org", "correct horse"));
        QVERIFY(model->isAuthed());
        QVERIFY(!model->errorMsg());
    }

    void topUpThroughCheckoutPage()
    {
        QCoro::waitFor(model->topUp(1000));
        QCOMPARE(opened.size(), 1);
        const QUrl checkout = opened.takeFirst();
        QVERIFY2(checkout.toString().startsWith(service.base() + "/checkout/inv_"),
            qPrintable(checkout.toString()));
        const Page page = fetch(checkout);
        QVERIFY(page.body.contains("$10.00"));
        QVERIFY(page.body.contains(">Pay</button>"));
        QVERIFY(fetch(QUrl(checkout.toString() + "/pay"), true).body.contains("Paid"));
        QVERIFY(fetch(QUrl(checkout.toString() + "/pay"), true).body.contains("already paid")); // once only
        QCoro::waitFor(model->loadAccount());
        QCOMPARE(model->account()->balanceCents, 1500);

        QCoro::waitFor(model->subscribe());
        const QUrl subscription = opened.takeFirst();
        fetch(QUrl(subscription.toString() + "/pay"), true);
        QCoro::waitFor(model->loadAccount());
        QVERIFY(model->account()->subscriptionActive);
        QVERIFY(model->account()->subscriptionExpiresAt);
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
        QVERIFY(!model->isAuthed() && !model->errorMsg());

        QCoro::Task<> google = model->loginWithGoogle();
        QTRY_COMPARE(opened.size(), 1);
        const QByteArray callback = followSignIn(opened.takeFirst());
        QVERIFY2(callback.startsWith("corvanta://auth?code="), callback.constData());
        QCOMPARE(openWithClient(callback), 0);
        QCoro::waitFor(std::move(google));
        QVERIFY2(!model->errorMsg(), qPrintable(model->errorMsg().value_or("")));
        QCOMPARE(model->email(), std::optional<QString>("demo@corvanta.test"));
        QVERIFY(model->account());

        // A code counts once.
        QCoro::Task<> replay = model->loginWithGoogle();
        QTRY_COMPARE(opened.size(), 1);
        opened.clear();
        QCOMPARE(openWithClient(callback), 0);
        QCoro::waitFor(std::move(replay));
        QCOMPARE(model->errorMsg(), std::optional<QString>("invalid or expired code"));

        // Company sign-on for a work e-mail.
        model->logout();
        QCoro::Task<> sso = model->loginWithSSO("  Jo+Team@EXAMPLE.com ");
        QTRY_COMPARE(opened.size(), 1);
        QCOMPARE(openWithClient(followSignIn(opened.takeFirst())), 0);
        QCoro::waitFor(std::move(sso));
        QVERIFY2(!model->errorMsg(), qPrintable(model->errorMsg().value_or("")));
        QCOMPARE(model->email(), std::optional<QString>("jo+team@example.com"));

        QCoro::waitFor(model->loginWithSSO("someone@elsewhere.org"));
        QCOMPARE(model->errorMsg(), std::optional<QString>("No SSO is configured for that domain"));
        QVERIFY(opened.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAccountsEndToEnd)
#include "tst_accounts_e2e.moc"

#include "AppModel.h"
#include "FakeService.h"
#include "HttpClient.h"
#include "TestSupport.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using namespace corvanta;
using namespace corvanta::test;
using namespace Qt::StringLiterals;

namespace {
const QByteArray regionJson = R"([{"id":"r1","country":"C","city":"c","flag":"f","status":"online"}])";

// The ids of the regions read, or the error as "domain code: text".
QString describe(const Outcome<QList<Region>> &outcome)
{
    if (const auto &e = outcome.error)
        return u"%1 %2: %3"_s.arg(e->domain()).arg(e->code()).arg(e->description());
    QStringList ids;
    for (const Region &region : *outcome.value)
        ids << region.id;
    return ids.join(' ');
}

} // namespace

class TestRequestLayer : public QObject
{
    Q_OBJECT

private slots:
    // Decoding here or on a worker thread gives the same outcome.
    void repliesBecomeValuesOrErrors_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("outcome");
        const auto row = [](const char *name, int status, const QByteArray &body, const QString &outcome) {
            QTest::newRow(name) << status << body << outcome;
        };
        const auto message = [](const QString &text) { return "{\"message\":\"" + text.toUtf8() + "\"}"; };
        const QByteArray a = R"({"id":"a","country":"A","city":"a","flag":"x","status":"online"})";
        const QString x300(300, 'x');
        row("list", 200, "[" + a + R"(,{"id":"b","country":"B","city":"b","flag":"y","status":"soon"}])",
            "a b");
        row("bad element", 200, "[" + a + R"(,{"id":"b"}])",
            "decoding 0: unexpected reply (Region[1]: missing key \"country\")");
        row("message text", 401, message("invalid email or password"),
            "corvanta 401: invalid email or password");
        row("message array", 422, R"({"message":["email is invalid","password too short"]})",
            "corvanta 422: email is invalid, password too short");
        row("array with number", 422, R"({"message":["a",1]})", "corvanta 422: request failed (422)");
        row("no body, 300 is a failure", 300, {}, "corvanta 300: request failed (300)");
        row("longest kept", 503, message(x300), "corvanta 503: " + x300);
        row("never half a character", 503, message(x300.left(299) + "😀y"),
            "corvanta 503: " + x300.left(299) + "…");
    }

    void repliesBecomeValuesOrErrors()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, outcome);
        FakeService service;
        service.setFallback({status, body, {}});
        ModelMaker maker;
        auto model = maker.make(service.base());
        QCOMPARE(describe(run(model->get<QList<Region>>("/api/regions"))), outcome);
        QCOMPARE(describe(run(model->getDecodedElsewhere<QList<Region>>("/api/regions"))), outcome);
    }

    void requestsCarryMethodAuthAndBody()
    {
        FakeService service;
        ModelMaker maker;
        auto model = maker.make(service.base());
        service.setFallback({200, regionJson, {}});
        model->setToken(u"tok-1"_s);
        QVERIFY(run(model->get<QList<Region>>("/api/regions")).value);
        QVERIFY(run(model->get<QList<Region>>("/api/regions?x=1", true)).value);
        QVERIFY(!errorOf(model->postRaw("/api/t", {{"email", "a@b.c"}, {"password", "p w\"1"}}, false)));
        model->setToken(u""_s); // an empty token is still a token (the wire drops the trailing blank)
        service.setFallback({200, R"({"invoiceId":"i","checkoutUrl":"u"})", {}});
        QVERIFY(
            run(model->postJSON<CheckoutResp>("/api/billing/topup", {{"amountCents", 2500}}, true)).value);
        QByteArrayList seen;
        for (const RecordedRequest &r : service.requests())
            seen << r.method + ' ' + r.target + " [" + r.header("authorization") + "] ["
                    + r.header("content-type") + "] " + r.body;
        QCOMPARE(seen,
            QByteArrayList({
                "GET /api/regions [] [] ",
                "GET /api/regions?x=1 [Bearer tok-1] [] ",
                "POST /api/t [] [application/json] {\"email\":\"a@b.c\",\"password\":\"p w\\\"1\"}",
                "POST /api/billing/topup [Bearer] [application/json] {\"amountCents\":2500}",
            }));
    }

    void unusableAddressesFailPlainly()
    {
        QTcpServer probe; // a port nobody listens on: take one, then close it
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QString closed = u"http://127.0.0.1:%1"_s.arg(probe.serverPort());
        probe.close();
        ModelMaker maker;
        const auto regions = [&](const QString &base) {
            return describe(run(maker.make(base)->get<QList<Region>>("/api/regions")));
        };
        QCOMPARE(regions(closed), u"network 0: Connection refused"_s);
        // The rest fail before anything is sent.
        for (const QString base : {"", "127.0.0.1:9", "ftp://127.0.0.1:9", "http://h/a b", "http://"})
            QCOMPARE(regions(base), u"corvanta 0: invalid service address \"%1/api/regions\""_s.arg(base));
    }

    // Whatever the other end sends, a reply is read within bounds or refused with
    // a plain reason; odd but valid framing still reads.
    void repliesAreBoundedAndStrict_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("later"); // null: the connection closes; else sent every 50 ms
        QTest::addColumn<QString>("error");
        const auto row = [](const char *name, const QByteArray &reply, const QString &error = {},
                             const QByteArray &later = {}) {
            QTest::newRow(name) << reply << later << (error.isEmpty() ? error : "network 0: " + error);
        };
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        const QByteArray chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
        const QByteArray huge(AppModel::maxReplyBytes + 1, ' ');
        const QString tooLarge = "the service's reply was too large";
        const QString notHttp = "the service's reply was not valid HTTP";
        const QString late = "the service did not answer in time";
        row("chunked", chunked + "1;x=y\r\n[\r\n9F\r\n" + QByteArray(158, ' ') + "]\r\n0\r\nT: v\r\n\r\n");
        row("bare LF, split", ok + "Transfer-Encoding: chunked\n\n1\n[", {}, "\n1\n]\n0\n\n");
        row("interim reply, until close", "HTTP/1.1 100 Continue\r\n\r\n" + ok + "Z9-z: 1\r\n\r\n[]");
        row("huge body", ok + "\r\n" + huge, tooLarge);
        row("huge length announced", ok + "Content-Length: 99999999999\r\n\r\n", tooLarge);
        row("huge chunk", chunked + "fffffff\r\n" + huge, tooLarge);
        row("huge headers", ok + "X: " + huge, "the service's reply headers were too large");
        row("too many headers", ok + QByteArray("A: b\r\n").repeated(101) + "\r\n[]", notHttp);
        row("header line injection", ok + "A\rB: c\r\n\r\n[]", notHttp);
        row("blank in a header name", ok + "A B: c\r\n\r\n[]", notHttp);
        row("not HTTP", "SSH-2.0-x\r\n\r\n", notHttp);
        row("chunk size not plain hex", chunked + "0x2\r\n[]\r\n0\r\n\r\n", notHttp);
        row("other coding", ok + "Transfer-Encoding: gzip\r\n\r\n[]", notHttp);
        row("cut off", ok + "Content-Length: 10\r\n\r\n[]", "the service's reply was cut off");
        row("closed without answering", {}, "the service closed the connection without answering");
        row("silent", {}, late, "");
        row("trickle", ok + "Content-Length: 1000\r\n\r\n", late, " ");
    }

    void repliesAreBoundedAndStrict()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, later);
        QFETCH(QString, error);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTimer dripping;
        bool answered = false;
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            QTcpSocket *peer = server.nextPendingConnection();
            // Answers once the request is in: closing on unread data would reset the connection.
            QObject::connect(peer, &QTcpSocket::readyRead, peer, [&, peer] {
                peer->readAll();
                if (std::exchange(answered, true))
                    return;
                peer->write(reply);
                if (later.isNull())
                    return peer->disconnectFromHost();
                QObject::connect(&dripping, &QTimer::timeout, peer, [peer, later] { peer->write(later); });
                dripping.start(50);
            });
        });
        // A silent peer meets the silence limit; one that keeps sending meets the deadline.
        const auto deadline = later.isEmpty() ? Timing {}.requestDeadline : std::chrono::milliseconds(1000);
        ModelMaker maker;
        auto model = maker.make(u"http://127.0.0.1:%1"_s.arg(server.serverPort()),
            Timing {std::chrono::seconds(1), {}, {}, deadline});
        QCOMPARE(describe(run(model->get<QList<Region>>("/api/regions"))), error);
    }

    // However far an exchange has got when its owner goes, its waiter hears the
    // end: a waiter never told is a coroutine left hanging (and leaked).
    void ownerGoneAtAnyStepEndsTheWait()
    {
        FakeService service;
        service.setFallback({200, "[]", {}});
        const http::Request request {QUrl(service.base() + "/"), "GET", {}, {}};
        const http::Limits limits {4096, std::chrono::seconds(5), std::chrono::seconds(5)};
        for (int steps = 0; steps < 30; ++steps) {
            QObject owner;
            bool heard = false;
            const auto wait = [&]() -> QCoro::Task<> {
                try {
                    co_await http::exchange(request, limits, &owner);
                } catch (const ApiError &) { }
                heard = true;
            };
            const auto task = wait();
            for (int step = 0; step < steps; ++step, QThread::msleep(2))
                QCoreApplication::processEvents();
            http::abandonAll(&owner);
            QVERIFY2(heard, qPrintable(u"owner gone after %1 steps"_s.arg(steps)));
        }
    }

    void redirectsKeepCredentialsHome()
    {
        FakeService first;
        FakeService second;
        second.setFallback({200, regionJson, {}});
        const QByteArray elsewhere = (second.base() + "/api/regions").toUtf8();
        ModelMaker maker;
        auto model = maker.make(first.base());
        model->setToken(u"secret-token"_s);
        const auto redirect = [&](int status, const QByteArray &to) {
            first.enqueue({status, {}, {{"Location", to}}});
        };
        const auto regions
            = [&](bool auth) { return describe(run(model->get<QList<Region>>("/api/regions", auth))); };

        // Neither a token nor a body with a password goes to another origin.
        redirect(302, elsewhere);
        QCOMPARE(regions(true),
            u"network 302: the service redirected the request to another site; it was not followed"_s);
        redirect(307, elsewhere);
        QVERIFY(run(model->post<AuthResponse>("/api/auth/login", {{"password", "hunter2"}})).error);
        QVERIFY(second.requests().isEmpty());

        // At home the token goes along; after a 303 a POST becomes a plain GET.
        redirect(303, "/api/next");
        first.enqueue({200, {}, {}});
        QVERIFY(!errorOf(model->postRaw("/api/start", {{"a", "b"}}, true)));
        const RecordedRequest &next = first.requests().last();
        QCOMPARE(next.method + ' ' + next.target + ' ' + next.header("authorization")
                + next.header("content-type") + next.body,
            "GET /api/next Bearer secret-token"_ba);

        // Without credentials, redirects are followed as usual.
        redirect(302, elsewhere);
        QCOMPARE(regions(false), u"r1"_s);
        QCOMPARE(second.requests().size(), 1);
        QVERIFY(!second.requests().first().hasHeader("authorization"));

        // An address that cannot be sent to, or one redirect too many, ends the request.
        const QString invalid = "the service redirected the request to an invalid address";
        redirect(301, "ftp://127.0.0.1:9/x");
        QCOMPARE(regions(false), "network 301: " + invalid);
        const qsizetype before = first.requests().size();
        first.setFallback({308, {}, {{"Location", "/again"}}});
        QCOMPARE(regions(false), "network 308: " + invalid);
        QCOMPARE(first.requests().size() - before, 6); // the request and five redirects
    }
};

QTEST_GUILESS_MAIN(TestRequestLayer)
#include "tst_requestlayer.moc"

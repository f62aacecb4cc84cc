// Where the session token rests: keyring.sh runs this on a private bus with a real keyring,
// and without one (CORVANTA_TEST_KEYRING=none), where the token falls back to the file.

#include "FakeService.h"
#include "TestSupport.h"

#include <QTest>

using namespace corvanta;
using namespace corvanta::test;

class TestKeyring : public QObject
{
    Q_OBJECT

    const bool keyring = qEnvironmentVariable("CORVANTA_TEST_KEYRING") != QLatin1String("none");
    FakeService service;
    ModelMaker maker;

    // Asked with secret-tool, not our code; not without a keyring, where asking starts one.
    std::optional<QString> inKeyring() const
    {
        if (!keyring)
            return std::nullopt;
        QProcess tool;
        tool.start(
            "secret-tool", {"lookup", "server", AppModel::keyringService, "user", AppModel::keyringKey});
        if (!tool.waitForFinished() || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
            return std::nullopt;
        return QString::fromUtf8(tool.readAllStandardOutput());
    }

    // Until the keyring work asked for so far is answered: QtKeychain runs one job at a time.
    void settle()
    {
        QCoreApplication::processEvents(); // the start step of a model just made
        SecretStore probe(AppModel::keyringService, QStringLiteral("probe"));
        bool answered = false;
        probe.read([&](SecretStore::Result, const QString &) { answered = true; });
        QTRY_VERIFY(answered);
    }

    bool inFile(const QString &token) const
    {
        QFile file(maker.settingsFile());
        return file.open(QIODevice::ReadOnly) && file.readAll().contains(token.toUtf8());
    }

private slots:
    void initTestCase() { maker.keyring = AppModel::Setup().keyring; }

    // Signed in, or left in the file by an older client: in the keyring, not the file (without
    // one: in the 0600 file), restored by a restart, and forgotten everywhere by logout.
    void tokenAtRest()
    {
        for (const bool signIn : {true, false}) {
            const std::optional<QString> token = signIn ? "tok-1" : "tok-old";
            if (signIn) {
                auto first = maker.make(service.base());
                service.enqueue(200, R"({"token":"tok-1","user":{"id":"u","email":"ann@example.com"}})");
                QCoro::waitFor(first->login("ann@example.com", "secret"));
                settle();
            } else {
                DefaultsStore(maker.settingsFile()).setValue(AppModel::tokenKey, *token);
            }
            auto model = maker.make(service.base());
            if (!signIn) // the file counts at once
                QCOMPARE(model->token(), token);
            settle();
            QCOMPARE(model->token(), token);
            QCOMPARE(model->email(), signIn ? std::optional<QString>("ann@example.com") : std::nullopt);
            QCOMPARE(inKeyring(), keyring ? token : std::nullopt);
            QCOMPARE(inFile(*token), !keyring);
            QCOMPARE(QFile::permissions(maker.settingsFile()) & 0x7077, QFile::ReadOwner | QFile::WriteOwner);

            model->logout();
            settle();
            QCOMPARE(inKeyring(), std::nullopt);
            QVERIFY(!inFile(*token));
        }
    }
};

QTEST_GUILESS_MAIN(TestKeyring)
#include "tst_keyring.moc"

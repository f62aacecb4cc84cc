// Where the session token rests, against a real Secret Service: keyring.sh runs this
// on a private session bus with an unlocked gnome-keyring on it, and again on one
// without (CORVANTA_TEST_KEYRING=none), where the token falls back to the settings file.

#include "FakeService.h"
#include "TestSupport.h"

#include <QProcess>
#include <QTest>

#include <sys/stat.h>

using namespace corvanta;
using namespace corvanta::test;

class TestKeyring : public QObject
{
    Q_OBJECT

    const bool keyring = qEnvironmentVariable("CORVANTA_TEST_KEYRING") != QLatin1String("none");
    FakeService service;
    ModelMaker maker;

    // What the keyring holds, asked with secret-tool rather than through our code.
    // (Not asked without a keyring: asking would start one.)
    std::optional<QString> inKeyring() const
    {
        if (!keyring)
            return std::nullopt;
        QProcess tool;
        tool.start(QStringLiteral("secret-tool"),
            {"lookup", "server", AppModel::keyringService, "user", AppModel::keyringKey});
        tool.waitForFinished();
        if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
            return std::nullopt;
        return QString::fromUtf8(tool.readAllStandardOutput());
    }

    // Waits until the keyring work the models asked for so far is answered: every
    // store asks the same bus first, and QtKeychain runs one job at a time.
    void settle()
    {
        QCoreApplication::processEvents(); // the start step of a model just made
        SecretStore probe(AppModel::keyringService, QStringLiteral("probe"));
        bool answered = false;
        probe.read([&](SecretStore::Result, const QString &) { answered = true; });
        QTRY_VERIFY(answered);
    }

    bool inFile(const QByteArray &token) const
    {
        QFile file(maker.settingsFile());
        return file.open(QIODevice::ReadOnly) && file.readAll().contains(token);
    }

private slots:
    void initTestCase() { maker.keyring = AppModel::Setup().keyring; }

    void tokenAtRest()
    {
        const auto kept
            = [this](const char *token) { return keyring ? std::optional<QString>(token) : std::nullopt; };

        // Sign-in: into the keyring and not the file; without one, into the 0600 file.
        auto model = maker.make(service.base());
        service.enqueue(200, R"({"token":"tok-1","user":{"id":"u","email":"ann@example.com"}})");
        QCoro::waitFor(model->login("ann@example.com", "secret"));
        QVERIFY(model->isAuthed());
        settle();
        QCOMPARE(inKeyring(), kept("tok-1"));
        QCOMPARE(inFile("tok-1"), !keyring);
        struct stat st
        { };
        QCOMPARE(::stat(QFile::encodeName(maker.settingsFile()).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);

        // A restart restores the session, from wherever it rests.
        model = maker.make(service.base());
        settle();
        QCOMPARE(model->token(), std::optional<QString>("tok-1"));
        QCOMPARE(model->email(), std::optional<QString>("ann@example.com"));

        // Logout forgets it everywhere.
        model->logout();
        settle();
        QCOMPARE(inKeyring(), std::nullopt);
        QVERIFY(!inFile("tok-1"));

        // A token an older client left in the file counts at once and moves to the keyring.
        DefaultsStore(maker.settingsFile()).setValue(AppModel::tokenKey, "tok-old");
        model = maker.make(service.base());
        QCOMPARE(model->token(), std::optional<QString>("tok-old"));
        settle();
        QCOMPARE(inKeyring(), kept("tok-old"));
        QCOMPARE(inFile("tok-old"), !keyring);
        model->logout();
        settle();
        QCOMPARE(inKeyring(), std::nullopt);
        QVERIFY(!inFile("tok-old"));
    }
};

QTEST_GUILESS_MAIN(TestKeyring)
#include "tst_keyring.moc"

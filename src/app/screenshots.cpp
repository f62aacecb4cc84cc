// corvanta-screenshots OUTDIR: renders every view in its distinct states to PNG
// files, from a model put in each state (nothing is sent anywhere).

#include "AppModel.h"
#include "CorvantaApp.h"
#include "IconProvider.h"
#include "RegionCatalog.h"

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QTcpServer>
#include <QJsonDocument>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

#include <cstdio>
#include <functional>

Q_IMPORT_QML_PLUGIN(CorvantaPlugin)

using namespace corvanta;
using State = AppModel::ConnState;

namespace {

struct Shot
{
    const char *file;
    const char *view; // PopoverView or LocationsWindow
    std::function<void(AppModel &, QQuickItem &)> prepare;
    bool silentService = false; // requests wait for ever: loading, browser sign-in
};

QQuickItem *find(QQuickItem &root, const char *name)
{
    return root.findChild<QQuickItem *>(QString::fromLatin1(name));
}

void signedIn(AppModel &m, QQuickItem &)
{
    m.setToken("token");
    m.setEmail("ann.smith@example.org");
    m.setAccount(decodeReply<BillingAccount>(R"({"balanceCents":1250,"subscriptionActive":false,)"
                                             R"("pricePerHourCents":3,"subMonthlyCents":999})"));
}

void connectedTo(AppModel &m, QQuickItem &root, bool withExit)
{
    signedIn(m, root);
    m.setSelected(m.regions().at(4));
    if (withExit)
        m.setExitIP("198.51.100.23");
    m.setState(State::connected);
}

// Signed in with no list yet: it is on its way.
void loadingList(AppModel &m, QQuickItem &root)
{
    signedIn(m, root);
    m.setRegions({});
    m.startLoadRegions();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Nothing is sent anywhere: no address at all, or one that never answers.
    QTcpServer silent;
    silent.listen(QHostAddress::LocalHost);
    const QByteArray silentBase = "http://127.0.0.1:" + QByteArray::number(silent.serverPort());
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(out);
    QTemporaryDir settings;

    const QList<Region> regions = decodeReply<QList<Region>>(
        QJsonDocument(devservice::RegionCatalog::builtIn()).toJson(QJsonDocument::Compact));

    const QList<Shot> shots {
        {"login", "PopoverView", [](AppModel &, QQuickItem &) {}},
        {"login-signup", "PopoverView",
            [](AppModel &, QQuickItem &r) {
                find(r, "loginPanel")->setProperty("signUp", true);
                find(r, "email")->setProperty("text", "ann.smith@example.org");
                find(r, "password")->setProperty("text", "secret password");
            }},
        {"login-sso", "PopoverView",
            [](AppModel &, QQuickItem &r) {
                find(r, "loginPanel")->setProperty("ssoMode", true);
                find(r, "workEmail")->setProperty("text", "jo@example.com");
            }},
        {"login-busy", "PopoverView",
            [](AppModel &m, QQuickItem &r) {
                find(r, "email")->setProperty("text", "ann.smith@example.org");
                find(r, "password")->setProperty("text", "secret password");
                m.setBusy(true);
            }},
        {"login-error", "PopoverView",
            [](AppModel &m, QQuickItem &r) {
                find(r, "email")->setProperty("text", "ann.smith@example.org");
                m.setErrorMsg("invalid email or password");
            }},
        {"login-session-ended", "PopoverView",
            [](AppModel &m, QQuickItem &) { m.setErrorMsg(AppModel::sessionEndedText, "signIn"); }},
        {"login-browser-waiting", "PopoverView", [](AppModel &m, QQuickItem &) { m.startLoginWithGoogle(); },
            true},
        {"main-loading", "PopoverView", loadingList, true},
        {"main-load-failed", "PopoverView", loadingList}, // nowhere to load from
        {"main-billing-error", "PopoverView",
            [](AppModel &m, QQuickItem &r) {
                signedIn(m, r);
                m.setSelected(m.regions().at(0));
                m.setErrorMsg("card declined", "billing");
            }},
        {"main-disconnected", "PopoverView",
            [](AppModel &m, QQuickItem &r) {
                signedIn(m, r);
                m.setSelected(m.regions().at(0));
            }},
        {"main-provisioning", "PopoverView",
            [](AppModel &m, QQuickItem &r) {
                signedIn(m, r);
                m.setSelected(m.regions().at(0));
                m.setState(State::provisioning);
            }},
        {"main-connected", "PopoverView", [](AppModel &m, QQuickItem &r) { connectedTo(m, r, true); }},
        {"main-connected-no-exit", "PopoverView",
            [](AppModel &m, QQuickItem &r) { connectedTo(m, r, false); }},
        {"main-failed", "PopoverView",
            [](AppModel &m, QQuickItem &r) {
                signedIn(m, r);
                m.setSelected(m.regions().at(1));
                m.setErrorMsg("one-time setup needed — run: sudo ./scripts/install-helper.sh");
                m.setState(State::failed);
            }},
        {"main-subscription", "PopoverView",
            [](AppModel &m, QQuickItem &r) {
                signedIn(m, r);
                m.setAccount(decodeReply<BillingAccount>(R"({"balanceCents":0,"subscriptionActive":true,)"
                                                         R"("pricePerHourCents":3,"subMonthlyCents":999})"));
                m.setSelected(m.regions().at(2));
            }},
        {"main-no-account", "PopoverView",
            [](AppModel &m, QQuickItem &r) {
                signedIn(m, r);
                m.setAccount(std::nullopt);
            }},
        {"locations", "LocationsWindow", [](AppModel &m, QQuickItem &) { m.setSelected(m.regions().at(3)); }},
        {"locations-connected", "LocationsWindow",
            [](AppModel &m, QQuickItem &) {
                m.setSelected(m.regions().at(3));
                m.setState(State::connected);
            }},
    };

    int written = 0;
    for (const Shot &shot : shots) {
        qputenv("CORVANTA_API", shot.silentService ? silentBase : QByteArray());
        AppModel::Setup setup;
        setup.settingsFile = settings.filePath(QString::fromLatin1(shot.file) + ".conf");
        setup.keyring = {}; // the user's own session stays out of the pictures
        setup.openUrl = [](const QUrl &) { return true; };
        AppModel model(setup);
        model.setRegions(regions);

        QQuickView view;
        view.engine()->addImportPath("qrc:/");
        view.engine()->addImageProvider("symbol", new IconProvider);
        view.setInitialProperties({{"model", QVariant::fromValue<QObject *>(&model)}});
        const bool window = QLatin1String(shot.view) == QLatin1String("LocationsWindow");
        // The popover sizes itself; the window shows every row here.
        view.setResizeMode(window ? QQuickView::SizeRootObjectToView : QQuickView::SizeViewToRootObject);
        view.setSource(QUrl(QStringLiteral("qrc:/Corvanta/%1.qml").arg(QLatin1String(shot.view))));
        if (view.status() != QQuickView::Ready) {
            std::fprintf(stderr, "cannot load %s\n", shot.view);
            return 1;
        }
        shot.prepare(model, *view.rootObject());
        if (window)
            view.resize(360, 860);
        view.show();
        QTest::qWait(150);
        const QString file = QDir(out).filePath(QString::fromLatin1(shot.file) + ".png");
        if (!view.grabWindow().save(file)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
        ++written;
    }
    // The tray icon's menu, as the shell makes it, while connected.
    {
        qputenv("CORVANTA_API", QByteArray());
        SingleInstance instance(settings.filePath("sock"));
        AppModel::Setup setup;
        setup.settingsFile = settings.filePath("tray.conf");
        setup.keyring = {}; // the user's own session stays out of the pictures
        CorvantaApp shell(instance, setup);
        shell.model().setToken("token");
        shell.model().setRegions(regions);
        shell.model().setSelected(regions.at(4));
        shell.model().setState(State::connected);
        shell.popover()->hide();
        shell.trayMenu()->adjustSize();
        const QString file = QDir(out).filePath("tray-menu.png");
        if (!shell.trayMenu()->grab().save(file)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
        ++written;
    }
    std::printf("%d screenshots in %s\n", written, qPrintable(out));
    return 0;
}

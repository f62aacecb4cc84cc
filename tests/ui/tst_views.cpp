// The popover, the main panel and the locations window, loaded against a real
// model put in each state.

#include "AppModel.h"
#include "CorvantaApp.h"
#include "FakeService.h"
#include "IconProvider.h"
#include "TestSupport.h"

#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QTest>

using namespace corvanta;
using namespace corvanta::test;
using State = AppModel::ConnState;

namespace {

const QList<Region> regions {{"us", "United States", "New York", "🇺🇸", "online"},
    {"au", "Australia", "Sydney", "🇦🇺", "soon"}, {"de", "Germany", "Frankfurt", "🇩🇪", "online"},
    {"br", "Brazil", "São Paulo", "🇧🇷", "Online"}};

struct Rig
{
    FakeService service;
    ModelMaker maker;
    std::unique_ptr<AppModel> model = maker.make(service.base());
    QQuickView view;

    explicit Rig(const char *component, bool signedIn = true)
    {
        model->setRegions(regions);
        if (signedIn) {
            model->setToken("t");
            model->setEmail("ann@example.org");
        }
        view.engine()->addImportPath("qrc:/");
        view.engine()->addImageProvider("symbol", new IconProvider);
        view.setInitialProperties({{"model", QVariant::fromValue<QObject *>(model.get())}});
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.resize(360, 900);
        view.setSource(QUrl(QStringLiteral("qrc:/Corvanta/%1.qml").arg(QLatin1String(component))));
        view.show();
    }

    // Searches the visual tree: list delegates are not object children of the view.
    QQuickItem *item(const QString &name) const { return find(view.rootObject(), name); }
    static QQuickItem *find(QQuickItem *at, const QString &name)
    {
        if (at->objectName() == name)
            return at;
        for (QQuickItem *child : at->childItems()) {
            if (QQuickItem *found = find(child, name))
                return found;
        }
        return nullptr;
    }
    QString text(const QString &name) const { return item(name)->property("text").toString(); }
    QString title(const QString &name) const { return item(name)->property("title").toString(); }
    void click(const QString &name)
    {
        QQuickItem *target = item(name);
        QVERIFY2(target, qPrintable(name));
        QTest::mouseClick(&view, Qt::LeftButton, {},
            target->mapToScene(QPointF(target->width() / 2, target->height() / 2)).toPoint());
    }
};

} // namespace

class TestViews : public QObject
{
    Q_OBJECT

private slots:
    void mainPanelFollowsState()
    {
        Rig rig("MainPanel");
        QCOMPARE(rig.text("statusTitle"), QStringLiteral("Not connected"));
        QCOMPARE(rig.text("statusSubtitle"), QStringLiteral("Choose a location and connect"));
        QCOMPARE(rig.title("connectButton"), QStringLiteral("Connect"));
        QVERIFY(!rig.item("connectButton")->isEnabled()); // nothing selected yet
        QCOMPARE(rig.item("connectButton")->opacity(), 0.6);
        // "All" counts every region; the list holds the online ones only.
        QCOMPARE(rig.item("allLink")->property("text").toString(), QStringLiteral("All 4"));
        QTRY_VERIFY(rig.item("row_us") && rig.item("row_de"));
        QVERIFY(!rig.item("row_au") && !rig.item("row_br"));

        rig.click("row_de");
        QCOMPARE(rig.model->selected()->id, QStringLiteral("de"));
        QVERIFY(rig.item("row_de")->property("selected").toBool());
        QVERIFY(rig.item("connectButton")->isEnabled());

        rig.model->setState(State::connecting);
        QCOMPARE(rig.title("connectButton"), QStringLiteral("Connecting…"));
        QVERIFY(!rig.item("connectButton")->isEnabled());
        rig.click("row_us"); // rows ignore clicks while working
        QCOMPARE(rig.model->selected()->id, QStringLiteral("de"));
        rig.model->setState(State::provisioning);
        QCOMPARE(rig.title("connectButton"), QStringLiteral("Provisioning…"));
        QCOMPARE(rig.text("statusSubtitle"), QStringLiteral("Spinning up your server…"));

        rig.model->setState(State::connected);
        QCOMPARE(rig.text("statusTitle"), QStringLiteral("Protected"));
        QCOMPARE(rig.text("statusSubtitle"), QStringLiteral("Exiting via 🇩🇪 Frankfurt"));
        rig.model->setExitIP("198.51.100.7");
        QCOMPARE(rig.text("statusSubtitle"), QStringLiteral("Exiting via 🇩🇪 Frankfurt · 198.51.100.7"));
        rig.model->setSelected(std::nullopt); // no place known: only the address
        QCOMPARE(rig.text("statusSubtitle"), QStringLiteral("Exiting via  · 198.51.100.7"));
        QVERIFY(!rig.item("connectButton")->isEnabled());
        rig.model->setSelected(regions[2]);
        QCOMPARE(rig.title("connectButton"), QStringLiteral("Disconnect"));
        QVERIFY(!rig.item("connectButton")->property("filled").toBool());
        QVERIFY(rig.item("connectButton")->isEnabled());
        QVERIFY(!rig.item("row_us")->isEnabled());

        // The error line shows only after a failed connection.
        rig.model->setErrorMsg("provisioning failed");
        QVERIFY(!rig.item("errorLine")->isVisible());
        rig.model->setState(State::failed);
        QVERIFY(rig.item("errorLine")->isVisible());
        QCOMPARE(rig.text("errorLine"), QStringLiteral("provisioning failed"));
        QCOMPARE(rig.text("statusTitle"), QStringLiteral("Not connected"));
        QCOMPARE(rig.title("connectButton"), QStringLiteral("Connect"));
    }

    void chosenRowStaysInSight()
    {
        Rig rig("MainPanel");
        QList<Region> many;
        for (int i = 0; i < 30; ++i)
            many.append(Region{QStringLiteral("r%1").arg(i), "Country", "City", "F", "online"});
        rig.model->setRegions(many);
        QCOMPARE(rig.item("locationList")->property("contentY").toReal(), 0.0);
        rig.model->setSelected(many.last());
        QTRY_VERIFY(rig.item("row_r29") && rig.item("row_r29")->isVisible());
        QVERIFY(rig.item("locationList")->property("contentY").toReal() > 0);
    }

    void mainPanelBillingAndFooter()
    {
        Rig rig("MainPanel");
        QVERIFY(!rig.item("billingRow")->isVisible());
        rig.model->setAccount(decodeReply<BillingAccount>(
            R"({"balanceCents":-250,"subscriptionActive":false,"pricePerHourCents":3,"subMonthlyCents":999})"));
        QVERIFY(rig.item("billingRow")->isVisible());
        QCOMPARE(rig.text("balance"), QStringLiteral("Balance $-2.50"));
        QVERIFY(rig.item("subscribe")->isVisible());
        rig.model->setAccount(decodeReply<BillingAccount>(
            R"({"balanceCents":0,"subscriptionActive":true,"pricePerHourCents":3,"subMonthlyCents":999})"));
        QCOMPARE(rig.text("balance"), QStringLiteral("Subscription active"));
        QVERIFY(!rig.item("subscribe")->isVisible());
        QVERIFY(rig.item("topUp")->isVisible());

        rig.service.enqueue(200, R"({"invoiceId":"i","checkoutUrl":"ftp:nope"})");
        rig.click("topUp");
        QTRY_COMPARE(rig.service.requests().size(), 1);
        QCOMPARE(rig.service.requests()[0].body, QByteArray(R"({"amountCents":1000})"));

        QCOMPARE(rig.text("footerEmail"), QStringLiteral("ann@example.org"));
        rig.click("logOut");
        QVERIFY(!rig.model->isAuthed());
    }

    void popoverSwitchesPanelsAndLoadsOnAppearance()
    {
        Rig rig("PopoverView", false);
        QVERIFY(rig.item("loginPanel"));
        rig.model->setToken("t");
        QTRY_VERIFY(rig.item("mainPanel"));
        QTRY_VERIFY(!rig.item("loginPanel"));

        // Regions loaded: only the status refresh.
        QMetaObject::invokeMethod(rig.view.rootObject(), "appeared");
        QTest::qWait(50);
        QVERIFY(rig.service.requests().isEmpty());
        // None loaded: the list is fetched.
        rig.model->setRegions({});
        rig.service.enqueue(200, R"([{"id":"x","country":"C","city":"c","flag":"F","status":"online"}])");
        QMetaObject::invokeMethod(rig.view.rootObject(), "appeared");
        QTRY_COMPARE(rig.model->regions().size(), 1);
        QCOMPARE(rig.service.requests()[0].target, QByteArray("/api/regions"));

        // After a sign-out the login panel starts afresh.
        rig.model->logout();
        QTRY_VERIFY(rig.item("loginPanel"));
        QCOMPARE(rig.item("loginPanel")->property("ssoMode").toBool(), false);
        QCOMPARE(rig.text("email"), QString());
    }

    void locationsWindowSectionsAndPicks()
    {
        Rig rig("LocationsWindow");
        QSignalSpy dismissed(rig.view.rootObject(), SIGNAL(dismiss()));
        QTRY_VERIFY(rig.item("row_br"));
        // Available first, then coming soon (any status but exactly "online").
        QVERIFY(rig.item("row_de")->y() < rig.item("row_au")->y());
        QCOMPARE(rig.item("row_br")->opacity(), 0.5);
        QVERIFY(!rig.item("row_br")->isEnabled());
        QCOMPARE(rig.item("row_us")->opacity(), 1.0);

        rig.model->setState(State::connected);
        rig.click("row_us"); // locked: nothing happens, nothing dims
        QVERIFY(!rig.model->selected());
        QCOMPARE(rig.item("row_us")->opacity(), 1.0);
        QCOMPARE(dismissed.count(), 0);

        rig.model->setState(State::failed);
        rig.click("row_us");
        QCOMPARE(rig.model->selected()->id, QStringLiteral("us"));
        QCOMPARE(dismissed.count(), 1);
        QVERIFY(rig.item("row_us")->property("selected").toBool());

        rig.model->setSelected(regions[1]); // an offline choice keeps its checkmark, dimmed
        QVERIFY(rig.item("row_au")->property("selected").toBool());
        QCOMPARE(rig.item("row_au")->opacity(), 0.5);
    }

    void trayIconFollowsState()
    {
        for (State state : {State::disconnected, State::connecting, State::provisioning, State::failed})
            QCOMPARE(CorvantaApp::trayIconName(state), QStringLiteral("shield"));
        QCOMPARE(CorvantaApp::trayIconName(State::connected), QStringLiteral("shield.lefthalf.filled"));
    }
};

QTEST_MAIN(TestViews)
#include "tst_views.moc"

// The popover, the main panel and the locations window, on a real model put in each state.

#include "AppModel.h"
#include "FakeService.h"
#include "IconProvider.h"
#include "TestSupport.h"

#include <QFontMetricsF>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(CorvantaPlugin)

using namespace corvanta;
using namespace corvanta::test;
using namespace Qt::StringLiterals;
using State = AppModel::ConnState;

namespace {

const QList<Region> regions {{"us", "United States", "New York", "🇺🇸", "online"},
    {"au", "Australia", "Sydney", "🇦🇺", "soon"}, {"de", "Germany", "Frankfurt", "🇩🇪", "online"},
    {"br", "Brazil", "São Paulo", "🇧🇷", "Online"}};

QByteArray account(int cents, const char *subscribed = "false") // as the service sends it
{
    return R"({"pricePerHourCents":3,"subMonthlyCents":9,"balanceCents":)" + QByteArray::number(cents)
        + R"(,"subscriptionActive":)" + subscribed + "}";
}

struct Rig
{
    FakeService service;
    ModelMaker maker;
    std::unique_ptr<AppModel> model = maker.make(service.base(), {}, {}, [](const QUrl &) { return true; });
    QQuickView view;

    explicit Rig(const char *component)
    {
        model->setRegions(regions);
        model->setToken("t");
        view.engine()->addImportPath("qrc:/");
        view.engine()->addImageProvider("symbol", new IconProvider);
        view.setInitialProperties({{"model", QVariant::fromValue<QObject *>(model.get())}});
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.resize(360, 900);
        view.setSource(QUrl(u"qrc:/Corvanta/%1.qml"_s.arg(QLatin1String(component))));
        view.show();
    }

    // Searches the visual tree: list delegates are not object children of the view.
    static QQuickItem *find(QQuickItem *at, const QString &name)
    {
        QQuickItem *found = at->objectName() == name ? at : nullptr;
        for (int i = 0; !found && i < at->childItems().size(); ++i)
            found = find(at->childItems()[i], name);
        return found;
    }
    QQuickItem *item(const QString &name) const { return find(view.rootObject(), name); }
    QString text(const char *name, const char *p = "text") const { return item(name)->property(p).toString(); }
    void click(const QString &name)
    {
        QQuickItem *target = item(name);
        QVERIFY2(target, qPrintable(name));
        QTest::mouseClick(
            &view, Qt::LeftButton, {}, target->mapToScene(target->boundingRect().center()).toPoint());
    }
    void appeared() { QMetaObject::invokeMethod(view.rootObject(), "appeared"); }
};

} // namespace

class TestViews : public QObject
{
    Q_OBJECT

private slots:
    void mainPanelFollowsStateAndAccount()
    {
        Rig rig("MainPanel");
        // What the panel says, and whether the button and the rows take clicks.
        const auto shown = [&] {
            const bool on = rig.item("connectButton")->isEnabled(), rowsOn = rig.item("row_us")->isEnabled();
            return QStringList {rig.text("statusTitle"), rig.text("statusSubtitle"),
                rig.text("connectButton", "title"), on ? "on" : "off", rowsOn ? "rows on" : ""}.join(" | ");
        };
        QTRY_VERIFY(rig.item("row_de") && !rig.item("row_au") && !rig.item("row_br")); // the online ones only
        QCOMPARE(shown(), u"Not connected | Choose a location and connect | Connect | off | rows on"_s);

        rig.click("row_de");
        QCOMPARE(rig.model->selected()->id, u"de"_s);
        QCOMPARE(DefaultsStore(rig.maker.settingsFile()).value(AppModel::regionKey).value_or(""), u"de"_s);
        QCOMPARE(shown(), u"Not connected | Choose a location and connect | Connect | on | rows on"_s);
        rig.model->setState(State::connecting);
        QCOMPARE(shown(), u"Connecting… | Bringing up the encrypted tunnel | Connecting… | off | "_s);
        rig.model->setState(State::provisioning);
        QCOMPARE(shown(), u"Provisioning… | Spinning up your server… | Provisioning… | off | "_s);
        rig.model->setState(State::connected);
        rig.model->setExitIP("198.51.100.7");
        QCOMPARE(shown(), u"Protected | Exiting via 🇩🇪 Frankfurt · 198.51.100.7 | Disconnect | on | "_s);
        rig.model->setSelected(std::nullopt); // no place known: only the address
        QCOMPARE(shown(), u"Protected | Exiting via  · 198.51.100.7 | Disconnect | off | "_s);
        rig.model->setErrorMsg("provisioning failed", "connection"); // shown as soon as it is set
        QCOMPARE(rig.text("errorLine"), u"provisioning failed"_s);
        rig.model->setSelected(regions[2]);
        rig.model->setState(State::failed);
        QCOMPARE(shown(), u"Not connected | Choose a location and connect | Connect | on | rows on"_s);

        QVERIFY(!rig.item("billingRow")->isVisible());
        rig.model->setAccount(decodeReply<BillingAccount>(account(-250)));
        QCOMPARE(rig.text("balance"), u"Balance $-2.50"_s);
        QVERIFY(rig.item("billingRow")->isVisible() && rig.item("subscribe")->isVisible());
        rig.model->setAccount(decodeReply<BillingAccount>(account(0, "true")));
        QCOMPARE(rig.text("balance"), u"Subscription active"_s);
        QVERIFY(!rig.item("subscribe")->isVisible());
        // A failed checkout says so under the billing row, not by the connect button.
        rig.service.enqueue(402, R"({"message":"card declined"})");
        rig.click("topUp");
        QTRY_VERIFY(rig.item("billingError")->isVisible());
        QCOMPARE(rig.service.requests()[0].body, QByteArray(R"({"amountCents":1000})"));
        QCOMPARE(rig.text("billingError"), u"card declined"_s);
        QVERIFY(!rig.item("errorLine")->isVisible());
        rig.click("logOut");
        QVERIFY(!rig.model->isAuthed());
    }

    void popoverLoadsOnAppearance()
    {
        Rig rig("PopoverView");

        // Signed in with no balance yet (a restored session): the account loads, once.
        rig.service.enqueue(200, account(1250));
        rig.appeared();
        QTRY_VERIFY(rig.model->account());
        rig.appeared();
        QTest::qWait(50);
        QCOMPARE(rig.service.requests().size(), 1);
        QCOMPARE(rig.service.requests()[0].target, QByteArray("/api/billing/account"));

        // No list: it loads; when that fails the list says so and offers to try again.
        rig.model->setRegions({});
        rig.service.enqueue(503, "");
        rig.appeared();
        QTRY_COMPARE(rig.text("listStatus"), u"Could not load the locations."_s);
        QVERIFY(rig.item("retry")->isVisible() && !rig.item("errorLine")->isVisible());
        rig.service.enqueue(200, R"([{"id":"x","country":"C","city":"c","flag":"F","status":"online"}])");
        rig.click("retry");
        QTRY_COMPARE(rig.model->regions().size(), 1);

        // After paying, the balance is read again when the popover comes back.
        rig.service.enqueue(200, R"({"invoiceId":"i","checkoutUrl":"https:\/\/pay.example\/1"})");
        QCoro::waitFor(rig.model->topUp(1000));
        rig.service.enqueue(200, account(2250));
        rig.appeared();
        QTRY_COMPARE(rig.model->account()->balanceCents, 2250);

        // After a sign-out the login panel comes back, without the old error.
        rig.model->setErrorMsg("provisioning failed", "connection");
        rig.model->logout();
        QTRY_VERIFY(rig.item("loginPanel"));
        QVERIFY(!rig.item("passwordError")->isVisible());
    }

    void locationsWindowPicksAndShowsPlainText()
    {
        Rig rig("LocationsWindow");
        QSignalSpy dismissed(rig.view.rootObject(), SIGNAL(dismiss()));
        QTRY_VERIFY(rig.item("row_br"));
        // Available first, then coming soon (any status but exactly "online").
        QVERIFY(rig.item("row_de")->y() < rig.item("row_au")->y());
        QVERIFY(!rig.item("row_br")->isEnabled());

        rig.model->setState(State::connected);
        rig.click("row_us"); // locked: nothing happens
        QVERIFY(!rig.model->selected());
        rig.model->setState(State::failed);
        rig.click("row_us");
        QCOMPARE(rig.model->selected()->id, u"us"_s);
        QCOMPARE(dismissed.count(), 1);
        rig.model->setSelected(regions[2]);

        rig.model->logout(); // signed out, the list is only to look at
        rig.click("row_us");
        QCOMPARE(rig.model->selected()->id, u"de"_s);

        // Text from the service is shown as it came: no markup, nothing fetched.
        const QString probe = u"<img src=\"%1/probe.png\">"_s.arg(rig.service.base());
        rig.model->setRegions({{"evil", "<i>x</i>", probe, probe, "online"}});
        QTRY_VERIFY(rig.item("row_evil"));
        QTest::qWait(200);
        QVERIFY(rig.service.requests().isEmpty());
        const QQuickItem *country = Rig::find(rig.item("row_evil"), "country");
        const QFontMetricsF metrics(country->property("font").value<QFont>());
        QVERIFY(country->property("contentWidth").toReal() > metrics.horizontalAdvance("<i>"));
    }
};

QTEST_MAIN(TestViews)
#include "tst_views.moc"

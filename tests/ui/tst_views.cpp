// The popover, the main panel and the locations window, loaded against a real
// model put in each state.

#include "AppModel.h"
#include "FakeService.h"
#include "IconProvider.h"
#include "TestSupport.h"

#include <QAccessible>
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
using State = AppModel::ConnState;

namespace {

const QList<Region> regions {{"us", "United States", "New York", "🇺🇸", "online"},
    {"au", "Australia", "Sydney", "🇦🇺", "soon"}, {"de", "Germany", "Frankfurt", "🇩🇪", "online"},
    {"br", "Brazil", "São Paulo", "🇧🇷", "Online"}};

struct Rig
{
    FakeService service;
    ModelMaker maker;
    std::unique_ptr<AppModel> model = maker.make(service.base(), {}, {}, [](const QUrl &) { return true; });
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

// What assistive tools see: each accessible object's name, role and checked state.
using Node = std::tuple<QString, QAccessible::Role, bool>;
void readTree(QAccessibleInterface *at, QList<Node> &out)
{
    if (!at || at->state().invisible)
        return;
    out.append({at->text(QAccessible::Name), at->role(), bool(at->state().checked)});
    for (int i = 0; i < at->childCount(); ++i)
        readTree(at->child(i), out);
}
QList<Node> accessibleTree(QQuickView &view)
{
    QList<Node> out;
    readTree(QAccessible::queryAccessibleInterface(view.rootObject()), out);
    return out;
}

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

        // An error shows as soon as it is set.
        rig.model->setErrorMsg("provisioning failed", "connection");
        QVERIFY(rig.item("errorLine")->isVisible());
        rig.model->setState(State::failed);
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
        // A failed checkout says so under the billing row, not by the connect button.
        rig.service.enqueue(402, R"({"message":"card declined"})");
        rig.click("topUp");
        QTRY_VERIFY(rig.item("billingError")->isVisible());
        QCOMPARE(rig.text("billingError"), QStringLiteral("card declined"));
        QVERIFY(!rig.item("errorLine")->isVisible());

        QCOMPARE(rig.text("footerEmail"), QStringLiteral("ann@example.org"));
        rig.click("logOut");
        QVERIFY(!rig.model->isAuthed());
    }

    void popoverSwitchesPanelsAndLoadsOnAppearance()
    {
        Rig rig("PopoverView", false);
        QVERIFY(rig.item("loginPanel"));
        rig.view.requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(&rig.view));
        QCOMPARE(rig.view.activeFocusItem(), rig.item("email")); // typing starts at once
        rig.model->setToken("t");
        QTRY_VERIFY(rig.item("mainPanel"));
        QTRY_VERIFY(!rig.item("loginPanel"));

        // Regions loaded, signed in with no balance yet (a restored session): the account loads.
        rig.service.enqueue(200, R"({"balanceCents":1250,"subscriptionActive":false,"pricePerHourCents":3,"subMonthlyCents":999})");
        QMetaObject::invokeMethod(rig.view.rootObject(), "appeared");
        QTRY_VERIFY(rig.model->account());
        QMetaObject::invokeMethod(rig.view.rootObject(), "appeared"); // nothing new to load
        QTest::qWait(50);
        QCOMPARE(rig.service.requests().size(), 1);
        QCOMPARE(rig.service.requests()[0].target, QByteArray("/api/billing/account"));

        // No list: it loads; when that fails the list says so and offers to try again.
        rig.model->setRegions({});
        rig.service.enqueue(503, "");
        QMetaObject::invokeMethod(rig.view.rootObject(), "appeared");
        QTRY_COMPARE(rig.text("listStatus"), QStringLiteral("Could not load the locations."));
        QVERIFY(rig.item("retry")->isVisible() && !rig.item("errorLine")->isVisible());
        rig.service.enqueue(200, R"([{"id":"x","country":"C","city":"c","flag":"F","status":"online"}])");
        rig.click("retry");
        QTRY_COMPARE(rig.model->regions().size(), 1);
        QCOMPARE(rig.service.requests().last().target, QByteArray("/api/regions"));

        // After paying, the balance is read again when the popover comes back.
        rig.service.enqueue(200, R"({"invoiceId":"i","checkoutUrl":"https:\/\/pay.example\/1"})");
        QCoro::waitFor(rig.model->topUp(1000));
        rig.service.enqueue(200, R"({"balanceCents":2250,"subscriptionActive":false,"pricePerHourCents":3,"subMonthlyCents":999})");
        QMetaObject::invokeMethod(rig.view.rootObject(), "appeared");
        QTRY_COMPARE(rig.model->account()->balanceCents, 2250);

        // After a sign-out the login panel starts afresh, without the old error.
        rig.model->setErrorMsg("provisioning failed", "connection");
        rig.model->logout();
        QTRY_VERIFY(rig.item("loginPanel"));
        QCOMPARE(rig.item("loginPanel")->property("ssoMode").toBool(), false);
        QCOMPARE(rig.text("email"), QString());
        QVERIFY(!rig.item("passwordError")->isVisible());
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

        // The keyboard: arrows move through the list, Return chooses, Escape closes.
        rig.view.requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(&rig.view));
        rig.model->setSelected(regions[0]);
        QTest::keyClick(&rig.view, Qt::Key_Down);
        QTest::keyClick(&rig.view, Qt::Key_Return);
        QCOMPARE(rig.model->selected()->id, QStringLiteral("de"));
        QCOMPARE(dismissed.count(), 2);
        QTest::keyClick(&rig.view, Qt::Key_Escape);
        QCOMPARE(dismissed.count(), 3);

        rig.model->logout(); // signed out, the list is only to look at
        rig.click("row_us");
        QCOMPARE(rig.model->selected()->id, QStringLiteral("de"));
    }

    // A screen reader hears every text, knows what each field is for and which
    // choice is made, and the switch and the button that read "Log in" differ.
    void assistiveToolsReadEverything()
    {
        Rig rig("PopoverView", false);
        rig.model->setErrorMsg("invalid email or password");
        const QList<Node> login = accessibleTree(rig.view);
        for (const Node &node : {Node {"corvanta", QAccessible::Heading, false},
                 Node {"E-mail", QAccessible::EditableText, false},
                 Node {"Password", QAccessible::EditableText, false},
                 Node {"Log in mode", QAccessible::PageTab, true}, Node {"Sign up mode", QAccessible::PageTab, false},
                 Node {"Log in", QAccessible::Button, false},
                 Node {"invalid email or password", QAccessible::AlertMessage, false}})
            QVERIFY2(login.contains(node), qPrintable(std::get<0>(node)));

        rig.model->setToken("t");
        rig.model->setEmail("ann@example.org");
        rig.model->setAccount(decodeReply<BillingAccount>(R"({"balanceCents":1250,"subscriptionActive":false,"pricePerHourCents":3,"subMonthlyCents":999})"));
        rig.model->setSelected(regions[2]);
        rig.model->setState(State::connected);
        QTRY_VERIFY(rig.item("row_de"));
        const QList<Node> main = accessibleTree(rig.view);
        for (const Node &node : {Node {"Protected", QAccessible::StaticText, false},
                 Node {"Exiting via 🇩🇪 Frankfurt", QAccessible::StaticText, false},
                 Node {"Balance $12.50", QAccessible::StaticText, false},
                 Node {"ann@example.org", QAccessible::StaticText, false},
                 Node {"Germany, Frankfurt", QAccessible::Button, true},
                 Node {"United States, New York", QAccessible::Button, false}})
            QVERIFY2(main.contains(node), qPrintable(std::get<0>(node)));
    }

    // Text from the service is shown as it came: no markup, nothing fetched.
    void serviceTextStaysPlain()
    {
        Rig rig("LocationsWindow");
        const QString probe = rig.service.base() + "/probe.png";
        rig.model->setRegions({{"evil", "<i>x</i>", QStringLiteral("<img src=\"%1\">").arg(probe),
            QStringLiteral("<img src=\"%1\">").arg(probe), "online"}});
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

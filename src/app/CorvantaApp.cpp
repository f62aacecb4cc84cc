#include "CorvantaApp.h"

#include "IconProvider.h"
#include "Theme.h"

#include <QCursor>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMenu>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>
#include <QSystemTrayIcon>

namespace corvanta {

AppModel::Setup CorvantaApp::defaultSetup()
{
    AppModel::Setup setup;
    setup.openUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    return setup;
}

CorvantaApp::CorvantaApp(SingleInstance &instance, const AppModel::Setup &setup, QObject *parent)
    : QObject(parent)
    , m_model(setup)
{
    m_engine.addImportPath(QStringLiteral("qrc:/"));
    m_engine.addImageProvider(QStringLiteral("symbol"), new IconProvider);

    const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
    m_popover.reset(makeView(QStringLiteral("PopoverView")));
    m_popover->setResizeMode(QQuickView::SizeViewToRootObject);
    if (tray) {
        m_popover->setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        // A popover goes away when the user looks elsewhere.
        QObject::connect(m_popover.get(), &QWindow::activeChanged, this, [this] {
            if (!m_popover->isActive())
                m_popover->hide();
        });
    } else {
        m_popover->setTitle(QStringLiteral("corvanta"));
    }
    QObject::connect(m_popover->rootObject(), SIGNAL(openLocations()), this, SLOT(openLocations()));

    if (tray) {
        m_menu = std::make_unique<QMenu>();
        m_menu->addAction(QStringLiteral("Open corvanta"), this, &CorvantaApp::showPopover);
        m_menu->addAction(QStringLiteral("Locations…"), this, &CorvantaApp::openLocations);
        m_menu->addAction(QStringLiteral("Quit"), qApp, &QCoreApplication::quit);
        m_tray = new QSystemTrayIcon(this);
        m_tray->setContextMenu(m_menu.get());
        m_tray->setToolTip(QStringLiteral("corvanta"));
        QObject::connect(
            m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    togglePopover();
            });
        QObject::connect(&m_model, &AppModel::stateChanged, this, &CorvantaApp::updateTrayIcon);
        updateTrayIcon();
        m_tray->show();
    } else {
        showPopover();
    }

    QObject::connect(&instance, &SingleInstance::messageReceived, this, [this](const QByteArray &message) {
        if (message.isEmpty())
            showPopover(); // started again: show the running one
        else
            m_model.handleCallback(QUrl(QString::fromUtf8(message)));
    });
}

CorvantaApp::~CorvantaApp() = default;

QString CorvantaApp::trayIconName(AppModel::ConnState state)
{
    return state == AppModel::ConnState::connected ? QStringLiteral("shield.lefthalf.filled")
                                                   : QStringLiteral("shield");
}

QQuickView *CorvantaApp::makeView(const QString &component)
{
    // Our windows are small and never animate, so drawing them on the GUI thread
    // costs nothing noticeable, while a render thread per window cost about 14 MiB
    // and left a little memory behind each time the locations window was closed.
    // Qt reads the choice when it makes the first window; the programs we start
    // do not inherit it, and whoever sets QSG_RENDER_LOOP keeps their own.
    const bool choose = !qEnvironmentVariableIsSet("QSG_RENDER_LOOP");
    if (choose)
        qputenv("QSG_RENDER_LOOP", "basic");
    auto *view = new QQuickView(&m_engine, nullptr);
    if (choose)
        qunsetenv("QSG_RENDER_LOOP");
    view->setColor(Theme().bg);
    view->setInitialProperties({{QStringLiteral("model"), QVariant::fromValue<QObject *>(&m_model)}});
    view->setSource(QUrl(QStringLiteral("qrc:/Corvanta/%1.qml").arg(component)));
    return view;
}

void CorvantaApp::updateTrayIcon()
{
    // The accent blue reads on light and dark panels alike.
    m_tray->setIcon(symbolIcon(trayIconName(m_model.state()), Theme().accent));
}

void CorvantaApp::placePopover()
{
    if (!m_tray)
        return;
    const QRect icon = m_tray->geometry();
    const QPoint anchor = icon.isValid() ? icon.center() : QCursor::pos();
    const QScreen *screen = QGuiApplication::screenAt(anchor);
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
    const QSize size = m_popover->size();
    // Below the icon when the panel is at the top, above it otherwise.
    int y = anchor.y() < area.center().y() ? (icon.isValid() ? icon.bottom() : anchor.y()) + 4
                                           : (icon.isValid() ? icon.top() : anchor.y()) - size.height() - 4;
    int x = anchor.x() - size.width() / 2;
    x = std::clamp(x, area.left() + 4, std::max(area.left() + 4, area.right() - size.width() - 4));
    y = std::clamp(y, area.top() + 4, std::max(area.top() + 4, area.bottom() - size.height() - 4));
    m_popover->setPosition(x, y);
}

void CorvantaApp::showPopover()
{
    placePopover();
    m_popover->show();
    m_popover->raise();
    m_popover->requestActivate();
    QMetaObject::invokeMethod(m_popover->rootObject(), "appeared");
}

void CorvantaApp::togglePopover()
{
    if (m_popover->isVisible())
        m_popover->hide();
    else
        showPopover();
}

void CorvantaApp::openLocations()
{
    if (!m_locations) {
        m_locations.reset(makeView(QStringLiteral("LocationsWindow")));
        m_locations->setTitle(QStringLiteral("corvanta — Locations"));
        m_locations->setResizeMode(QQuickView::SizeRootObjectToView);
        m_locations->setMinimumSize(QSize(360, 460));
        m_locations->resize(360, 480);
        QObject::connect(m_locations->rootObject(), SIGNAL(dismiss()), m_locations.get(), SLOT(close()));
    }
    m_locations->show();
    m_locations->raise();
    m_locations->requestActivate();
}

} // namespace corvanta

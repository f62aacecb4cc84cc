#include "CorvantaApp.h"

#include "Autostart.h"
#include "IconProvider.h"
#include "Log.h"
#include "RemoteCommands.h"
#include "Theme.h"

#include <QClipboard>
#include <QCursor>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMetaEnum>
#include <QMouseEvent>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolTip>

#include <utility>

namespace corvanta {

AppModel::Setup CorvantaApp::defaultSetup()
{
    AppModel::Setup setup;
    setup.openUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    return setup;
}

CorvantaApp::CorvantaApp(SingleInstance &instance, const AppModel::Setup &setup, bool hidden, QObject *parent)
    : QObject(parent)
    , m_model(setup)
    , m_commands(new RemoteCommands(
          m_model, [this] { return facts(); }, this))
    , m_shownState(m_model.state())
    , m_loggedAuthed(m_model.isAuthed())
{
    m_engine.addImportPath(QStringLiteral("qrc:/"));
    m_engine.addImageProvider(QStringLiteral("symbol"), new IconProvider);
    // The panels' Quit buttons.
    QObject::connect(&m_engine, &QQmlEngine::quit, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

    m_popover.reset(makeView(QStringLiteral("PopoverView")));
    m_popover->setResizeMode(QQuickView::SizeViewToRootObject);
    m_popover->setTitle(QStringLiteral("corvanta"));
    QObject::connect(m_popover->rootObject(), SIGNAL(openLocations()), this, SLOT(openLocations()));
    QObject::connect(m_popover->rootObject(), SIGNAL(dismiss()), this, SLOT(dismissPopover()));
    QObject::connect(m_popover->rootObject(), SIGNAL(openMenu()), this, SLOT(popUpMenu()));
    // A popover goes away when the user looks elsewhere.
    QObject::connect(m_popover.get(), &QWindow::activeChanged, this, [this] {
        if (m_tray && !m_popover->isActive())
            m_popover->hide();
    });
    // It stays at its icon when it grows or shrinks (login and SSO forms differ).
    QObject::connect(m_popover.get(), &QWindow::heightChanged, this, [this] {
        if (m_tray && m_popover->isVisible())
            placePopover();
    });
    // Without a tray the popover is the application's window: closing it quits.
    m_popover->installEventFilter(this);

    QObject::connect(&m_model, &AppModel::stateChanged, this, &CorvantaApp::stateChanged);
    QObject::connect(&m_model, &AppModel::selectedChanged, this, &CorvantaApp::updateTray);
    QObject::connect(&m_model, &AppModel::tokenChanged, this, &CorvantaApp::updateTray);
    QObject::connect(&m_model, &AppModel::tokenChanged, this, &CorvantaApp::logSignIn);
    QObject::connect(&m_model, &AppModel::browserSignInWaitingChanged, this, [this] {
        qCDebug(lcSignIn) << (m_model.browserSignInWaiting() ? "a browser sign-in waits for its address"
                                                             : "no browser sign-in waits any more");
    });
    QObject::connect(&m_model, &AppModel::errorMsgChanged, this, [this] {
        if (m_model.errorSource() == QLatin1String("signIn"))
            qCDebug(lcSignIn) << "sign-in failed:" << m_model.errorMsg().value_or(QString());
    });
    QObject::connect(&m_model, &AppModel::busyChanged, this, &CorvantaApp::updateTray);
    QObject::connect(&m_model, &AppModel::connectCancellableChanged, this, &CorvantaApp::updateTray);
    QObject::connect(&m_model, &AppModel::connectionLost, this, [this] {
        qCWarning(lcConnection) << "the tunnel went away without a disconnect";
        notify(QStringLiteral("Connection lost"), m_model.errorMsg().value_or(QString()));
    });

    // The tray icon's menu: for panels that open it on any click, and for everyone
    // who wants to connect without opening the popover.
    m_menu = std::make_unique<QMenu>();
    m_statusLine = m_menu->addAction(QString());
    m_statusLine->setEnabled(false);
    m_connectAction = m_menu->addAction(QString(), this, [this] {
        if (m_model.connectCancellable())
            m_model.cancelConnect();
        else
            m_model.toggle();
    });
    m_menu->addSeparator();
    m_menu->addAction(QStringLiteral("Open corvanta"), this, &CorvantaApp::showPopover);
    m_menu->addAction(QStringLiteral("Locations…"), this, &CorvantaApp::openLocations);
    m_menu->addSeparator();
    const auto showAutostart = [this] {
        m_autostartAction->setChecked(autostart::isEnabled(QCoreApplication::applicationFilePath()));
    };
    m_autostartAction
        = m_menu->addAction(QStringLiteral("Start at login"), this, [this, showAutostart](bool on) {
              const QString error = autostart::setEnabled(on, QCoreApplication::applicationFilePath());
              if (!error.isEmpty()) {
                  qCWarning(lcTray) << "start at login:" << error;
                  tell(QStringLiteral("Start at login"), error);
              }
              showAutostart();
          });
    m_autostartAction->setCheckable(true);
    showAutostart();
    // The entry may have been changed meanwhile (the desktop's own settings).
    QObject::connect(m_menu.get(), &QMenu::aboutToShow, this, showAutostart);
    m_menu->addAction(QStringLiteral("Copy diagnostics"), this, &CorvantaApp::copyDiagnostics);
    m_menu->addSeparator();
    m_menu->addAction(QStringLiteral("Quit"), qApp, &QCoreApplication::quit);
    updateTray();

    if (!takeUpTray()) {
        if (hidden)
            qCDebug(lcTray) << "no tray: nothing shows until one appears or corvanta runs again";
        else
            qCDebug(lcTray) << "no tray: the window stands in";
        if (!hidden)
            showPopover();
        // Panels often start after the applications of a session: look again for
        // a while, less and less often.
        m_trayCheck = new QTimer(this);
        m_trayCheck->setSingleShot(true);
        m_trayCheck->setInterval(1000);
        QObject::connect(m_trayCheck, &QTimer::timeout, this, [this] {
            if (takeUpTray())
                return;
            if (m_trayCheck->interval() >= 64'000) {
                qCDebug(lcTray) << "no tray appeared: stopped looking";
                return;
            }
            m_trayCheck->setInterval(m_trayCheck->interval() * 2);
            m_trayCheck->start();
        });
        m_trayCheck->start();
    }

    QObject::connect(&instance, &SingleInstance::messageReceived, this, [this](const QByteArray &message) {
        if (message.isEmpty()) {
            showPopover(); // started again: show the running one
        } else {
            const bool taken = m_model.handleCallback(QUrl(QString::fromUtf8(message)));
            qCDebug(lcSignIn) << (taken ? "took the sign-in address"
                                        : "ignored an address: no sign-in waits for it");
        }
    });
    QObject::connect(&instance, &SingleInstance::requestReceived, m_commands, &RemoteCommands::handle);
}

CorvantaApp::~CorvantaApp() = default;

bool CorvantaApp::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_popover.get())
        return QObject::eventFilter(watched, event);
    if (event->type() == QEvent::Close && !m_tray)
        QCoreApplication::quit();
    // Right click, the menu key or Shift+F10 open the tray's menu here too: without
    // a tray it is the only way to it.
    const auto *key = event->type() == QEvent::KeyPress ? static_cast<QKeyEvent *>(event) : nullptr;
    const auto *mouse
        = event->type() == QEvent::MouseButtonPress ? static_cast<QMouseEvent *>(event) : nullptr;
    if ((mouse && mouse->button() == Qt::RightButton)
        || (key
            && (key->key() == Qt::Key_Menu
                || (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier)))) {
        popUpMenu();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void CorvantaApp::popUpMenu()
{
    const QRect window = m_popover->geometry();
    const QPoint pointer = QCursor::pos();
    m_menu->popup(window.contains(pointer) ? pointer : window.center());
}

diagnostics::ClientFacts CorvantaApp::facts() const
{
    return {m_model.stateName(), m_model.isAuthed(), QSystemTrayIcon::isSystemTrayAvailable(),
        m_tray != nullptr, m_popover->isVisible()};
}

void CorvantaApp::copyDiagnostics()
{
    QGuiApplication::clipboard()->setText(diagnostics::text(diagnostics::report(facts())));
    const QString text = QStringLiteral("Paste them into your message to support; tokens, codes and e-mail "
                                        "addresses are taken out.");
    tell(QStringLiteral("Diagnostics copied"), text);
}

void CorvantaApp::tell(const QString &title, const QString &text)
{
    if (m_tray)
        notify(title, text);
    else
        QToolTip::showText(QCursor::pos(), title + QStringLiteral(". ") + text);
}

void CorvantaApp::logSignIn()
{
    if (std::exchange(m_loggedAuthed, m_model.isAuthed()) != m_model.isAuthed())
        qCDebug(lcSignIn) << (m_model.isAuthed() ? "signed in" : "signed out");
}

bool CorvantaApp::takeUpTray()
{
    if (m_tray || !QSystemTrayIcon::isSystemTrayAvailable())
        return m_tray != nullptr;
    // The window gives way to the icon; the user opens the popover from there
    // (the icon's place is not known until the panel has taken it in).
    m_popover->hide();
    m_popover->setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);

    qCDebug(lcTray) << "a tray is there: the icon takes the window's place";
    m_tray = new QSystemTrayIcon(this);
    m_tray->setContextMenu(m_menu.get());
    QObject::connect(
        m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger)
                togglePopover();
        });
    updateTray();
    m_tray->show();
    return true;
}

QString CorvantaApp::trayIconName(AppModel::ConnState state)
{
    switch (state) {
    case AppModel::ConnState::connected:
        return QStringLiteral("shield.lefthalf.filled");
    case AppModel::ConnState::connecting:
    case AppModel::ConnState::provisioning:
        return QStringLiteral("shield.dotted");
    case AppModel::ConnState::failed:
        return QStringLiteral("exclamationmark.shield");
    case AppModel::ConnState::disconnected:
        break;
    }
    return QStringLiteral("shield");
}

QString CorvantaApp::statusText() const
{
    switch (m_model.state()) {
    case AppModel::ConnState::connected:
        return m_model.selected() ? QStringLiteral("Protected via ") + m_model.selected()->city
                                  : QStringLiteral("Protected");
    case AppModel::ConnState::connecting:
        return QStringLiteral("Connecting…");
    case AppModel::ConnState::provisioning:
        return QStringLiteral("Provisioning…");
    case AppModel::ConnState::failed:
        return QStringLiteral("Could not connect");
    case AppModel::ConnState::disconnected:
        break;
    }
    return QStringLiteral("Not connected");
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

void CorvantaApp::updateTray()
{
    const AppModel::ConnState state = m_model.state();
    if (m_tray) {
        const Theme theme;
        // The accent blue reads on light and dark panels alike.
        m_tray->setIcon(symbolIcon(
            trayIconName(state), state == AppModel::ConnState::failed ? theme.danger : theme.accent));
        m_tray->setToolTip(QStringLiteral("corvanta — ") + statusText());
    }
    m_statusLine->setText(statusText());
    const bool connected = state == AppModel::ConnState::connected;
    const bool working
        = state == AppModel::ConnState::connecting || state == AppModel::ConnState::provisioning;
    if (m_model.connectCancellable()) {
        m_connectAction->setText(QStringLiteral("Cancel connecting"));
        m_connectAction->setEnabled(true);
        return;
    }
    m_connectAction->setText(connected ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
    m_connectAction->setEnabled(m_model.isAuthed() && m_model.selected() && !working && !m_model.busy());
}

void CorvantaApp::stateChanged()
{
    updateTray();
    const AppModel::ConnState before = std::exchange(m_shownState, m_model.state());
    if (m_shownState == before)
        return; // told once per change
    qCDebug(lcConnection).noquote() << "state"
                                    << QMetaEnum::fromType<AppModel::ConnState>().valueToKey(int(before))
                                    << "->" << m_model.stateName();
    if (m_shownState == AppModel::ConnState::failed)
        qCWarning(lcConnection) << "could not connect:" << m_model.errorMsg().value_or(QString());
    const bool wasWorking
        = before == AppModel::ConnState::connecting || before == AppModel::ConnState::provisioning;
    if (m_shownState == AppModel::ConnState::connected && wasWorking)
        notify(QStringLiteral("Connected"), statusText());
    else if (m_shownState == AppModel::ConnState::failed && !m_popover->isVisible())
        notify(QStringLiteral("Could not connect"), m_model.errorMsg().value_or(QString()));
}

void CorvantaApp::notify(const QString &title, const QString &text)
{
    // The tray speaks the desktop's notification service where there is one.
    if (m_tray)
        m_tray->showMessage(title, text, m_tray->icon());
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

void CorvantaApp::dismissPopover()
{
    if (m_tray)
        m_popover->hide();
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
    // Never an empty window: signed out or not, the list is loaded when missing.
    if (m_model.regionCount() == 0)
        m_model.startLoadRegions();
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

#pragma once

#include "AppModel.h"
#include "Diagnostics.h"
#include "SingleInstance.h"

#include <QObject>
#include <QPointer>
#include <QQmlEngine>

#include <memory>

class QQuickView;
class QSystemTrayIcon;
class QMenu;
class QAction;
class QTimer;

namespace corvanta {

// The application: the one model, the tray icon with its popover, and the
// locations window. Where no tray exists, the popover is an ordinary window, and
// closing it quits; a tray that shows up later is taken up then.
class RemoteCommands;

class CorvantaApp : public QObject
{
    Q_OBJECT

public:
    // The model's setup: the user's defaults unless a benchmark or test says otherwise.
    static AppModel::Setup defaultSetup();

    // `hidden`: nothing is shown at the start (started at login); without a tray,
    // the window waits until one appears or corvanta is started again.
    explicit CorvantaApp(SingleInstance &instance, const AppModel::Setup &setup = defaultSetup(),
        bool hidden = false, QObject *parent = nullptr);
    ~CorvantaApp() override;

    // The tray symbol for a connection state.
    static QString trayIconName(AppModel::ConnState state);
    // The state in a few words: "Protected via Frankfurt", "Not connected", ...
    QString statusText() const;

    AppModel &model() { return m_model; }
    QQuickView *popover() const { return m_popover.get(); }
    QQuickView *locations() const { return m_locations.get(); }
    QSystemTrayIcon *tray() const { return m_tray; }
    QMenu *trayMenu() const { return m_menu.get(); }
    // What the diagnostics report tells of the running client.
    diagnostics::ClientFacts facts() const;

public slots:
    void showPopover();
    void togglePopover();
    // Escape in the popover: it hides where it is a popover.
    void dismissPopover();
    void openLocations();
    // Copies the diagnostics report to the clipboard and says so.
    void copyDiagnostics();
    // Pops up the tray's menu where the pointer is (the window's own way to it).
    void popUpMenu();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QQuickView *makeView(const QString &component);
    void placePopover();
    // Makes the tray icon and turns the popover into one; false without a tray.
    bool takeUpTray();
    void updateTray();
    void stateChanged();
    void notify(const QString &title, const QString &text);
    // What the user asked for from the menu: a notification, or without a tray a tooltip.
    void tell(const QString &title, const QString &text);
    void logSignIn();

    AppModel m_model;
    QQmlEngine m_engine;
    std::unique_ptr<QQuickView> m_popover;
    std::unique_ptr<QQuickView> m_locations; // made when first asked for
    std::unique_ptr<QMenu> m_menu;
    QAction *m_statusLine = nullptr;
    QAction *m_connectAction = nullptr;
    QAction *m_autostartAction = nullptr;
    RemoteCommands *m_commands;
    QSystemTrayIcon *m_tray = nullptr;
    QTimer *m_trayCheck = nullptr; // while there is no tray yet
    AppModel::ConnState m_shownState;
    bool m_loggedAuthed = false;
};

} // namespace corvanta

#pragma once

#include "AppModel.h"
#include "SingleInstance.h"

#include <QObject>
#include <QPointer>
#include <QQmlEngine>

#include <memory>

class QQuickView;
class QSystemTrayIcon;
class QMenu;

namespace corvanta {

// The application: the one model, the tray icon with its popover, and the
// locations window. Where no tray exists, the popover is an ordinary window.
class CorvantaApp : public QObject
{
    Q_OBJECT

public:
    // The model's setup: the user's defaults unless a benchmark or test says otherwise.
    static AppModel::Setup defaultSetup();

    explicit CorvantaApp(SingleInstance &instance, const AppModel::Setup &setup = defaultSetup(),
                         QObject *parent = nullptr);
    ~CorvantaApp() override;

    // The tray symbol for a connection state.
    static QString trayIconName(AppModel::ConnState state);

    AppModel &model() { return m_model; }
    QQuickView *popover() const { return m_popover.get(); }
    QQuickView *locations() const { return m_locations.get(); }

public slots:
    void showPopover();
    void togglePopover();
    void openLocations();

private:
    QQuickView *makeView(const QString &component);
    void placePopover();
    void updateTrayIcon();

    AppModel m_model;
    QQmlEngine m_engine;
    std::unique_ptr<QQuickView> m_popover;
    std::unique_ptr<QQuickView> m_locations; // made when first asked for
    std::unique_ptr<QMenu> m_menu;
    QSystemTrayIcon *m_tray = nullptr;
};

} // namespace corvanta

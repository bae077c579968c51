// StatusItemController: the tray icon and its menu over the AppModel.
#pragma once

#include <QColor>
#include <QObject>
#include <QString>
#include <QWidget>
#include <functional>
#include <optional>
#include <tuple>

class QAction;
class QLabel;
class QMenu;
class QProgressBar;
class QSystemTrayIcon;

namespace vantorelle {

class AppModel;

// The header of the menu: the mascot, the state, the time left in words and the time bar.
class MenuHeader : public QWidget
{
    Q_OBJECT
public:
    MenuHeader(const AppModel& model, std::function<double()> configuredDuration, QWidget* parent = nullptr);

    void update();
    QString titleText() const;
    QString detailText() const; // empty when the line is hidden
    // The bar's fraction in [0, 1], or nothing when there is no bar.
    std::optional<double> barFraction() const;

private:
    const AppModel& m_model;
    std::function<double()> m_configuredDuration;
    QLabel* m_mascot;
    QLabel* m_title;
    QLabel* m_detail;
    QProgressBar* m_bar;
};

// GUI thread only. Every `on...` action does nothing until the app sets it; the Settings item
// stays disabled until setSettingsAction() gives it something to do.
class StatusItemController : public QObject
{
    Q_OBJECT
public:
    // `configuredDuration` is the window length the app grants, for the header's time bar.
    StatusItemController(AppModel& model, std::function<double()> configuredDuration, QObject* parent = nullptr);
    ~StatusItemController() override;

    std::function<void()> onLock = [] {};
    std::function<void()> onUnlock = [] {};
    std::function<void()> onQuit = [] {};
    std::function<void()> onMenuOpen = [] {};
    std::function<void()> onInstallUpdate = [] {};
    void setSettingsAction(std::function<void()> action);

    // Shows the icon in the tray. False when the desktop has no tray; the menu still exists.
    bool show();

    QMenu* menu() const { return m_menu; }
    QSystemTrayIcon* trayIcon() const { return m_tray; }
    MenuHeader* header() const { return m_header; }
    QAction* updateItem() const { return m_updateItem; }
    QAction* lockItem() const { return m_lockItem; }
    QAction* unlockItem() const { return m_unlockItem; }
    QAction* settingsItem() const { return m_settingsItem; }
    QAction* quitItem() const { return m_quitItem; }
    // The countdown written into the icon and the tooltip ("1:30"), empty without a time limit.
    const QString& title() const { return m_title; }

private:
    void statusChanged();
    void updateReadyChanged();

    AppModel& m_model;
    std::function<void()> m_onSettings;
    QMenu* m_menu;
    QSystemTrayIcon* m_tray;
    MenuHeader* m_header;
    QAction* m_updateItem;
    QAction* m_lockItem;
    QAction* m_unlockItem;
    QAction* m_settingsItem;
    QAction* m_quitItem;
    QString m_title;
    // What the tray icon was last drawn from: mood, title and ink.
    std::optional<std::tuple<int, QString, QColor>> m_drawnIcon;
};

} // namespace vantorelle

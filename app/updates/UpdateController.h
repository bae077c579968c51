// UpdateController: owns the updater, answers as its delegate and publishes the update state into
// the app model; UpdateDriver answers every question the updater would put to the user;
// WhatsNewPresenter shows the new version's release notes once after the relaunch.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "sys/Clock.h"
#include "updates/UpdateInstallGate.h"
#include "updates/Updater.h"
#include "updates/WhatsNew.h"

class QNetworkAccessManager;

namespace vantorelle {

class AppModel;
class Defaults;
class DialogPanel;
class UpdateController;

class UpdateDriver final : public UpdaterUserDriver
{
public:
    explicit UpdateDriver(UpdateController& controller);

    void showUpdatePermissionRequest(std::function<void(bool, bool)> reply) override;
    void showUserInitiatedUpdateCheck() override;
    void showUpdateFound(const AppcastItem& item, UpdateState state, UpdateReply reply) override;
    void showUpdateReleaseNotesFailed(const QString& error) override;
    void showUpdateNotFound(const QString& error, std::function<void()> acknowledge) override;
    void showUpdaterError(const QString& error, std::function<void()> acknowledge) override;
    void showReadyToInstallAndRelaunch(UpdateReply reply) override;
    void showInstallingUpdate(bool applicationTerminated) override;
    void showUpdateInstalledAndRelaunched(std::function<void()> acknowledge) override;
    void dismissUpdateInstallation() override;

    bool userInitiated() const { return m_userInitiated; }

private:
    QPointer<UpdateController> m_controller;
    std::optional<AppcastItem> m_currentItem;
    bool m_userInitiated = false;
};

// The card with a version's release notes, in a dialog panel that waits while an unlock dialog is open.
class WhatsNewPresenter : public QObject
{
    Q_OBJECT
public:
    explicit WhatsNewPresenter(AppModel& model, QObject* parent = nullptr);
    ~WhatsNewPresenter() override;

    void present(WhatsNew record);
    void dismiss();

    QWidget* panel() const { return m_panel; }
    const std::optional<WhatsNew>& pending() const { return m_pending; }

private:
    void show();
    void dialogOpenChanged();

    AppModel& m_model;
    QPointer<QWidget> m_panel;
    std::optional<WhatsNew> m_pending;
};

class UpdateController : public QObject, public UpdaterDelegate
{
    Q_OBJECT
public:
    enum class ReadySource { none, driver, delegate };

    struct Setup
    {
        AppModel& model;
        Defaults& defaults;
        const Clock& clock;
        Updater::Config updater;
        QString displayVersion; // the running version as the settings show it
    };

    UpdateController(Setup setup, QObject* parent = nullptr);
    ~UpdateController() override;

    void start();
    void checkForUpdates();
    void installUpdate();
    void showWhatsNewIfDue();
    // The application quits: a waiting update goes in place for the next start.
    void applicationWillQuit();
    // Reads and removes the relaunch mark; true when it was set within the last ten minutes.
    static bool wasRelaunchedForUpdate(Defaults& defaults, Date now);

    // Why this copy does not update itself, when it does not.
    const std::optional<QString>& offReason() const { return m_offReason; }
    // This install belongs to the system's package manager, which brings the updates.
    bool updatesFromPackageManager() const { return m_fromPackageManager; }
    const QString& displayVersion() const { return m_displayVersion; }

    AppModel& model() { return m_model; }
    Updater& updater() { return *m_updater; }
    WhatsNewPresenter& whatsNew() { return *m_whatsNew; }
    ReadySource readySource() const { return m_readySource; }
    const UpdateInstallGate& gate() const { return m_gate; }

    // The driver's and the delegate's ways in.
    void becomeReady(const AppcastItem& item, std::function<void()> installNow, ReadySource source);
    void driverDismissed();
    bool isUpdateReady() const { return static_cast<bool>(m_installNow); }

    bool willInstallUpdateOnQuit(const AppcastItem& item, std::function<void()> installNow) override;
    void willRelaunchApplication() override;
    void didAbortWithError(int code, const QString& description) override;

signals:
    // A release-notes fetch ended, whatever its outcome.
    void releaseNotesSettled();

private:
    void install();
    void markRelaunch();
    void fetchReleaseNotes(const QUrl& link, WhatsNew record);
    void dialogOpenChanged();

    AppModel& m_model;
    Defaults& m_defaults;
    const Clock& m_clock;
    QString m_displayVersion;
    QString m_runningBuild;
    std::unique_ptr<UpdateDriver> m_driver;
    WhatsNewStore m_whatsNewStore;
    WhatsNewPresenter* m_whatsNew;
    Updater* m_updater;
    QNetworkAccessManager* m_network;
    std::function<void()> m_installNow;
    ReadySource m_readySource = ReadySource::none;
    UpdateInstallGate m_gate;
    std::optional<QString> m_offReason;
    bool m_fromPackageManager = false;
};

} // namespace vantorelle

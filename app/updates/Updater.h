// Updater: finds, downloads, checks and installs updates from the feed, and reports every step to
// a user driver and a delegate, which decide what the user sees and when the install happens.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "updates/Appcast.h"
#include "updates/Installation.h"

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace vantorelle {

enum class UpdateStage { notDownloaded, downloaded, installing };
struct UpdateState
{
    UpdateStage stage = UpdateStage::notDownloaded;
    bool userInitiated = false;
};
enum class UpdateChoice { install, dismiss };
using UpdateReply = std::function<void(UpdateChoice)>;

// Every call arrives on the GUI thread. Replies may be given later; each is used at most once.
class UpdaterUserDriver
{
public:
    virtual ~UpdaterUserDriver() = default;
    virtual void showUpdatePermissionRequest(std::function<void(bool automaticChecks, bool sendProfile)> reply) = 0;
    virtual void showUserInitiatedUpdateCheck() = 0;
    virtual void showUpdateFound(const AppcastItem& item, UpdateState state, UpdateReply reply) = 0;
    virtual void showUpdateReleaseNotesFailed(const QString& error) = 0;
    virtual void showUpdateNotFound(const QString& error, std::function<void()> acknowledge) = 0;
    virtual void showUpdaterError(const QString& error, std::function<void()> acknowledge) = 0;
    virtual void showReadyToInstallAndRelaunch(UpdateReply reply) = 0;
    virtual void showInstallingUpdate(bool applicationTerminated) = 0;
    virtual void showUpdateInstalledAndRelaunched(std::function<void()> acknowledge) = 0;
    virtual void dismissUpdateInstallation() = 0;
};

class UpdaterDelegate
{
public:
    virtual ~UpdaterDelegate() = default;
    // True: the delegate keeps `installNow` and installs when it sees fit (or the update installs
    // on quit); false: the update installs on quit.
    virtual bool willInstallUpdateOnQuit(const AppcastItem& item, std::function<void()> installNow) = 0;
    virtual void willRelaunchApplication() = 0;
    virtual void didAbortWithError(int code, const QString& description) = 0;
};

class Updater : public QObject
{
    Q_OBJECT
public:
    static constexpr int kNoUpdateError = 1001;

    struct Config
    {
        QUrl feed;
        QString publicKey; // base64 Ed25519 key that signs the archives
        QString runningBuild;
        // The install to update, or why this install does not update itself.
        std::expected<Installation, Installation::Refusal> installation
            = std::unexpected(Installation::Refusal{Installation::Refusal::Kind::notPerUser, "no install"});
        // Starts the new build once the link points at it and quits this one; false when it
        // cannot be started, and the link goes back.
        std::function<bool(const std::filesystem::path& program)> relaunch;
        std::chrono::milliseconds feedDeadline = std::chrono::seconds(30);
        std::chrono::milliseconds downloadDeadline = std::chrono::minutes(10);
        std::chrono::milliseconds checkInterval = std::chrono::hours(24);
        qint64 feedLimit = 4 << 20;
        qint64 archiveLimit = qint64(512) << 20;
    };

    Updater(Config config, UpdaterUserDriver& driver, UpdaterDelegate& delegate, QObject* parent = nullptr);
    ~Updater() override;

    // Refuses without a usable feed, key or install; otherwise starts a background check now and
    // then once per check interval.
    std::expected<void, QString> start();
    bool started() const { return m_started; }
    // False while a check, a download or a ready update is in progress.
    bool canCheckForUpdates() const { return m_started && !m_session; }
    void checkForUpdates();
    void checkForUpdatesInBackground();
    // The application quits: a downloaded update that waits is put in place, without relaunch.
    void applicationWillQuit();

    // How many requests were sent; the tests read it to see that nothing was asked.
    int requestsSent() const { return m_requests; }

private:
    void check(bool userInitiated);
    void fetch(const QUrl& url, qint64 limit, std::chrono::milliseconds deadline,
               std::function<void(std::expected<QByteArray, QString>)> done);
    void feedArrived(std::expected<QByteArray, QString> feed);
    void foundReply(UpdateChoice choice);
    void archiveArrived(std::expected<QByteArray, QString> archive);
    void readyReply(UpdateChoice choice);
    bool putInPlace();
    void installAndRelaunch();
    void fail(const QString& error);
    void end();

    Config m_config;
    UpdaterUserDriver& m_driver;
    UpdaterDelegate& m_delegate;
    QNetworkAccessManager* m_network;
    QTimer* m_timer;
    bool m_started = false;
    bool m_session = false;
    bool m_userInitiated = false;
    std::optional<AppcastItem> m_item;
    std::optional<std::filesystem::path> m_staged; // unpacked, checked, waiting to be put in place
    std::jthread m_worker; // checks and unpacks an archive away from the GUI thread
    int m_generation = 0; // replies of an ended session are ignored
    int m_requests = 0;
};

} // namespace vantorelle

// UpdateController and UpdateDriver: every state change of an update, logged under "update".
#include "updates/UpdateController.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QScopeGuard>
#include <QTimer>

#include "defaults/Defaults.h"
#include "platform/Log.h"
#include "shell/AppModel.h"

namespace vantorelle {
namespace {

constexpr const char* kCategory = "update";
constexpr const char* kRelaunchKey = "relaunchForUpdateAt";
constexpr int kNotesDeadlineMs = 30'000;
constexpr qint64 kNotesLimit = 1 << 20;

void log(const QString& line)
{
    applog::info(kCategory, line.toStdString());
}
void logError(const QString& line)
{
    applog::error(kCategory, line.toStdString());
}
const char* boolText(bool value)
{
    return value ? "true" : "false";
}

} // namespace

// ---- UpdateDriver

UpdateDriver::UpdateDriver(UpdateController& controller)
    : m_controller(&controller)
{
}

void UpdateDriver::showUpdatePermissionRequest(std::function<void(bool, bool)> reply)
{
    reply(true, false);
}

void UpdateDriver::showUserInitiatedUpdateCheck()
{
    m_userInitiated = true;
    if (m_controller && !m_controller->isUpdateReady()) {
        m_controller->model().setUpdateCheck(UpdateCheckStatus::checking);
    }
}

void UpdateDriver::showUpdateFound(const AppcastItem& item, UpdateState state, UpdateReply reply)
{
    m_currentItem = item;
    log(QStringLiteral("update found: %1 (%2), stage %3, user initiated %4")
            .arg(item.displayVersion, item.version)
            .arg(static_cast<long>(state.stage))
            .arg(QLatin1String(boolText(m_userInitiated))));
    if (!m_controller) {
        return;
    }
    if (item.informationOnly) {
        log(QStringLiteral("information-only update, dismissed"));
        if (!m_controller->isUpdateReady()) {
            m_controller->model().setUpdateCheck(UpdateCheckStatus::idle);
        }
        reply(UpdateChoice::dismiss);
        return;
    }
    if (state.stage == UpdateStage::installing) {
        m_controller->becomeReady(
            item, [reply] { reply(UpdateChoice::install); }, UpdateController::ReadySource::driver);
        return;
    }
    if (state.userInitiated) {
        m_controller->model().setUpdateCheck(UpdateCheckStatus::downloading);
    }
    reply(UpdateChoice::install);
}

void UpdateDriver::showUpdateReleaseNotesFailed(const QString& error)
{
    logError(QStringLiteral("release notes download failed: %1").arg(error));
}

void UpdateDriver::showUpdateNotFound(const QString& error, std::function<void()> acknowledge)
{
    log(QStringLiteral("no update: %1").arg(error));
    if (m_controller && !m_controller->isUpdateReady()) {
        m_controller->model().setUpdateCheck(UpdateCheckStatus::upToDate);
    }
    acknowledge();
}

void UpdateDriver::showUpdaterError(const QString& error, std::function<void()> acknowledge)
{
    logError(QStringLiteral("update failed: %1").arg(error));
    if (m_controller && m_userInitiated && !m_controller->isUpdateReady()) {
        m_controller->model().setUpdateCheck(UpdateCheckStatus::failed);
    }
    acknowledge();
}

void UpdateDriver::showReadyToInstallAndRelaunch(UpdateReply reply)
{
    if (!m_currentItem) {
        log(QStringLiteral("ready to install without an item; installing on quit"));
        reply(UpdateChoice::dismiss);
        return;
    }
    if (m_controller) {
        m_controller->becomeReady(
            *m_currentItem, [reply] { reply(UpdateChoice::install); }, UpdateController::ReadySource::driver);
    }
}

void UpdateDriver::showInstallingUpdate(bool applicationTerminated)
{
    log(QStringLiteral("installing update, app terminated %1").arg(QLatin1String(boolText(applicationTerminated))));
}

void UpdateDriver::showUpdateInstalledAndRelaunched(std::function<void()> acknowledge)
{
    acknowledge();
}

void UpdateDriver::dismissUpdateInstallation()
{
    m_currentItem.reset();
    m_userInitiated = false;
    if (m_controller) {
        m_controller->driverDismissed();
    }
}

// ---- UpdateController

UpdateController::UpdateController(Setup setup, QObject* parent)
    : QObject(parent)
    , m_model(setup.model)
    , m_defaults(setup.defaults)
    , m_clock(setup.clock)
    , m_displayVersion(setup.displayVersion)
    , m_runningBuild(setup.updater.runningBuild)
    , m_driver(std::make_unique<UpdateDriver>(*this))
    , m_whatsNewStore(setup.defaults, "pendingWhatsNew")
    , m_whatsNew(new WhatsNewPresenter(setup.model, this))
    , m_network(new QNetworkAccessManager(this))
{
    if (!setup.updater.installation) {
        m_fromPackageManager = setup.updater.installation.error().kind == Installation::Refusal::Kind::packageManager;
    }
    m_updater = new Updater(std::move(setup.updater), *m_driver, *this, this);
    connect(&m_model, &AppModel::dialogOpenChanged, this, &UpdateController::dialogOpenChanged);
    QPointer<UpdateController> self(this);
    m_model.checkForUpdates = [self] {
        if (self) {
            self->checkForUpdates();
        }
    };
    m_model.installUpdate = [self] {
        if (self) {
            self->installUpdate();
        }
    };
}

UpdateController::~UpdateController()
{
    m_model.checkForUpdates = [] {};
    m_model.installUpdate = [] {};
    // The updater calls back into the driver until it is gone.
    delete m_updater;
}

void UpdateController::start()
{
    if (auto started = m_updater->start(); !started) {
        m_offReason = started.error();
        logError(QStringLiteral("updater did not start: %1").arg(started.error()));
    }
}

void UpdateController::checkForUpdates()
{
    if (m_installNow) {
        return;
    }
    if (!m_updater->started()) {
        log(QStringLiteral("check skipped, the updater is off: %1").arg(m_offReason.value_or(QString())));
        return;
    }
    if (!m_updater->canCheckForUpdates()) {
        log(QStringLiteral("check skipped, a session is already running"));
        return;
    }
    m_model.setUpdateCheck(UpdateCheckStatus::checking);
    m_updater->checkForUpdates();
}

void UpdateController::becomeReady(const AppcastItem& item, std::function<void()> installNow, ReadySource source)
{
    m_installNow = std::move(installNow);
    m_readySource = source;
    m_model.setUpdateReady(item.displayVersion);
    m_model.setUpdateCheck(UpdateCheckStatus::idle);
    log(QStringLiteral("update %1 ready, installs on quit").arg(item.displayVersion));

    WhatsNew record{item.displayVersion.toStdString(), item.version.toStdString(), {}, std::nullopt};
    const QString notes = item.description.trimmed();
    if (!notes.isEmpty()) {
        record.notes = notes.toStdString();
        if (item.descriptionFormat) {
            record.format = item.descriptionFormat->toStdString();
        }
        m_whatsNewStore.save(record);
        return;
    }
    m_whatsNewStore.save(record);
    if (!item.releaseNotesLink.isEmpty()) {
        fetchReleaseNotes(item.releaseNotesLink, std::move(record));
    }
}

void UpdateController::fetchReleaseNotes(const QUrl& link, WhatsNew record)
{
    if (!Appcast::allowedURL(link)) {
        logError(
            QStringLiteral("release notes link failed: refused address %1").arg(link.toString(QUrl::RemoveUserInfo)));
        return;
    }
    QNetworkReply* reply = m_network->get(QNetworkRequest(link));
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    deadline->start(kNotesDeadlineMs);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > kNotesLimit) {
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, link, record = std::move(record)]() mutable {
        reply->deleteLater();
        const auto settled = qScopeGuard([this] { emit releaseNotesSettled(); });
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid() && status.toInt() != 200) {
            return;
        }
        if (reply->error() != QNetworkReply::NoError) {
            logError(QStringLiteral("release notes link failed: %1").arg(reply->errorString()));
            return;
        }
        record.notes = QString::fromUtf8(reply->readAll()).toStdString();
        const QString extension = QFileInfo(link.path()).suffix().toLower();
        record.format = extension == u"md" ? "markdown" : extension == u"txt" ? "plain-text" : "html";
        m_whatsNewStore.save(record);
    });
}

void UpdateController::driverDismissed()
{
    if (m_readySource != ReadySource::driver) {
        return;
    }
    m_installNow = nullptr;
    m_readySource = ReadySource::none;
    m_model.setUpdateReady(std::nullopt);
    m_gate = UpdateInstallGate();
}

void UpdateController::installUpdate()
{
    if (!m_installNow) {
        return;
    }
    if (!m_gate.request(m_model.dialogOpen())) {
        log(QStringLiteral("install deferred until the unlock dialog closes"));
        return;
    }
    install();
}

void UpdateController::install()
{
    log(QStringLiteral("installing and relaunching"));
    markRelaunch();
    if (auto installNow = m_installNow) {
        installNow();
    }
}

void UpdateController::markRelaunch()
{
    m_defaults.set(kRelaunchKey, secondsSince1970(m_clock.now()));
}

bool UpdateController::wasRelaunchedForUpdate(Defaults& defaults, Date now)
{
    const double mark = defaults.number(kRelaunchKey).value_or(0);
    defaults.remove(kRelaunchKey);
    const double age = secondsSince1970(now) - mark;
    return mark > 0 && age >= 0 && age < 600;
}

void UpdateController::dialogOpenChanged()
{
    if (m_model.dialogOpen()) {
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_model.dialogOpen() && m_gate.dialogClosed()) {
                log(QStringLiteral("unlock dialog closed, installing the deferred update"));
                install();
            }
        },
        Qt::QueuedConnection);
}

void UpdateController::showWhatsNewIfDue()
{
    const QString build = m_runningBuild.isEmpty() ? QStringLiteral("0") : m_runningBuild;
    if (auto record = m_whatsNewStore.takeDue(build.toStdString())) {
        log(QStringLiteral("showing what's new for %1").arg(QString::fromStdString(record->version)));
        m_whatsNew->present(std::move(*record));
    }
}

void UpdateController::applicationWillQuit()
{
    m_updater->applicationWillQuit();
}

bool UpdateController::willInstallUpdateOnQuit(const AppcastItem& item, std::function<void()> installNow)
{
    becomeReady(item, std::move(installNow), ReadySource::delegate);
    return true;
}

void UpdateController::willRelaunchApplication()
{
    markRelaunch();
}

void UpdateController::didAbortWithError(int code, const QString& description)
{
    if (code == Updater::kNoUpdateError) {
        return;
    }
    // No relaunch follows: a later start of this build is an ordinary one.
    m_defaults.remove(kRelaunchKey);
    logError(QStringLiteral("update cycle aborted: %1").arg(description));
}

} // namespace vantorelle

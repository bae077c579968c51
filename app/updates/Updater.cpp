// Updater: one session at a time: feed, choice, download, signature, unpacking, install.
#include "updates/Updater.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <system_error>

#include "updates/UpdateArchive.h"

namespace vantorelle {
namespace {

QString fromStd(const std::string& text)
{
    return QString::fromStdString(text);
}

} // namespace

Updater::Updater(Config config, UpdaterUserDriver& driver, UpdaterDelegate& delegate, QObject* parent)
    : QObject(parent)
    , m_config(std::move(config))
    , m_driver(driver)
    , m_delegate(delegate)
    , m_network(new QNetworkAccessManager(this))
    , m_timer(new QTimer(this))
{
    m_timer->setInterval(m_config.checkInterval);
    connect(m_timer, &QTimer::timeout, this, &Updater::checkForUpdatesInBackground);
}

Updater::~Updater()
{
    if (m_worker.joinable()) {
        m_worker.join();
    }
    if (m_staged) {
        std::error_code ec;
        std::filesystem::remove_all(*m_staged, ec);
    }
}

std::expected<void, QString> Updater::start()
{
    if (m_config.feed.isEmpty()) {
        return std::unexpected(QStringLiteral("no update feed is configured"));
    }
    if (!Appcast::allowedURL(m_config.feed)) {
        return std::unexpected(QStringLiteral("the update feed %1 is not an HTTPS address without credentials")
                                   .arg(m_config.feed.toString(QUrl::RemoveUserInfo)));
    }
    if (m_config.publicKey.isEmpty()) {
        return std::unexpected(QStringLiteral("no update signing key is built in"));
    }
    if (!m_config.installation) {
        return std::unexpected(fromStd(m_config.installation.error().reason));
    }
    // Automatic checks are always on and nothing about the system is sent.
    m_driver.showUpdatePermissionRequest([](bool, bool) {});
    m_started = true;
    m_timer->start();
    QMetaObject::invokeMethod(this, &Updater::checkForUpdatesInBackground, Qt::QueuedConnection);
    return {};
}

void Updater::checkForUpdates()
{
    check(true);
}

void Updater::checkForUpdatesInBackground()
{
    check(false);
}

void Updater::check(bool userInitiated)
{
    if (!canCheckForUpdates()) {
        return;
    }
    m_session = true;
    m_userInitiated = userInitiated;
    ++m_generation;
    if (userInitiated) {
        m_driver.showUserInitiatedUpdateCheck();
    }
    fetch(m_config.feed, m_config.feedLimit, m_config.feedDeadline,
          [this](std::expected<QByteArray, QString> feed) { feedArrived(std::move(feed)); });
}

void Updater::fetch(const QUrl& url, qint64 limit, std::chrono::milliseconds deadline,
                    std::function<void(std::expected<QByteArray, QString>)> done)
{
    if (!Appcast::allowedURL(url)) {
        QMetaObject::invokeMethod(
            this,
            [done, url] {
                done(std::unexpected(QStringLiteral("refused address %1").arg(url.toString(QUrl::RemoveUserInfo))));
            },
            Qt::QueuedConnection);
        return;
    }
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    ++m_requests;
    QNetworkReply* reply = m_network->get(request);
    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    auto expired = std::make_shared<bool>(false);
    auto tooLarge = std::make_shared<bool>(false);
    connect(timer, &QTimer::timeout, reply, [reply, expired] {
        *expired = true;
        reply->abort();
    });
    timer->start(deadline);
    connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl& target) {
        if (Appcast::allowedURL(target)) {
            emit reply->redirectAllowed();
        } else {
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply, limit, tooLarge](qint64 received, qint64 total) {
        if (received > limit || total > limit) {
            *tooLarge = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [reply, done = std::move(done), expired, tooLarge, url] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (*expired) {
            done(std::unexpected(QStringLiteral("%1 did not answer in time").arg(url.toString())));
        } else if (*tooLarge) {
            done(std::unexpected(QStringLiteral("%1 is larger than announced").arg(url.toString())));
        } else if (reply->error() != QNetworkReply::NoError) {
            done(std::unexpected(reply->errorString()));
        } else if (status != 200) {
            done(std::unexpected(QStringLiteral("%1 answered HTTP %2").arg(url.toString()).arg(status)));
        } else {
            done(reply->readAll());
        }
    });
}

void Updater::feedArrived(std::expected<QByteArray, QString> feed)
{
    if (!feed) {
        fail(feed.error());
        return;
    }
    auto items = Appcast::parse(*feed);
    if (!items) {
        fail(items.error());
        return;
    }
    m_item = Appcast::newest(*items, m_config.runningBuild);
    if (!m_item) {
        const QString why = QStringLiteral("%1 is the newest version").arg(m_config.runningBuild);
        m_driver.showUpdateNotFound(why, [] {});
        m_delegate.didAbortWithError(kNoUpdateError, why);
        end();
        return;
    }
    const int generation = m_generation;
    m_driver.showUpdateFound(*m_item, UpdateState{UpdateStage::notDownloaded, m_userInitiated},
                             [this, generation, self = QPointer(this)](UpdateChoice choice) {
                                 if (self && generation == m_generation && m_session) {
                                     foundReply(choice);
                                 }
                             });
}

void Updater::foundReply(UpdateChoice choice)
{
    if (choice == UpdateChoice::dismiss || m_item->informationOnly) {
        end();
        return;
    }
    if (!Installation::validBuild(m_item->version.toStdString())) {
        fail(QStringLiteral("refused build name %1").arg(m_item->version));
        return;
    }
    if (m_item->length <= 0 || m_item->length > m_config.archiveLimit) {
        fail(QStringLiteral("the update's length %1 is not acceptable").arg(m_item->length));
        return;
    }
    const int generation = m_generation;
    fetch(m_item->url, m_item->length, m_config.downloadDeadline,
          [this, generation](std::expected<QByteArray, QString> archive) {
              if (generation == m_generation && m_session) {
                  archiveArrived(std::move(archive));
              }
          });
}

void Updater::archiveArrived(std::expected<QByteArray, QString> archive)
{
    if (!archive) {
        fail(archive.error());
        return;
    }
    if (archive->size() != m_item->length) {
        fail(QStringLiteral("download incomplete: %1 of %2 bytes").arg(archive->size()).arg(m_item->length));
        return;
    }
    auto staging = m_config.installation->makeStagingFolder();
    if (!staging) {
        fail(fromStd(staging.error()));
        return;
    }
    if (m_worker.joinable()) {
        m_worker.join();
    }
    const int generation = m_generation;
    m_worker = std::jthread([this, generation, data = std::move(*archive), signature = m_item->edSignature,
                             key = m_config.publicKey, folder = *staging] {
        std::expected<void, std::string> result;
        const std::string_view bytes(data.constData(), static_cast<std::size_t>(data.size()));
        if (!UpdateArchive::signatureValid(bytes, signature.toStdString(), key.toStdString())) {
            result = std::unexpected(std::string("the update's signature is not valid"));
        } else {
            result = UpdateArchive::extract(bytes, folder);
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation, result, folder] {
                if (!result || generation != m_generation || !m_session) {
                    std::error_code ec;
                    std::filesystem::remove_all(folder, ec);
                    if (!result && generation == m_generation) {
                        fail(fromStd(result.error()));
                    }
                    return;
                }
                m_staged = folder;
                m_driver.showReadyToInstallAndRelaunch([this, generation, self = QPointer(this)](UpdateChoice choice) {
                    if (self && generation == m_generation && m_staged) {
                        readyReply(choice);
                    }
                });
            },
            Qt::QueuedConnection);
    });
}

void Updater::readyReply(UpdateChoice choice)
{
    if (choice == UpdateChoice::install) {
        installAndRelaunch();
        return;
    }
    // Dismissed: the update waits for the application to quit, unless the delegate takes it.
    m_delegate.willInstallUpdateOnQuit(*m_item, [this, self = QPointer(this)] {
        if (self && m_staged) {
            installAndRelaunch();
        }
    });
}

bool Updater::putInPlace()
{
    auto installed = m_config.installation->install(*m_staged, m_item->version.toStdString());
    m_staged.reset();
    if (!installed) {
        fail(fromStd(installed.error()));
        return false;
    }
    return true;
}

void Updater::installAndRelaunch()
{
    m_driver.showInstallingUpdate(false);
    if (!putInPlace()) {
        return;
    }
    m_delegate.willRelaunchApplication();
    if (!m_config.relaunch || !m_config.relaunch(m_config.installation->program("vantorelle-app"))) {
        // The new build cannot be started: the running one stays the installed one.
        auto back = m_config.installation->rollBack();
        fail(QStringLiteral("the new version could not be started%1")
                 .arg(back ? QString() : QStringLiteral(", and going back failed: ") + fromStd(back.error())));
        return;
    }
    end();
}

void Updater::applicationWillQuit()
{
    if (!m_staged) {
        return;
    }
    m_driver.showInstallingUpdate(true);
    if (putInPlace()) {
        end();
    }
}

void Updater::fail(const QString& error)
{
    m_driver.showUpdaterError(error, [] {});
    m_delegate.didAbortWithError(0, error);
    end();
}

void Updater::end()
{
    if (m_staged) {
        std::error_code ec;
        std::filesystem::remove_all(*m_staged, ec);
        m_staged.reset();
    }
    if (m_session) {
        m_session = false;
        ++m_generation;
        m_driver.dismissUpdateInstallation();
    }
}

} // namespace vantorelle

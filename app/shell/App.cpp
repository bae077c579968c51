// App: the launch sequence in order, then the menu's actions and the socket's request routing.
#include "shell/App.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <set>
#include <unistd.h>

#include "Vantorelle.h"
#include "cli/LaunchIntent.h"
#include "design/Mascot.h"
#include "dialogs/DialogPanels.h"
#include "dialogs/DialogPresenter.h"
#include "dialogs/WindowFocus.h"
#include "i18n/L.h"
#include "ipc/IPCPaths.h"
#include "ipc/SocketServer.h"
#include "platform/AgentSocket.h"
#include "platform/AppText.h"
#include "platform/Autostart.h"
#include "platform/BackgroundNotifier.h"
#include "platform/DesktopSoundSetting.h"
#include "platform/FingerprintContext.h"
#include "platform/Log.h"
#include "platform/SecretServicePassphraseStore.h"
#include "platform/SessionEnvironment.h"
#include "platform/SessionWatcher.h"
#include "platform/Sounds.h"
#include "settings/SecretServiceForeignSecrets.h"
#include "settings/SettingsWindow.h"
#include "settings/SetupController.h"
#include "setup/SetupPlan.h"
#include "shell/AppModel.h"
#include "shell/ApplicationAdaptor.h"
#include "shell/StatusItemController.h"
#include "ssh/AgentClient.h"
#include "ssh/KeyScanCache.h"
#include "ssh/KeyScanner.h"
#include "ssh/PassphraseVerifier.h"
#include "sys/Files.h"
#include "sys/WorkingDirectory.h"
#include "unlock/RequesterResolver.h"
#include "unlock/ThreadExecutor.h"
#include "unlock/UnlockCoordinator.h"
#include "updates/Installation.h"
#include "updates/UpdateController.h"
#include "updates/UpdateSettingsRow.h"
#include "window/DurationPolicy.h"
#include "window/UserDefaultsUnlockWindowStore.h"

namespace vantorelle {
namespace {

constexpr int kRefreshIntervalMs = 30'000;
constexpr int kReopenTimeoutMs = 2'000;

const char* kindName(const Request& request)
{
    static constexpr const char* names[] = {"passphrase", "prompt", "status", "unlock", "lock"};
    return names[request.value.index()];
}

bool refreshesAfter(const Request& request)
{
    return std::holds_alternative<Request::Passphrase>(request.value)
        || std::holds_alternative<Request::Unlock>(request.value)
        || std::holds_alternative<Request::Lock>(request.value);
}

} // namespace

template <typename F> void App::onGui(F&& work)
{
    // Queued on this object: if the app is destroyed first, Qt drops the call.
    QMetaObject::invokeMethod(this, std::forward<F>(work), Qt::QueuedConnection);
}

App::App(Options options)
    : m_options(std::move(options))
    , m_home(m_options.env.nonEmpty("HOME").value_or("/"))
    , m_defaults(FileDefaults::standardPath(m_options.env))
    , m_coordinatorDefaults(FileDefaults::standardPath(m_options.env))
    , m_model(new AppModel(this))
    , m_notifier(new BackgroundNotifier(this))
{
}

App::~App()
{
    // The window before the controller it shows; the controller waits for its own worker.
    m_settingsWindow.reset();
    m_setupController.reset();
    // A downloaded update that still waits goes in place for the next start. The controller goes
    // before the model it publishes into, which is an earlier child of this object.
    if (m_updates) {
        m_updates->applicationWillQuit();
        delete m_updates;
        m_updates = nullptr;
    }
    // The server first, so no request reaches a coordinator being torn down; the presenter before
    // the executor, so the completions it still holds are delivered to a live executor.
    m_server.reset();
    m_coordinator.reset();
    m_presenter.reset();
    m_executor.reset();
}

std::unique_ptr<UnlockPresenter> App::makeDialogs()
{
    m_dialogClock = std::make_unique<EventLoopClock>(this);
    m_sounds = std::make_unique<Sounds>(m_defaults);
    m_dialogViews = std::make_unique<PanelViews>(*m_dialogClock);
    m_windowFocus = makeWindowFocus();
    return std::make_unique<DialogPresenter>(DialogPresenter::Parts{
        .views = *m_dialogViews,
        .focus = *m_windowFocus,
        .environment
        = {.clock = *m_dialogClock,
           .newContext = [] { return std::make_shared<FingerprintContext>(); },
           .play = [this](Sounds::Name sound) { m_sounds->play(sound); },
           .reducedMotion
           = [] { return readGSettingsBoolean("org.gnome.desktop.interface", "enable-animations") == false; },
           .appActive = [] { return QGuiApplication::applicationState() == Qt::ApplicationActive; }},
        .setDialogOpen = [this](bool open) { m_model->setDialogOpen(open); },
        .notify
        = [this](const Requester& requester) { m_notifier->post(QString::fromStdString(requester.displayName)); },
        .fingerprintAvailable
        = [](std::move_only_function<void(bool)> reply) { fingerprintAvailable(std::move(reply)); },
    });
}

App::LaunchResult App::launch()
{
    // Step 0: a login-item start is marked by the autostart entry's own argument.
    m_launchedAsLoginItem = m_options.arguments.contains(QStringLiteral("--autostart"));
    // Step 1: the language is fixed for the run.
    (void)i18n::currentLanguage();

    // Step 2: the agent this app loads keys into.
    m_sessionEnvironment = std::make_unique<SystemdSessionEnvironment>();
    const std::string agentSocket = agentSocketPath(m_options.env, *m_sessionEnvironment);
    m_agentSocket = agentSocket;
    if (agentSocket.empty()) {
        applog::error("app", "SSH_AUTH_SOCK not found; the agent is unreachable");
    }

    // Step 3: a click on a background notification asks to unlock for that requester.
    QPointer<App> self(this);
    m_notifier->onOpen = [self](const QString& requester) {
        if (self) {
            self->unlock(requester);
        }
    };

    // Steps 4 to 6: the presenter, the store, the agent and the coordinator on its own thread.
    m_presenter = m_options.makePresenter ? m_options.makePresenter(*this) : makeDialogs();
    m_store = std::make_unique<SecretServicePassphraseStore>();
    m_agent = std::make_unique<AgentClient>(agentSocket, m_options.env);
    m_keyCache = std::make_unique<KeyScanCache>();
    m_windowStore = std::make_unique<UserDefaultsUnlockWindowStore>(m_coordinatorDefaults);
    m_executor = std::make_unique<ThreadExecutor>();
    UnlockCoordinator::Dependencies dependencies{
        .keys = [this] { return managedKeys(m_coordinatorDefaults, *m_keyCache, m_home); },
        .duration = [this] { return configuredDuration(m_coordinatorDefaults); },
        .store = *m_store,
        .agent = *m_agent,
        .presenter = *m_presenter,
        .resolve = RequesterResolver::resolveLive,
        .clock = m_clock,
        .verify = [](const SecretString& passphrase,
                     const std::string& keyPath) { return PassphraseVerifier::isValid(passphrase, keyPath); },
        .callerName = RequesterResolver::liveName,
        .callerDirectory = [](std::int32_t pid) { return workingDirectoryOf(pid); },
        .windowStore = m_windowStore.get(),
    };
    m_coordinator = std::make_unique<UnlockCoordinator>(*m_executor, std::move(dependencies));

    // Step 7.
    m_model->requestRefresh = [self] {
        if (self) {
            self->refresh();
        }
    };

    // Step 8: the socket decides which copy runs.
    if (!startServer()) {
        const bool quiet = m_options.arguments.contains(QString::fromLatin1(LaunchIntent::backgroundArgument))
            || m_launchedAsLoginItem;
        if (!quiet) {
            reopenRunningInstance();
        }
        return LaunchResult::anotherInstance;
    }
    registerOnBus();
    // The saved window is restored as soon as this copy serves: the coordinator answers in order,
    // so a status asked while the rest starts up already sees it.
    m_coordinator->restoreWindow([this] { onGui([this] { refresh(); }); });

    // Step 9.
    if (setupApplied(m_home)) {
        exportAskpassEnvironment();
    }

    // Step 10: the tray and its menu.
    m_statusItem = new StatusItemController(
        *m_model, [this] { return configuredDuration(m_defaults); }, this);
    m_statusItem->onMenuOpen = [self] {
        if (self) {
            self->refresh();
        }
    };
    m_statusItem->onLock = [self] {
        if (self) {
            self->lock();
        }
    };
    m_statusItem->onUnlock = [self] {
        if (self) {
            self->unlock(text("app.name"));
        }
    };
    m_statusItem->onQuit = [self] {
        if (self) {
            self->quit();
        }
    };
    m_statusItem->onInstallUpdate = [self] {
        if (self) {
            self->m_model->installUpdate();
        }
    };
    m_statusItem->setSettingsAction([self] {
        if (self) {
            self->openSettings();
        }
    });
    const bool trayShown = m_statusItem->show();
    if (!trayShown) {
        applog::notice("app", "no system tray available; serving requests without a menu");
    }

    // Step 11.
    defaultLoginItem();

    // Step 12.
    startUpdates();

    // Step 13: wake refreshes; sleep and the session's lock close the window.
    m_sessionWatcher = new SessionWatcher(m_options.env, this);
    connect(m_sessionWatcher, &SessionWatcher::woke, this, &App::refresh);
    connect(m_sessionWatcher, &SessionWatcher::aboutToSleep, this, [this] { lockForSession("sleep"); });
    connect(m_sessionWatcher, &SessionWatcher::lockRequested, this, [this] { lockForSession("session lock"); });

    // Step 14: a timer keeps on firing while the menu is open (Qt timers are not tied to a mode).
    m_refreshTimer = new QTimer(this);
    m_refreshTimer->setInterval(kRefreshIntervalMs);
    connect(m_refreshTimer, &QTimer::timeout, this, &App::refresh);
    m_refreshTimer->start();

    // Step 15: the window was restored right after the socket started (step 8).

    // Step 16: without a tray, the settings are the only way in.
    std::vector<std::string> arguments;
    for (const auto& argument : m_options.arguments) {
        arguments.push_back(argument.toStdString());
    }
    if (LaunchIntent::showsSettingsAtLaunch(m_launchedAsLoginItem, arguments, m_relaunchedForUpdate)) {
        openSettings();
    }
    return LaunchResult::running;
}

void App::startUpdates()
{
    Updater::Config config;
    const auto feed = m_defaults.string("updateFeedURL");
    config.feed = QUrl(QString::fromStdString(feed.value_or(VANTORELLE_UPDATE_FEED_URL)));
    config.publicKey = QStringLiteral(VANTORELLE_UPDATE_PUBLIC_KEY);
    config.runningBuild = QString::fromUtf8(Vantorelle::buildNumber.data(), Vantorelle::buildNumber.size());
    config.installation = Installation::find(QCoreApplication::applicationDirPath().toStdString());
    QPointer<App> self(this);
    config.relaunch = [self](const std::filesystem::path& program) {
        if (!self || !Files::isExecutableFile(program)) {
            return false;
        }
        // The new build replaces this process after the socket is closed (see Main).
        self->m_relaunchProgram = program;
        self->terminate();
        return true;
    };
    m_updates = new UpdateController(
        UpdateController::Setup{
            .model = *m_model,
            .defaults = m_defaults,
            .clock = m_clock,
            .updater = std::move(config),
            .displayVersion = QString::fromUtf8(Vantorelle::version.data(), Vantorelle::version.size()),
        },
        this);
    m_updates->start();
    m_relaunchedForUpdate = UpdateController::wasRelaunchedForUpdate(m_defaults, m_clock.now());
    m_updates->showWhatsNewIfDue();
}

bool App::startServer()
{
    const auto path = IPCPaths::socket(m_options.env);
    m_server = std::make_unique<SocketServer>(
        path, [this](Request request, std::int32_t peerPID, SocketServer::Reply reply, std::stop_token cancelled) {
            auto shared = std::make_shared<SocketServer::Reply>(std::move(reply));
            handleRequest(
                std::move(request), peerPID, [shared](Response response) { (*shared)(std::move(response)); },
                std::move(cancelled));
        });
    const auto started = m_server->start();
    if (started) {
        return true;
    }
    m_server.reset();
    if (started.error().kind == SocketServer::ServerError::Kind::alreadyRunning) {
        applog::info("app", "another instance is running; quitting");
        return false;
    }
    applog::error("app",
                  "socket server failed to start: " + path.string() + ": kind "
                      + std::to_string(static_cast<int>(started.error().kind)) + ", errno "
                      + std::to_string(started.error().error));
    return true;
}

// Runs on a connection's thread: it only logs, hands over to the coordinator and queues a refresh.
void App::handleRequest(Request request, std::int32_t peerPID, std::function<void(Response)> reply,
                        std::stop_token cancelled)
{
    const std::string kind = kindName(request);
    applog::info("app", "request " + kind + " from peer " + std::to_string(peerPID));
    const bool refreshAfter = refreshesAfter(request);
    m_coordinator->handle(
        std::move(request), peerPID,
        [this, kind, refreshAfter, reply = std::move(reply)](Response response) mutable {
            reply(std::move(response));
            if (refreshAfter) {
                onGui([this, kind] {
                    applog::info("app", "refresh after " + kind);
                    refresh();
                });
            }
        },
        std::move(cancelled));
}

std::vector<SSHKey> App::managedKeys(const Defaults& defaults, KeyScanCache& cache, const std::string& home)
{
    std::set<std::string> wanted;
    for (const auto& path : defaults.stringArray("managedKeyPaths").value_or(std::vector<std::string>{})) {
        wanted.insert(Files::standardizedPath(path).string());
    }
    if (wanted.empty()) {
        return {};
    }
    std::vector<SSHKey> keys;
    for (auto& key : cache.keys(std::filesystem::path(home) / ".ssh", home)) {
        if (wanted.contains(Files::standardizedPath(key.path).string())) {
            keys.push_back(std::move(key));
        }
    }
    return keys;
}

double App::configuredDuration(const Defaults& defaults)
{
    return DurationPolicy::configured(defaults.number("unlockDuration"));
}

std::filesystem::path App::programFolder()
{
    return Installation::lastingProgramFolder(QCoreApplication::applicationDirPath().toStdString());
}

std::filesystem::path App::appProgram()
{
    return programFolder() / std::filesystem::path(QCoreApplication::applicationFilePath().toStdString()).filename();
}

bool App::setupApplied(const std::string& home)
{
    return SetupPlan::applied(home);
}

void App::exportAskpassEnvironment()
{
    const auto helper = programFolder() / "vantorelle-askpass";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(helper, ec)) {
        return;
    }
    // systemctl and the bus may take their time: the GUI thread does not wait for them.
    m_exportThread = std::jthread([environment = m_sessionEnvironment.get(), helper] {
        (void)environment->set("SSH_ASKPASS", helper.string());
        (void)environment->set("SSH_ASKPASS_REQUIRE", "force");
    });
}

void App::registerOnBus()
{
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        applog::notice("app", "no session bus; the app cannot be reopened or activated over D-Bus");
        return;
    }
    new ApplicationAdaptor(this);
    if (!bus.registerObject(QString::fromLatin1(kBusPath), this)
        || !bus.registerService(QString::fromLatin1(kBusName))) {
        applog::error("app",
                      "cannot take the bus name " + std::string(kBusName) + ": "
                          + bus.lastError().message().toStdString());
    }
}

bool App::reopenRunningInstance()
{
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return false;
    }
    auto call
        = QDBusMessage::createMethodCall(QString::fromLatin1(kBusName), QString::fromLatin1(kBusPath),
                                         QStringLiteral("org.freedesktop.Application"), QStringLiteral("Activate"));
    call << QVariantMap();
    const auto answer = bus.call(call, QDBus::Block, kReopenTimeoutMs);
    return answer.type() == QDBusMessage::ReplyMessage;
}

void App::defaultLoginItem()
{
    if (m_defaults.boolean("loginItemDefaulted").value_or(false)) {
        return;
    }
    m_defaults.set("loginItemDefaulted", true);
    m_autostart = std::make_unique<XdgAutostart>(m_options.env);
    // A failure is dropped: the key stays set, so the user's later choice is never overridden.
    (void)m_autostart->setEnabled(true, appProgram().string());
}

void App::lockForSession(const char* why)
{
    if (!m_coordinator) {
        return;
    }
    if (!m_defaults.boolean("lockOnSleep").value_or(true)) {
        applog::info("app", std::string("not locking for ") + why + ": turned off");
        return;
    }
    applog::info("app", std::string("locking for ") + why);
    m_coordinator->lockNow([this](bool) { onGui([this] { refresh(); }); });
}

void App::refresh()
{
    if (!m_coordinator) {
        return;
    }
    // Each refresh asks the agent twice; a burst of requests needs only one more after the one
    // already running, which then sees the latest state.
    if (m_refreshRunning) {
        m_refreshAgain = true;
        return;
    }
    m_refreshRunning = true;
    m_coordinator->status([this](StatusReport report) {
        onGui([this, report = std::move(report)]() mutable { m_model->setStatus(std::move(report)); });
    });
    m_coordinator->window([this](std::optional<UnlockWindow> window) {
        onGui([this, window] {
            m_model->setWindow(window);
            m_refreshRunning = false;
            if (std::exchange(m_refreshAgain, false)) {
                refresh();
            }
        });
    });
}

void App::openSettings()
{
    applog::info("app", "settings requested");
    if (!m_settingsWindow) {
        if (!m_autostart) {
            m_autostart = std::make_unique<XdgAutostart>(m_options.env);
        }
        m_settingsStore = std::make_unique<SecretServicePassphraseStore>();
        m_settingsAgent = std::make_unique<AgentClient>(m_agentSocket, m_options.env);
        m_foreignSecrets = std::make_unique<SecretServiceForeignSecrets>();
        SetupPlace place = SetupPlace::forApp(m_home, appProgram());
        SetupServices services{
            .store = m_settingsStore.get(),
            .secrets = m_foreignSecrets.get(),
            .agent = m_settingsAgent.get(),
            .session = m_sessionEnvironment.get(),
            .autostart = m_autostart.get(),
            .defaults = &m_defaults,
            .moveToTrash = moveToDesktopTrash,
        };
        QPointer<App> self(this);
        m_setupController = std::make_unique<SetupController>(std::move(place), std::move(services), [self] {
            if (self) {
                self->refresh();
            }
        });
        m_settingsWindow = std::make_unique<SettingsWindow>(*m_setupController, *m_model, m_clock, m_defaults);
        if (m_updates) {
            m_settingsWindow->setUpdatesRow(new UpdateSettingsRow(*m_updates));
        }
    }
    m_settingsWindow->present();
    refresh();
}

void App::activateAction(const QString& name)
{
    if (name == QLatin1String("lock")) {
        lock();
    } else if (name == QLatin1String("unlock")) {
        unlock(text("app.name"));
    } else if (name == QLatin1String("settings")) {
        openSettings();
    } else if (name == QLatin1String("quit")) {
        quit();
    }
}

void App::lock()
{
    m_coordinator->lockNow([this](bool locked) {
        onGui([this, locked] {
            refresh();
            if (!locked) {
                showAlert(text("alert.lock.failed"), QString());
            }
        });
    });
}

void App::unlock(const QString& reason)
{
    Request request = Request::Unlock{std::nullopt, reason.toStdString(), static_cast<std::int32_t>(::getpid())};
    m_coordinator->handle(std::move(request), ::getpid(), [this](Response response) {
        const auto* denied = std::get_if<Response::Denied>(&response.value);
        const bool unavailable = denied && denied->reason == DenialReason::unavailable;
        onGui([this, unavailable] {
            refresh();
            if (unavailable) {
                showAlert(text("alert.unlock.failed"), text("alert.unlock.failed.body"));
            }
        });
    });
}

void App::quit()
{
    if (m_quitQuestion) {
        m_quitQuestion->raise();
        m_quitQuestion->activateWindow();
        return;
    }
    m_coordinator->status([this](StatusReport report) {
        onGui([this, report = std::move(report)]() mutable {
            m_model->setStatus(std::move(report));
            if (!m_model->unlocked()) {
                terminate();
                return;
            }
            confirmQuit([this](QuitChoice choice) {
                switch (choice) {
                case QuitChoice::lock:
                    m_coordinator->lockNow([this](bool locked) {
                        onGui([this, locked] {
                            if (locked) {
                                terminate();
                                return;
                            }
                            refresh();
                            showAlert(text("alert.lock.failed"), QString());
                        });
                    });
                    break;
                case QuitChoice::keep:
                    // The window stays saved and is taken up again at the next start.
                    terminate();
                    break;
                case QuitChoice::cancel:
                    break;
                }
            });
        });
    });
}

void App::confirmQuit(std::function<void(QuitChoice)> done)
{
    QMessageBox* box = makeAlert(text("quit.confirm.title"), text("quit.confirm.body"));
    QPushButton* lockButton = box->addButton(text("quit.confirm.lock"), QMessageBox::AcceptRole);
    QPushButton* keepButton = box->addButton(text("quit.confirm.keep"), QMessageBox::DestructiveRole);
    QPushButton* cancelButton = box->addButton(text("common.cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(lockButton);
    box->setEscapeButton(cancelButton);
    m_quitQuestion = box;
    connect(box, &QMessageBox::finished, this, [box, lockButton, keepButton, done = std::move(done)] {
        const auto* clicked = box->clickedButton();
        done(clicked == lockButton ? QuitChoice::lock : clicked == keepButton ? QuitChoice::keep : QuitChoice::cancel);
    });
    box->open();
    box->activateWindow();
}

void App::showAlert(const QString& title, const QString& body)
{
    QMessageBox* box = makeAlert(title, body);
    box->addButton(text("common.ok"), QMessageBox::AcceptRole);
    box->open();
    box->activateWindow();
}

QMessageBox* App::makeAlert(const QString& title, const QString& body)
{
    auto* box = new QMessageBox;
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(text("app.name"));
    box->setText(title);
    box->setInformativeText(body);
    const QScreen* screen = QGuiApplication::primaryScreen();
    const qreal scale = screen ? screen->devicePixelRatio() : 2.0;
    const auto mood = m_model->unlocked() ? design::Mood::awake : design::Mood::asleep;
    box->setIconPixmap(QPixmap::fromImage(design::mascotImage(mood, 64, scale)));
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    return box;
}

void App::terminate()
{
    emit terminateRequested();
}

} // namespace vantorelle

// App: the application object: the launch sequence, the socket's request routing and the menu's
// actions. It wires the core's coordinator to the desktop; the rules stay in the coordinator.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "defaults/FileDefaults.h"
#include "ipc/Messages.h"
#include "ssh/SSHKey.h"
#include "sys/Clock.h"
#include "sys/Environment.h"

class QMessageBox;
class QTimer;

namespace vantorelle {

class AgentClient;
class AppModel;
class Autostart;
class BackgroundNotifier;
class DialogClock;
class DialogViews;
class Sounds;
class WindowFocus;
class KeyScanCache;
class PassphraseStore;
class SessionEnvironment;
class SessionWatcher;
class SettingsWindow;
class SetupController;
class ForeignSecrets;
class SocketServer;
class StatusItemController;
class ThreadExecutor;
class UnlockCoordinator;
class UnlockPresenter;
class UpdateController;
class UserDefaultsUnlockWindowStore;

// The session-bus name the app owns while it runs, and the object that answers for it.
inline constexpr const char* kBusName = "org.vantorelle.Vantorelle";
inline constexpr const char* kBusPath = "/org/vantorelle/Vantorelle";

// GUI thread only, except where a function says otherwise. The coordinator runs on its own
// ThreadExecutor; every completion hops back to the GUI thread before it touches the model or a
// widget. Destruction stops the server first, then the coordinator, then its executor.
class App : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QStringList arguments; // the command line without the program name
        Environment env = Environment::current();
        // The coordinator's presenter; the app's own dialogs when empty.
        std::function<std::unique_ptr<UnlockPresenter>(App&)> makePresenter;
    };
    enum class LaunchResult { running, anotherInstance };

    explicit App(Options options);
    ~App() override;

    // The launch sequence. anotherInstance: a running copy answers on the socket (it was asked to
    // show its settings unless this launch is a background or autostart one); quit at once.
    LaunchResult launch();

    void refresh();
    void openSettings();
    void lock();
    void unlock(const QString& reason);
    void quit();
    // A desktop action by name ("lock", "unlock", "settings", "quit"); unknown names do nothing.
    void activateAction(const QString& name);

    AppModel& model() { return *m_model; }
    StatusItemController* statusItem() const { return m_statusItem; }
    BackgroundNotifier& notifier() { return *m_notifier; }
    bool launchedAsLoginItem() const { return m_launchedAsLoginItem; }
    UpdateController* updates() const { return m_updates; }
    // The new build to start in place of this process once it has shut down, after an update.
    const std::optional<std::filesystem::path>& relaunchProgram() const { return m_relaunchProgram; }

    // The rules the coordinator is given, on their own so they can be checked directly.
    static std::vector<SSHKey> managedKeys(const Defaults& defaults, KeyScanCache& cache, const std::string& home);
    static double configuredDuration(const Defaults& defaults);
    // Whether a shell start-up file setup writes holds the managed block.
    static bool setupApplied(const std::string& home);
    // This program's folder and path as files that outlive this version should name them.
    static std::filesystem::path programFolder();
    static std::filesystem::path appProgram();
    // Asks the copy that owns the bus name to show its settings; false when nobody answered in time.
    static bool reopenRunningInstance();

signals:
    // Emitted when the app decided to end; main() quits the event loop on it.
    void terminateRequested();

private:
    enum class QuitChoice { lock, keep, cancel };

    bool startServer();
    void handleRequest(Request request, std::int32_t peerPID, std::function<void(Response)> reply,
                       std::stop_token cancelled);
    std::unique_ptr<UnlockPresenter> makeDialogs();
    void exportAskpassEnvironment();
    void startUpdates();
    void registerOnBus();
    void defaultLoginItem();
    void lockForSession(const char* why);
    void showAlert(const QString& title, const QString& body);
    void confirmQuit(std::function<void(QuitChoice)> done);
    QMessageBox* makeAlert(const QString& title, const QString& body);
    void terminate();
    // Runs `work` on the GUI thread, unless the app is gone by then.
    template <typename F> void onGui(F&& work);

    Options m_options;
    std::string m_home;
    FileDefaults m_defaults; // GUI thread
    FileDefaults m_coordinatorDefaults; // the coordinator's thread: a file object per thread
    bool m_launchedAsLoginItem = false;
    AppModel* m_model;
    BackgroundNotifier* m_notifier;
    std::unique_ptr<SessionEnvironment> m_sessionEnvironment;
    std::unique_ptr<Autostart> m_autostart;
    SessionWatcher* m_sessionWatcher = nullptr;
    std::unique_ptr<KeyScanCache> m_keyCache;
    std::unique_ptr<PassphraseStore> m_store;
    std::unique_ptr<AgentClient> m_agent;
    SystemClock m_clock;
    std::unique_ptr<UserDefaultsUnlockWindowStore> m_windowStore;
    std::unique_ptr<ThreadExecutor> m_executor;
    // What the dialogs need from the desktop; they outlive the presenter.
    std::unique_ptr<DialogClock> m_dialogClock;
    std::unique_ptr<Sounds> m_sounds;
    std::unique_ptr<DialogViews> m_dialogViews;
    std::unique_ptr<WindowFocus> m_windowFocus;
    std::unique_ptr<UnlockPresenter> m_presenter;
    std::unique_ptr<UnlockCoordinator> m_coordinator;
    std::unique_ptr<SocketServer> m_server;
    StatusItemController* m_statusItem = nullptr;
    UpdateController* m_updates = nullptr;
    std::optional<std::filesystem::path> m_relaunchProgram;
    bool m_relaunchedForUpdate = false;
    QTimer* m_refreshTimer = nullptr;
    QPointer<QMessageBox> m_quitQuestion;
    bool m_refreshRunning = false;
    bool m_refreshAgain = false;
    std::jthread m_exportThread;
    std::string m_agentSocket;
    // Made on the first opening of the settings and kept for the rest of the run. The settings have
    // their own store and agent client: they work on the controller's thread, not the coordinator's.
    std::unique_ptr<PassphraseStore> m_settingsStore;
    std::unique_ptr<AgentClient> m_settingsAgent;
    std::unique_ptr<ForeignSecrets> m_foreignSecrets;
    std::unique_ptr<SetupController> m_setupController;
    std::unique_ptr<SettingsWindow> m_settingsWindow;
};

} // namespace vantorelle

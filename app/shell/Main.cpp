// Main: refuses to start without a display, turns SIGTERM and SIGINT into a clean quit, runs the app.
#include "shell/Main.h"

#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Vantorelle.h"
#include "i18n/L.h"
#include "platform/Log.h"
#include "sys/ChildProcess.h"
#include "sys/StopSignals.h"

namespace vantorelle {
namespace {

bool hasDisplay()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            return true;
        }
    }
    return false;
}

} // namespace

int runApplication(int argc, char** argv, std::function<std::unique_ptr<UnlockPresenter>(App&)> makePresenter)
{
    // Qt would abort inside its platform plugin; say what is missing instead.
    if (!hasDisplay()) {
        std::fprintf(stderr,
                     "vantorelle-app: Vantorelle needs a graphical desktop session (neither DISPLAY nor "
                     "WAYLAND_DISPLAY is set). Start it from your desktop, or log in to one first.\n");
        return 1;
    }
    // Before any thread exists, so every thread inherits the blocked signals.
    auto stopSignals = StopSignals::install();

    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("vantorelle"));
    QApplication::setApplicationVersion(
        QString::fromUtf8(Vantorelle::version.data(), static_cast<qsizetype>(Vantorelle::version.size())));
    QApplication::setApplicationDisplayName(QString::fromStdString(L("app.name")));
    QGuiApplication::setDesktopFileName(
        QString::fromUtf8(Vantorelle::bundleID.data(), static_cast<qsizetype>(Vantorelle::bundleID.size())));

    App::Options options;
    const QStringList arguments = QApplication::arguments();
    options.arguments = arguments.mid(1);
    options.makePresenter = std::move(makePresenter);
    auto app = std::make_unique<App>(std::move(options));
    QObject::connect(app.get(), &App::terminateRequested, &application, &QCoreApplication::quit, Qt::QueuedConnection);

    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (stopSignals) {
        stopNotifier = std::make_unique<QSocketNotifier>(stopSignals->fd(), QSocketNotifier::Read);
        QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &application, [&] {
            if (const int signal = stopSignals->take()) {
                applog::info("app", std::string("stopping on ") + strsignal(signal));
                QCoreApplication::quit();
            }
        });
    } else {
        applog::error("app", "cannot watch for SIGTERM; the socket file may outlive a killed app");
    }

    if (app->launch() == App::LaunchResult::anotherInstance) {
        return 0;
    }
    const int status = QApplication::exec();
    const auto relaunch = app->relaunchProgram();
    // The socket must be gone before the new build looks for a running copy.
    app.reset();
    if (relaunch) {
        const int error = replaceCurrentProcess(relaunch->string(), {});
        applog::error("update", std::string("relaunch failed: ") + std::strerror(error));
        return 1;
    }
    return status;
}

} // namespace vantorelle

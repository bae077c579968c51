// vantorelle-app-scripted: the real app with a presenter that answers without a person, for tests
// and benchmarks of the paths behind a dialog (grace, snooze). Test support only, never installed.
//
//   VANTORELLE_TEST_UNLOCK=cancel          every unlock dialog is cancelled
//   VANTORELLE_TEST_UNLOCK=type:FILE       the passphrases of FILE ("<key path>\t<passphrase>" lines)
//                                          are typed into every unlock dialog
// Every log line goes to standard error.
#include <QMetaObject>
#include <QObject>
#include <cstdlib>
#include <fstream>

#include "platform/Log.h"
#include "shell/Main.h"
#include "sys/Io.h"
#include "unlock/UnlockPresenter.h"

namespace vantorelle {
namespace {

class ScriptedPresenter final : public UnlockPresenter
{
public:
    explicit ScriptedPresenter(std::string script)
        : m_script(std::move(script))
    {
    }

    void showUnlock(const Requester& requester, const std::vector<SSHKey>&, double duration, const PresentMode&,
                    std::stop_token, UnlockCompletion done) override
    {
        applog::info("app",
                     "scripted unlock for " + requester.displayName + " ("
                         + std::to_string(static_cast<long long>(duration)) + " s): " + m_script);
        auto result = std::make_shared<PresentResult>(PresentResult::Cancelled{});
        if (m_script.starts_with("type:")) {
            PresentResult::Typed typed;
            std::ifstream in(m_script.substr(5));
            for (std::string line; std::getline(in, line); wipeString(line)) {
                if (const auto tab = line.find('\t'); tab != std::string::npos) {
                    typed.passphrases.emplace(line.substr(0, tab),
                                              SecretString(std::string_view(line).substr(tab + 1)));
                }
            }
            *result = std::move(typed);
        }
        // Answered from the GUI thread, as a dialog would be.
        QMetaObject::invokeMethod(
            &m_context,
            [done = std::make_shared<UnlockCompletion>(std::move(done)), result] { (*done)(std::move(*result)); },
            Qt::QueuedConnection);
    }
    void notifyBackground(const Requester&) override { }
    void showPrompt(const std::string&, bool, std::stop_token, PromptCompletion done) override { done(std::nullopt); }

private:
    std::string m_script;
    QObject m_context;
};

} // namespace
} // namespace vantorelle

int main(int argc, char** argv)
{
    vantorelle::applog::setSink([](std::string_view category, vantorelle::applog::Level, std::string_view message) {
        vantorelle::io::writeAll(2, "vantorelle[" + std::string(category) + "]: " + std::string(message) + "\n");
    });
    const char* script = std::getenv("VANTORELLE_TEST_UNLOCK");
    const std::string chosen = script ? script : "cancel";
    return vantorelle::runApplication(
        argc, argv, [chosen](vantorelle::App&) { return std::make_unique<vantorelle::ScriptedPresenter>(chosen); });
}

// UnlockModel: the state of one unlock dialog, from the first key event to the one result it gives.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "dialogs/DialogClock.h"
#include "platform/BiometricContext.h"
#include "platform/Sounds.h"
#include "ssh/SSHKey.h"
#include "sys/SecretString.h"
#include "unlock/Requester.h"
#include "unlock/UnlockPresenter.h"

namespace vantorelle {

// What the model needs from around it; the app wires the real things, tests their fakes.
struct DialogEnvironment
{
    DialogClock& clock;
    std::function<std::shared_ptr<BiometricContext>()> newContext;
    std::function<void(Sounds::Name)> play = [](Sounds::Name) {};
    // The desktop asks for reduced motion (GNOME's enable-animations off).
    std::function<bool()> reducedMotion = [] { return false; };
    // The app has the keyboard focus of the desktop.
    std::function<bool()> appActive = [] { return true; };
};

// GUI thread only. The fingerprint part is a small state machine that keeps one evaluation
// alive while the panel floats over whatever the user was doing: it arms a context only when its
// widget is mounted and the panel has the focus, waits half a second before evaluating, starts
// over with a fresh context when the focus comes back or a watchdog sees nothing happen, and
// remembers which contexts it tried or invalidated itself. Its log lines (category "touchid")
// are what a person reads to understand why a fingerprint did not take.
class UnlockModel
{
public:
    struct Typing
    {
        std::string line; // localised: why the passphrases must be typed
        bool operator==(const Typing&) const = default;
    };
    struct Fingerprint
    {
        bool operator==(const Fingerprint&) const = default;
    };
    using Stage = std::variant<Typing, Fingerprint>;

    static constexpr double armDelay = 0.5;
    static constexpr double watchdogDelay = 1.5;
    static constexpr double juiceSeconds = 0.9;

    UnlockModel(Stage stage, Requester requester, std::vector<SSHKey> keys, double duration, DialogEnvironment env);
    ~UnlockModel();
    UnlockModel(const UnlockModel&) = delete;
    UnlockModel& operator=(const UnlockModel&) = delete;

    // What the view shows; `onChange` runs after any of these changed.
    const Stage& stage() const { return m_stage; }
    bool typingStage() const { return std::holds_alternative<Typing>(m_stage); }
    const std::shared_ptr<BiometricContext>& context() const { return m_context; }
    bool awake() const { return m_awake; }
    bool needsRetry() const { return m_needsRetry; }
    double juice() const { return m_juice; }
    std::optional<double> juiceStart() const { return m_juiceStart; }
    const Requester& requester() const { return m_requester; }
    const std::vector<SSHKey>& keys() const { return m_keys; }
    double duration() const { return m_duration; }
    bool reducedMotion() const { return m_env.reducedMotion(); }
    bool finished() const { return m_finished; }

    std::function<void()> onChange = [] {};
    std::move_only_function<void(PresentResult)> onFinish = [](PresentResult) {};
    std::function<void(double seconds)> onFadeOut = [](double) {};

    void panelKeyChanged(bool isKey);
    // The fingerprint widget made for `context` is now in a shown window.
    void mounted(const std::shared_ptr<BiometricContext>& context);
    void rearm();
    void cancel();
    void abandon();

    void updateTyped(const std::string& keyPath, SecretString text);
    bool canSubmit() const;
    void submitTyped();

    // The keys' file names as a list in the current language ("a, b and c").
    std::string keyNames() const;

    // Progress of the success fill at `t` in [0, 1] of its run, and the run's share of time at
    // which the fill reaches `progress`.
    static double juiceCurve(double t);
    static double juiceTimeAt(double progress);

    // A context or panel as the log lines write it: its address's low 24 bits in upper-case hex.
    static std::string identity(const void* object);

private:
    using ContextPtr = std::shared_ptr<BiometricContext>;

    void focusLost();
    void focusRegained();
    void arm();
    void armedCheck(const ContextPtr& c);
    void startWatchdog();
    void evaluate(const ContextPtr& c);
    void evaluationEnded(const ContextPtr& c, std::expected<bool, BiometricContext::Error> outcome);
    void succeed(const ContextPtr& c);
    void end(const char* logLine, PresentResult result);
    void finish(PresentResult result);
    void freshContext();
    void later(double seconds, std::function<void()> work);
    bool fingerprintStage() const { return std::holds_alternative<Fingerprint>(m_stage); }

    Stage m_stage;
    ContextPtr m_context;
    bool m_awake = false;
    bool m_needsRetry = false;
    double m_juice = 0;
    std::optional<double> m_juiceStart;
    std::map<std::string, SecretString> m_typed;
    Requester m_requester;
    std::vector<SSHKey> m_keys;
    double m_duration;
    DialogEnvironment m_env;

    ContextPtr m_evaluating;
    ContextPtr m_mountedView;
    bool m_panelKey = false;
    bool m_watchdogStarted = false;
    bool m_evaluationStarted = false;
    // Held, not just their addresses, so a new context can never be mistaken for an old one.
    std::set<ContextPtr> m_attempted;
    std::set<ContextPtr> m_invalidatedOnBlur;
    bool m_succeeded = false;
    bool m_finished = false;
    bool m_needsRearmOnFocus = false;
    bool m_appearSoundPlayed = false;
    // Delayed work and evaluation replies check this, so none runs after the model is gone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

// The askpass question dialog: a text, one field, an answer or nothing.
class PromptModel
{
public:
    PromptModel(std::string question, bool hidden)
        : text(std::move(question))
        , secret(hidden)
    {
    }

    const std::string text;
    const bool secret;
    SecretString answer;
    std::move_only_function<void(std::optional<SecretString>)> onFinish = [](std::optional<SecretString>) {};

    void submit();
    void cancel();
    bool finished() const { return m_finished; }

private:
    bool m_finished = false;
};

} // namespace vantorelle

#include "dialogs/UnlockModel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "i18n/L.h"
#include "platform/AppText.h"
#include "platform/Log.h"

namespace vantorelle {

namespace {

constexpr const char* category = "touchid";

void log(const std::string& line)
{
    applog::notice(category, line);
}

// A unit cubic Bézier from (0, 0) to (1, 1) with control points (0.33, 1.0) and (0.68, 1.0): fast
// at first, then easing into the full level.
double bezier(double s, double p1, double p2)
{
    const double r = 1 - s;
    return 3 * r * r * s * p1 + 3 * r * s * s * p2 + s * s * s;
}

// Both coordinates grow with s, so bisection finds the parameter where one reaches `target`.
template <typename F> double solve(F coordinate, double target)
{
    double low = 0, high = 1;
    for (int i = 0; i < 60; ++i) {
        const double mid = (low + high) / 2;
        (coordinate(mid) < target ? low : high) = mid;
    }
    return (low + high) / 2;
}

} // namespace

UnlockModel::UnlockModel(Stage stage, Requester requester, std::vector<SSHKey> keys, double duration,
                         DialogEnvironment env)
    : m_stage(std::move(stage))
    , m_requester(std::move(requester))
    , m_keys(std::move(keys))
    , m_duration(duration)
    , m_env(std::move(env))
{
    m_context = m_env.newContext();
}

UnlockModel::~UnlockModel()
{
    *m_alive = false;
    if (m_context) {
        m_context->invalidate();
    }
}

double UnlockModel::juiceCurve(double t)
{
    if (t <= 0 || t >= 1) {
        return std::clamp(t, 0.0, 1.0);
    }
    return bezier(solve([](double s) { return bezier(s, 0.33, 0.68); }, t), 1.0, 1.0);
}

double UnlockModel::juiceTimeAt(double progress)
{
    return bezier(solve([](double s) { return bezier(s, 1.0, 1.0); }, progress), 0.33, 0.68);
}

std::string UnlockModel::identity(const void* object)
{
    char text[8];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(object) & 0xFFFFFF));
    return text;
}

void UnlockModel::later(double seconds, std::function<void()> work)
{
    m_env.clock.after(seconds, [alive = std::weak_ptr<bool>(m_alive), work = std::move(work)] {
        if (const auto flag = alive.lock(); flag && *flag) {
            work();
        }
    });
}

void UnlockModel::freshContext()
{
    m_context = m_env.newContext();
    onChange();
}

void UnlockModel::panelKeyChanged(bool isKey)
{
    m_panelKey = isKey;
    if (!isKey) {
        focusLost();
        return;
    }
    if (!m_appearSoundPlayed) {
        m_appearSoundPlayed = true;
        m_env.play(Sounds::Name::appear);
    }
    log("panel key again (needs re-arm " + boolText(m_needsRearmOnFocus) + ", retry shown " + boolText(m_needsRetry) + ")");
    focusRegained();
    arm();
    startWatchdog();
}

void UnlockModel::mounted(const ContextPtr& c)
{
    log("LAAuthenticationView mounted, window present, context " + identity(c.get()) + ", panel key "
        + boolText(m_panelKey));
    if (c == m_context && !m_finished) {
        m_mountedView = c;
        arm();
    } else {
        log("remount ignored, stale context " + identity(c.get()));
    }
}

void UnlockModel::arm()
{
    if (!m_panelKey || !m_mountedView || m_mountedView != m_context || m_finished) {
        return;
    }
    const bool attempted = m_attempted.contains(m_context);
    if (!m_evaluating && !attempted) {
        m_evaluating = m_context;
        m_attempted.insert(m_context);
        later(armDelay, [this, c = m_context] { armedCheck(c); });
    } else {
        log("remount ignored, context " + identity(m_context.get()) + " (evaluating " + boolText(m_evaluating != nullptr)
            + ", already attempted " + boolText(attempted) + ")");
    }
}

void UnlockModel::armedCheck(const ContextPtr& c)
{
    if (c == m_context && !m_finished && m_panelKey) {
        evaluate(c);
        return;
    }
    log("arm dropped after delay, context " + identity(c.get()) + ", panel key " + boolText(m_panelKey));
    if (m_evaluating == c) {
        m_evaluating.reset();
        m_attempted.erase(c);
    }
}

void UnlockModel::focusLost()
{
    if (!fingerprintStage() || m_finished || m_succeeded || m_needsRetry) {
        return;
    }
    if (!m_evaluating || !m_evaluationStarted) {
        log("focus lost, no evaluation in flight, nothing to cancel");
        return;
    }
    const ContextPtr c = std::move(m_evaluating);
    m_evaluating.reset();
    log("focus lost during evaluation, invalidating context " + identity(c.get()) + "; will re-arm on focus");
    m_invalidatedOnBlur.insert(c);
    m_needsRearmOnFocus = true;
    c->invalidate();
}

void UnlockModel::focusRegained()
{
    if (!m_needsRearmOnFocus) {
        return;
    }
    m_needsRearmOnFocus = false;
    if (!fingerprintStage() || m_finished || m_succeeded) {
        return;
    }
    m_needsRetry = false;
    m_evaluating.reset();
    m_mountedView.reset();
    m_evaluationStarted = false;
    freshContext();
    log("focus regained, re-arming with new context " + identity(m_context.get()));
}

void UnlockModel::startWatchdog()
{
    if (!fingerprintStage() || m_watchdogStarted) {
        return;
    }
    m_watchdogStarted = true;
    later(watchdogDelay, [this] {
        if (!fingerprintStage() || m_finished || m_succeeded) {
            return;
        }
        if (m_evaluationStarted) {
            log("watchdog: evaluation had started, nothing to do");
            return;
        }
        log("watchdog: no evaluation 1.5s after the panel became key (mounted " + boolText(m_mountedView != nullptr)
            + ", key " + boolText(m_panelKey) + "); re-arming once with a new context");
        m_context->invalidate();
        m_evaluating.reset();
        m_mountedView.reset();
        m_evaluationStarted = false;
        freshContext();
        log("watchdog re-arm, new context " + identity(m_context.get()));
    });
}

void UnlockModel::evaluate(const ContextPtr& c)
{
    m_evaluationStarted = true;
    log("evaluatePolicy started, context " + identity(c.get()) + ", app active " + boolText(m_env.appActive()));
    c->evaluate(L("dialog.reason", {m_requester.displayName}),
                [this, alive = std::weak_ptr<bool>(m_alive), c](std::expected<bool, BiometricContext::Error> outcome) {
                    if (const auto flag = alive.lock(); flag && *flag) {
                        evaluationEnded(c, std::move(outcome));
                    }
                });
}

void UnlockModel::evaluationEnded(const ContextPtr& c, std::expected<bool, BiometricContext::Error> outcome)
{
    if (outcome) {
        log("evaluatePolicy finished, context " + identity(c.get()) + ", success " + boolText(*outcome));
    } else {
        log("evaluatePolicy finished, context " + identity(c.get()) + ", failed: " + outcome.error().text());
    }
    if (m_evaluating == c) {
        m_evaluating.reset();
    }
    if (c != m_context || m_finished) {
        return;
    }
    if (outcome) {
        if (*outcome) {
            succeed(c);
        }
        return;
    }
    const int code = outcome.error().dialogCode();
    if (m_invalidatedOnBlur.erase(c) > 0) {
        log("cancel from our own focus-loss invalidation, no retry state");
    } else if (code == BiometricContext::biometryNotAvailable || code == BiometricContext::biometryNotEnrolled
               || code == BiometricContext::biometryLockout) {
        m_env.play(Sounds::Name::fail);
        m_stage = Typing{L("dialog.typing.unavailable")};
        onChange();
    } else if ((code == BiometricContext::systemCancel || code == BiometricContext::appCancel)
               && (!m_panelKey || !m_env.appActive())) {
        log("system cancel while not in front, will re-arm on focus");
        m_needsRearmOnFocus = true;
    } else {
        m_env.play(Sounds::Name::fail);
        m_needsRetry = true;
        onChange();
    }
}

void UnlockModel::succeed(const ContextPtr& c)
{
    m_succeeded = true;
    m_juiceStart = m_env.clock.now();
    m_env.play(Sounds::Name::success);
    auto approve = [this, c] { finish(PresentResult::Approved{c}); };
    if (m_env.reducedMotion()) {
        m_awake = true;
        onChange();
        later(0.3 + 1.1, [this, approve] {
            onFadeOut(0.3);
            later(0.3, approve);
        });
        return;
    }
    m_juice = 1;
    onChange();
    const double wake = juiceSeconds * juiceTimeAt(0.55);
    later(wake, [this, wake, approve] {
        m_awake = true;
        onChange();
        later(juiceSeconds - wake + 1.1, [this, approve] {
            onFadeOut(0.35);
            later(0.35, approve);
        });
    });
}

void UnlockModel::rearm()
{
    if (fingerprintStage() && !m_evaluating && !m_succeeded && !m_finished) {
        m_needsRetry = false;
        m_evaluationStarted = false;
        freshContext();
        log("rearm, new context " + identity(m_context.get()));
        return;
    }
    log("rearm ignored (evaluating " + boolText(m_evaluating != nullptr) + ", succeeded " + boolText(m_succeeded) + ", finished "
        + boolText(m_finished) + ")");
}

void UnlockModel::cancel()
{
    end("cancel", PresentResult::Cancelled{});
}

void UnlockModel::abandon()
{
    end("abandoned", PresentResult::Abandoned{});
}

void UnlockModel::end(const char* logLine, PresentResult result)
{
    if (m_succeeded) {
        return;
    }
    log(logLine);
    m_context->invalidate();
    m_typed.clear();
    onChange();
    finish(std::move(result));
}

void UnlockModel::finish(PresentResult result)
{
    if (m_finished) {
        return;
    }
    m_finished = true;
    onFinish(std::move(result));
}

void UnlockModel::updateTyped(const std::string& keyPath, SecretString text)
{
    m_typed.insert_or_assign(keyPath, std::move(text));
    onChange();
}

bool UnlockModel::canSubmit() const
{
    return std::any_of(m_typed.begin(), m_typed.end(), [](const auto& entry) { return !entry.second.empty(); });
}

void UnlockModel::submitTyped()
{
    PresentResult::Typed typed;
    for (auto& [path, text] : m_typed) {
        if (!text.empty()) {
            typed.passphrases.emplace(path, std::move(text));
        }
    }
    if (typed.passphrases.empty()) {
        return;
    }
    m_typed.clear();
    onChange();
    finish(std::move(typed));
}

std::string UnlockModel::keyNames() const
{
    std::vector<std::string> names;
    for (const auto& key : m_keys) {
        names.push_back(key.displayName());
    }
    // English lists take a serial comma ("a, b, and c"); French ones do not ("a, b et c").
    const bool french = i18n::currentLanguage() == Language::French;
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            const bool last = i + 1 == names.size();
            text += !last ? ", " : french ? " et " : names.size() == 2 ? " and " : ", and ";
        }
        text += names[i];
    }
    return text;
}

void PromptModel::submit()
{
    SecretString given = std::move(answer);
    answer.clear();
    if (!m_finished) {
        m_finished = true;
        onFinish(std::move(given));
    }
}

void PromptModel::cancel()
{
    answer.clear();
    if (!m_finished) {
        m_finished = true;
        onFinish(std::nullopt);
    }
}

} // namespace vantorelle

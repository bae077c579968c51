#include "dialogs/DialogPresenter.h"

#include <QMetaObject>

#include "i18n/L.h"
#include "platform/Log.h"

namespace vantorelle {

namespace {

void log(const std::string& line)
{
    applog::notice("touchid", line);
}

const char* resultName(const PresentResult& result)
{
    static constexpr const char* names[] = {"approved", "typed", "cancelled", "abandoned"};
    return names[result.value.index()];
}

std::string typingLine(const std::string& reason)
{
    return L(reason == "invalidated"   ? "dialog.typing.invalidated"
                 : reason == "missing" ? "dialog.typing.missing"
                                       : "dialog.typing.generic");
}

} // namespace

// One request for a panel, from the coordinator's call to its completion.
struct DialogPresenter::Presentation
{
    enum class State { posted, queued, starting, shown, ended };

    bool prompt = false;
    State state = State::posted;
    std::stop_token cancelled;
    // Unlock
    Requester requester;
    std::vector<SSHKey> keys;
    double duration = 0;
    PresentMode mode = PresentMode::Biometric{};
    UnlockCompletion unlockDone;
    std::unique_ptr<UnlockModel> unlock;
    // Prompt
    std::string text;
    bool secret = false;
    PromptCompletion promptDone;
    std::unique_ptr<PromptModel> question;

    std::unique_ptr<DialogViews::Panel> panel;
    std::optional<std::stop_callback<std::function<void()>>> onWithdrawn;
};

DialogPresenter::DialogPresenter(Parts parts)
    : m_parts(std::move(parts))
    , m_context(std::make_unique<QObject>())
{
}

DialogPresenter::~DialogPresenter()
{
    // Completions still held count as abandoned when they go; close the panel first.
    if (m_shown) {
        m_shown->panel.reset();
    }
}

void DialogPresenter::post(std::function<void()> work)
{
    QMetaObject::invokeMethod(m_context.get(), std::move(work), Qt::QueuedConnection);
}

void DialogPresenter::showUnlock(const Requester& requester, const std::vector<SSHKey>& keys, double duration,
                                 const PresentMode& mode, std::stop_token cancelled, UnlockCompletion done)
{
    auto p = std::make_shared<Presentation>();
    p->requester = requester;
    p->keys = keys;
    p->duration = duration;
    p->mode = mode;
    p->cancelled = cancelled;
    p->unlockDone = std::move(done);
    submit(p);
}

void DialogPresenter::showPrompt(const std::string& text, bool secret, std::stop_token cancelled, PromptCompletion done)
{
    auto p = std::make_shared<Presentation>();
    p->prompt = true;
    p->text = text;
    p->secret = secret;
    p->cancelled = cancelled;
    p->promptDone = std::move(done);
    submit(p);
}

void DialogPresenter::submit(const Handle& p)
{
    p->onWithdrawn.emplace(p->cancelled, [this, weak = std::weak_ptr(p)] {
        post([this, weak] {
            if (auto withdrawnOne = weak.lock()) {
                withdrawn(withdrawnOne);
            }
        });
    });
    post([this, p] { enqueue(p); });
}

void DialogPresenter::notifyBackground(const Requester& requester)
{
    post([this, requester] { m_parts.notify(requester); });
}

void DialogPresenter::enqueue(const Handle& p)
{
    if (m_busy) {
        log(std::string(p->prompt ? "prompt" : "unlock") + " request while a panel is open, queue length now "
            + std::to_string(m_waiting.size() + 1));
        p->state = Presentation::State::queued;
        m_waiting.push_back(p);
        return;
    }
    m_busy = true;
    start(p);
}

void DialogPresenter::release()
{
    if (m_waiting.empty()) {
        m_busy = false;
        return;
    }
    auto next = std::move(m_waiting.front());
    m_waiting.pop_front();
    start(next);
}

// A request withdrawn while it waits ends at once rather than when its turn would come: the
// helper behind it is gone and nothing should hold its place in the queue.
void DialogPresenter::withdrawn(const Handle& p)
{
    switch (p->state) {
    case Presentation::State::queued:
        std::erase(m_waiting, p);
        skip(p);
        break;
    case Presentation::State::shown:
        p->prompt ? p->question->cancel() : p->unlock->abandon();
        break;
    default: // not yet in the queue, or being started: both look at the token themselves
        break;
    }
}

void DialogPresenter::skip(const Handle& p)
{
    p->state = Presentation::State::ended;
    if (p->prompt) {
        p->promptDone(std::nullopt);
    } else {
        log("unlock presentation skipped, abandoned while queued");
        p->unlockDone(PresentResult::Abandoned{});
    }
}

void DialogPresenter::start(const Handle& p)
{
    if (p->cancelled.stop_requested()) {
        skip(p);
        release();
        return;
    }
    p->state = Presentation::State::starting;
    if (p->prompt) {
        log("prompt presentation started");
        p->question = std::make_unique<PromptModel>(p->text, p->secret);
        p->question->onFinish = [this, raw = p.get()](std::optional<SecretString> answer) {
            finish(*raw, std::nullopt, std::move(answer));
        };
        present(p);
        return;
    }
    if (const auto* typing = std::get_if<PresentMode::TypePassphrase>(&p->mode.value)) {
        show(p, UnlockModel::Typing{typingLine(typing->reason)});
        return;
    }
    m_parts.fingerprintAvailable([this, p](bool available) {
        if (available) {
            show(p, UnlockModel::Fingerprint{});
        } else {
            show(p, UnlockModel::Typing{L("dialog.typing.unavailable")});
        }
    });
}

void DialogPresenter::show(const Handle& p, UnlockModel::Stage stage)
{
    if (p->cancelled.stop_requested()) {
        skip(p);
        release();
        return;
    }
    std::string names;
    for (const auto& key : p->keys) {
        names += (names.empty() ? "" : ",") + key.displayName();
    }
    log(std::string("unlock presentation started, stage ")
        + (std::holds_alternative<UnlockModel::Typing>(stage) ? "typing" : "touchID") + ", keys "
        + std::to_string(p->keys.size()) + " [" + names + "]");
    p->unlock
        = std::make_unique<UnlockModel>(std::move(stage), p->requester, p->keys, p->duration, m_parts.environment);
    // The models live inside the presentation: their callbacks must not own it.
    p->unlock->onFinish
        = [this, raw = p.get()](PresentResult result) { finish(*raw, std::move(result), std::nullopt); };
    p->unlock->onFadeOut = [raw = p.get()](double seconds) {
        if (raw->panel) {
            raw->panel->fadeOut(seconds);
        }
    };
    present(p);
}

void DialogPresenter::present(const Handle& p)
{
    if (const auto window = m_parts.focus.activeForeignWindow()) {
        m_previousWindow = window;
    }
    p->state = Presentation::State::shown;
    m_shown = p;
    p->panel = p->prompt ? m_parts.views.showPrompt(*p->question) : m_parts.views.showUnlock(*p->unlock);
    m_parts.setDialogOpen(true);
}

void DialogPresenter::finish(Presentation& p, std::optional<PresentResult> result, std::optional<SecretString> answer)
{
    if (p.state == Presentation::State::ended) {
        return;
    }
    p.state = Presentation::State::ended;
    log(result ? std::string("unlock presentation ended, result ") + resultName(*result)
               : std::string("prompt presentation ended, ") + (answer ? "answered" : "cancelled"));
    p.panel.reset();
    m_parts.setDialogOpen(false);
    if (m_waiting.empty()) {
        if (m_previousWindow) {
            m_parts.focus.activate(*m_previousWindow);
        }
        m_previousWindow.reset();
    }
    // This runs inside the model's own call: the presentation, and the model in it, go only
    // once that call has returned.
    post([ended = std::move(m_shown)] {});
    if (result) {
        p.unlockDone(std::move(*result));
    } else {
        p.promptDone(std::move(answer));
    }
    release();
}

} // namespace vantorelle

// FakeUnlockPresenter: records what the coordinator asks of the dialogs and answers when the test
// says so. Thread-safe; completions are called outside its lock.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <type_traits>
#include <vector>

#include "unlock/UnlockPresenter.h"

namespace vantorelle {

class FakeUnlockPresenter final : public UnlockPresenter
{
    template <typename F> auto locked(F f) const -> decltype(f())
    {
        std::lock_guard lock(m_lock);
        return f();
    }

public:
    struct UnlockCall
    {
        Requester requester;
        std::vector<SSHKey> keys;
        double duration = 0;
        PresentMode mode = PresentMode::Biometric{};
        std::stop_token cancelled;
        bool answered = false;
    };
    struct PromptCall
    {
        std::string text;
        bool secret = false;
        std::stop_token cancelled;
        bool answered = false;
    };

    // As a real dialog does: close and report Abandoned (or no answer) once the token stops.
    bool answerWhenCancelled = false;
    // Let completions go without calling them (a presenter that loses its dialog).
    bool dropCompletions = false;

    void showUnlock(const Requester& requester, const std::vector<SSHKey>& keys, double duration,
                    const PresentMode& mode, std::stop_token cancelled, UnlockCompletion done) override
    {
        const size_t index = record(m_unlocks, {requester, keys, duration, mode, cancelled, dropCompletions},
                                    dropCompletions ? nullptr : std::move(done));
        if (answerWhenCancelled) {
            watch(cancelled, [this, index] { answerUnlock(index, PresentResult::Abandoned{}); });
        }
    }
    void notifyBackground(const Requester& requester) override
    {
        std::lock_guard lock(m_lock);
        m_notifications.push_back(requester);
    }
    void showPrompt(const std::string& text, bool secret, std::stop_token cancelled, PromptCompletion done) override
    {
        const size_t index = record(m_prompts, {text, secret, cancelled, false}, std::move(done));
        if (answerWhenCancelled) {
            watch(cancelled, [this, index] { answerPrompt(index, std::nullopt); });
        }
    }

    // Answers call `index`; false if it was answered already.
    bool answerUnlock(size_t index, PresentResult result) { return answer(m_unlocks, index, std::move(result)); }
    bool answerPrompt(size_t index, std::optional<SecretString> reply)
    {
        return answer(m_prompts, index, std::move(reply));
    }

    size_t unlockCount() const
    {
        return locked([&] { return m_unlocks.size(); });
    }
    size_t promptCount() const
    {
        return locked([&] { return m_prompts.size(); });
    }
    UnlockCall unlockCall(size_t index) const
    {
        return locked([&] { return m_unlocks.at(index).first; });
    }
    PromptCall promptCall(size_t index) const
    {
        return locked([&] { return m_prompts.at(index).first; });
    }
    std::vector<size_t> unansweredUnlocks() const { return unanswered(m_unlocks); }
    std::vector<size_t> unansweredPrompts() const { return unanswered(m_prompts); }
    std::vector<Requester> notifications() const
    {
        return locked([&] { return m_notifications; });
    }

private:
    template <typename Call, typename Done> using Calls = std::deque<std::pair<Call, Done>>;

    template <typename Call, typename Done>
    size_t record(Calls<Call, Done>& calls, std::type_identity_t<Call> call, std::type_identity_t<Done> done)
    {
        return locked([&] {
            calls.emplace_back(std::move(call), std::move(done));
            return calls.size() - 1;
        });
    }
    template <typename Call, typename Done, typename Result>
    bool answer(Calls<Call, Done>& calls, size_t index, Result result)
    {
        Done done;
        {
            std::lock_guard lock(m_lock);
            if (index >= calls.size() || calls[index].first.answered) {
                return false;
            }
            calls[index].first.answered = true;
            done = std::move(calls[index].second);
        }
        done(std::move(result));
        return true;
    }
    template <typename Call, typename Done> std::vector<size_t> unanswered(const Calls<Call, Done>& calls) const
    {
        std::lock_guard lock(m_lock);
        std::vector<size_t> result;
        for (size_t i = 0; i < calls.size(); ++i) {
            if (!calls[i].first.answered) {
                result.push_back(i);
            }
        }
        return result;
    }
    void watch(const std::stop_token& token, std::function<void()> onStop)
    {
        // Registered outside the lock: an already stopped token runs the callback right here.
        auto callback = std::make_shared<std::stop_callback<std::function<void()>>>(token, std::move(onStop));
        std::lock_guard lock(m_lock);
        m_watches.push_back(std::move(callback));
    }

    mutable std::mutex m_lock;
    Calls<UnlockCall, UnlockCompletion> m_unlocks;
    Calls<PromptCall, PromptCompletion> m_prompts;
    std::vector<Requester> m_notifications;
    std::vector<std::shared_ptr<void>> m_watches;
};

} // namespace vantorelle

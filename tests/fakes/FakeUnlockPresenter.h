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
#include <vector>

#include "unlock/UnlockPresenter.h"

namespace vantorelle {

class FakeUnlockPresenter final : public UnlockPresenter
{
public:
    struct UnlockCall
    {
        Requester requester;
        std::vector<SSHKey> keys;
        double duration = 0;
        PresentMode mode = PresentMode::Biometric{};
        std::stop_token cancelled;
        UnlockCompletion done;
        bool answered = false;
    };
    struct PromptCall
    {
        std::string text;
        bool secret = false;
        std::stop_token cancelled;
        PromptCompletion done;
        bool answered = false;
    };

    // As a real dialog does: close and report Abandoned (or no answer) once the token stops.
    bool answerWhenCancelled = false;
    // Let completions go without calling them (a presenter that loses its dialog).
    bool dropCompletions = false;

    void showUnlock(const Requester& requester, const std::vector<SSHKey>& keys, double duration,
                    const PresentMode& mode, std::stop_token cancelled, UnlockCompletion done) override
    {
        size_t index;
        {
            std::lock_guard lock(m_lock);
            if (dropCompletions) {
                m_unlocks.push_back({requester, keys, duration, mode, cancelled, nullptr, true});
                return;
            }
            index = m_unlocks.size();
            m_unlocks.push_back({requester, keys, duration, mode, cancelled, std::move(done), false});
        }
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
        size_t index;
        {
            std::lock_guard lock(m_lock);
            index = m_prompts.size();
            m_prompts.push_back({text, secret, cancelled, std::move(done), false});
        }
        if (answerWhenCancelled) {
            watch(cancelled, [this, index] { answerPrompt(index, std::nullopt); });
        }
    }

    // Answers call `index`; false if it was answered already.
    bool answerUnlock(size_t index, PresentResult result)
    {
        UnlockCompletion done;
        {
            std::lock_guard lock(m_lock);
            if (index >= m_unlocks.size() || m_unlocks[index].answered) {
                return false;
            }
            m_unlocks[index].answered = true;
            done = std::move(m_unlocks[index].done);
        }
        done(std::move(result));
        return true;
    }
    bool answerPrompt(size_t index, std::optional<SecretString> answer)
    {
        PromptCompletion done;
        {
            std::lock_guard lock(m_lock);
            if (index >= m_prompts.size() || m_prompts[index].answered) {
                return false;
            }
            m_prompts[index].answered = true;
            done = std::move(m_prompts[index].done);
        }
        done(std::move(answer));
        return true;
    }

    size_t unlockCount() const
    {
        std::lock_guard lock(m_lock);
        return m_unlocks.size();
    }
    size_t promptCount() const
    {
        std::lock_guard lock(m_lock);
        return m_prompts.size();
    }
    // A copy of what call `index` was asked (without its completion).
    UnlockCall unlockCall(size_t index) const
    {
        std::lock_guard lock(m_lock);
        const UnlockCall& call = m_unlocks.at(index);
        return {call.requester, call.keys, call.duration, call.mode, call.cancelled, nullptr, call.answered};
    }
    PromptCall promptCall(size_t index) const
    {
        std::lock_guard lock(m_lock);
        const PromptCall& call = m_prompts.at(index);
        return {call.text, call.secret, call.cancelled, nullptr, call.answered};
    }
    std::vector<size_t> unansweredUnlocks() const
    {
        std::lock_guard lock(m_lock);
        std::vector<size_t> result;
        for (size_t i = 0; i < m_unlocks.size(); ++i) {
            if (!m_unlocks[i].answered) {
                result.push_back(i);
            }
        }
        return result;
    }
    std::vector<size_t> unansweredPrompts() const
    {
        std::lock_guard lock(m_lock);
        std::vector<size_t> result;
        for (size_t i = 0; i < m_prompts.size(); ++i) {
            if (!m_prompts[i].answered) {
                result.push_back(i);
            }
        }
        return result;
    }
    std::vector<Requester> notifications() const
    {
        std::lock_guard lock(m_lock);
        return m_notifications;
    }

private:
    using Watch = std::stop_callback<std::function<void()>>;

    void watch(const std::stop_token& token, std::function<void()> onStop)
    {
        // Registered outside the lock: an already stopped token runs the callback right here.
        auto callback = std::make_shared<Watch>(token, std::move(onStop));
        std::lock_guard lock(m_lock);
        m_watches.push_back(std::move(callback));
    }

    mutable std::mutex m_lock;
    std::deque<UnlockCall> m_unlocks;
    std::deque<PromptCall> m_prompts;
    std::vector<Requester> m_notifications;
    std::vector<std::shared_ptr<Watch>> m_watches;
};

} // namespace vantorelle

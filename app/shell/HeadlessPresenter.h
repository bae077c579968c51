// HeadlessPresenter: the coordinator's presenter while the app has no dialogs of its own.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

#include "unlock/UnlockPresenter.h"

namespace vantorelle {

// Background refusals become desktop notifications (through `notify`, on the GUI thread). Unlock
// dialogs and free questions cannot be shown yet: they end at once as Abandoned and cancelled, so
// the helper reports a refusal instead of waiting. Completions are called from the GUI thread.
class HeadlessPresenter final : public UnlockPresenter
{
public:
    using Notify = std::function<void(const Requester&)>;
    explicit HeadlessPresenter(Notify notify);
    ~HeadlessPresenter() override;

    void showUnlock(const Requester& requester, const std::vector<SSHKey>& keys, double duration,
                    const PresentMode& mode, std::stop_token cancelled, UnlockCompletion done) override;
    void notifyBackground(const Requester& requester) override;
    void showPrompt(const std::string& text, bool secret, std::stop_token cancelled, PromptCompletion done) override;

private:
    Notify m_notify;
    // Work posted to the GUI thread is bound to this object, so it is dropped with the presenter
    // (and the completions it holds count as abandoned) instead of running afterwards.
    std::unique_ptr<QObject> m_context;
};

} // namespace vantorelle

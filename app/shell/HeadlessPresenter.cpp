// HeadlessPresenter: refusals only, each answered from the GUI thread.
#include "shell/HeadlessPresenter.h"

#include <QMetaObject>

#include "platform/Log.h"

namespace vantorelle {

HeadlessPresenter::HeadlessPresenter(Notify notify)
    : m_notify(std::move(notify))
    , m_context(std::make_unique<QObject>())
{
}

HeadlessPresenter::~HeadlessPresenter() = default;

void HeadlessPresenter::showUnlock(const Requester& requester, const std::vector<SSHKey>& keys, double duration,
                                   const PresentMode&, std::stop_token, UnlockCompletion done)
{
    applog::notice("app",
                   "no unlock dialog to show for " + requester.displayName + " (" + std::to_string(keys.size())
                       + " keys, window of " + std::to_string(static_cast<long long>(duration)) + " s)");
    QMetaObject::invokeMethod(
        m_context.get(),
        [done = std::make_shared<UnlockCompletion>(std::move(done))] { (*done)(PresentResult::Abandoned{}); },
        Qt::QueuedConnection);
}

void HeadlessPresenter::notifyBackground(const Requester& requester)
{
    QMetaObject::invokeMethod(
        m_context.get(), [this, requester] { m_notify(requester); }, Qt::QueuedConnection);
}

void HeadlessPresenter::showPrompt(const std::string&, bool, std::stop_token, PromptCompletion done)
{
    applog::notice("app", "no dialog to show for a free question");
    QMetaObject::invokeMethod(
        m_context.get(), [done = std::make_shared<PromptCompletion>(std::move(done))] { (*done)(std::nullopt); },
        Qt::QueuedConnection);
}

} // namespace vantorelle

// DialogPresenter: the app's unlock and question dialogs, one on screen at a time, first come first served.
#pragma once

#include <QObject>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "dialogs/UnlockModel.h"
#include "unlock/UnlockPresenter.h"

namespace vantorelle {

// The panels themselves (Qt widgets in the app, records in tests).
class DialogViews
{
public:
    // Destroying a panel closes it; the panel must not be deleted from inside its own event
    // handler, so implementations hand the widget to deleteLater().
    class Panel
    {
    public:
        virtual ~Panel() = default;
        virtual void fadeOut(double seconds) = 0;
    };

    virtual ~DialogViews() = default;
    // Shows the panel for the model, wiring Escape and the cancel link to its cancel() and the
    // panel's focus changes to panelKeyChanged().
    virtual std::unique_ptr<Panel> showUnlock(UnlockModel& model) = 0;
    virtual std::unique_ptr<Panel> showPrompt(PromptModel& model) = 0;
};

// The window the user was in before our panel, so the focus can go back to it.
class WindowFocus
{
public:
    using Window = std::uint64_t;
    virtual ~WindowFocus() = default;
    // The window that has the focus, unless there is none or it is one of ours.
    virtual std::optional<Window> activeForeignWindow() = 0;
    // Gives the focus to `window` if it still exists.
    virtual void activate(Window window) = 0;
};

// Every UnlockPresenter call hops to the GUI thread; everything else happens there. Destroy the
// coordinator before the presenter: a request withdrawn after that would reach a dead presenter.
class DialogPresenter final : public UnlockPresenter
{
public:
    struct Parts
    {
        DialogViews& views;
        WindowFocus& focus;
        DialogEnvironment environment;
        std::function<void(bool open)> setDialogOpen;
        std::function<void(const Requester&)> notify;
        // Answers once, on the GUI thread and within a short deadline, whether a fingerprint can
        // be asked for now (a reader, an enrolled finger).
        std::function<void(std::move_only_function<void(bool)>)> fingerprintAvailable;
    };

    explicit DialogPresenter(Parts parts);
    ~DialogPresenter() override;

    void showUnlock(const Requester& requester, const std::vector<SSHKey>& keys, double duration,
                    const PresentMode& mode, std::stop_token cancelled, UnlockCompletion done) override;
    void notifyBackground(const Requester& requester) override;
    void showPrompt(const std::string& text, bool secret, std::stop_token cancelled, PromptCompletion done) override;

private:
    struct Presentation;
    using Handle = std::shared_ptr<Presentation>;

    void post(std::function<void()> work);
    void submit(const Handle& p);
    void enqueue(const Handle& p);
    void withdrawn(const Handle& p);
    void start(const Handle& p);
    void show(const Handle& p, UnlockModel::Stage stage);
    void present(const Handle& p);
    void skip(const Handle& p);
    void finish(Presentation& p, std::optional<PresentResult> result, std::optional<SecretString> answer);
    void release();

    Parts m_parts;
    std::unique_ptr<QObject> m_context;
    bool m_busy = false;
    std::deque<Handle> m_waiting;
    Handle m_shown;
    std::optional<WindowFocus::Window> m_previousWindow;
};

} // namespace vantorelle

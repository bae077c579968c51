#include "dialogs/DialogPresenter.h"

#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <tuple>
#include <xcb/xcb.h>

#include "app/TestApplication.h"
#include "app/dialogs/DialogFakes.h"
#include "dialogs/WindowFocus.h"
#include "i18n/L.h"
#include "sys/ChildProcess.h"
#include "sys/Io.h"
#include "sys/Pipe.h"

namespace vantorelle {
namespace {

using namespace std::chrono_literals;
using namespace test;

template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

// The presenter with fake panels and the real X11 focus on a private X server. The test plays the
// window manager on the presenter's own connection: it sets _NET_ACTIVE_WINDOW on the root window
// and watches there for activation requests.
struct Presenter : ::testing::Test, DialogViews
{
    struct Panel final : DialogViews::Panel
    {
        void fadeOut(double) override { }
    };

    ManualClock clock;
    std::vector<UnlockModel*> unlocks;
    std::vector<PromptModel*> prompts;
    std::vector<bool> dialogOpen;
    std::map<std::string, std::stop_source> requests;
    std::string ends;
    bool reader = true;
    std::optional<ChildProcess> xvfb;
    xcb_connection_t* x = nullptr;
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection{nullptr, &xcb_disconnect};
    std::unique_ptr<X11WindowFocus> focus;
    std::unique_ptr<DialogPresenter> presenter;

    static void SetUpTestSuite() { testApplication(); }
    void SetUp() override
    {
        auto pipe = Pipe::create();
        auto server = ChildProcess::spawn({.path = "/usr/bin/Xvfb",
                                           .args = {"-displayfd", "1", "-nolisten", "tcp", "-nolisten", "unix"},
                                           .env = Environment::current(),
                                           .stdoutFd = pipe->write.get()});
        ASSERT_TRUE(server) << "Xvfb did not start: " << std::strerror(server.error());
        xvfb = std::move(*server);
        pipe->write.reset();
        std::string display = ":";
        for (char c = 0; io::pollOne(pipe->read.get(), POLLIN, std::chrono::steady_clock::now() + 30s) > 0
             && ::read(pipe->read.get(), &c, 1) == 1 && c != '\n';) {
            display.push_back(c);
        }
        connection.reset(x = xcb_connect(display.c_str(), nullptr));
        ASSERT_FALSE(xcb_connection_has_error(x)) << "no X server at " << display;
        const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(x, root(), XCB_CW_EVENT_MASK, &mask);
        focus = std::make_unique<X11WindowFocus>(x);
        presenter = std::make_unique<DialogPresenter>(DialogPresenter::Parts{
            .views = *this,
            .focus = *focus,
            .environment = {.clock = clock, .newContext = [this] { return std::make_shared<FakeContext>(); }},
            .setDialogOpen = [this](bool open) { dialogOpen.push_back(open); },
            .notify = [](const Requester&) {},
            .fingerprintAvailable = [this](auto answer) { answer(reader); }});
    }

    std::unique_ptr<DialogViews::Panel> showUnlock(UnlockModel& model) override
    {
        unlocks.push_back(&model);
        return std::make_unique<Panel>();
    }
    std::unique_ptr<DialogViews::Panel> showPrompt(PromptModel& model) override
    {
        prompts.push_back(&model);
        return std::make_unique<Panel>();
    }

    // Each request's end goes into `ends` as "<name> <result or answer>".
    void unlock(const std::string& name, PresentMode mode = PresentMode::Biometric{})
    {
        presenter->showUnlock({"git", Requester::Kind::interactive}, {SSHKey{.path = "/h/a"}, SSHKey{.path = "/h/b"}},
                              900, mode, requests[name].get_token(), [this, name](PresentResult r) {
                                  const char* results[] = {"approved", "typed", "cancelled", "abandoned"};
                                  ends += name + " " + results[r.value.index()] + ", ";
                              });
        settle();
    }
    void prompt(const std::string& name)
    {
        presenter->showPrompt("Continue?", false, requests[name].get_token(), [this, name](auto answer) {
            ends += name + " " + std::string(answer ? answer->view() : "-") + ", ";
        });
        settle();
    }

    xcb_window_t root() { return xcb_setup_roots_iterator(xcb_get_setup(x)).data->root; }
    xcb_atom_t atom(const char* name)
    {
        const auto length = static_cast<std::uint16_t>(std::strlen(name));
        return Reply<xcb_intern_atom_reply_t>(xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, length, name), nullptr),
                                              &std::free)
            ->atom;
    }
    // A top-level window of the process `pid`.
    xcb_window_t window(std::uint32_t pid)
    {
        const xcb_window_t w = xcb_generate_id(x);
        xcb_create_window(x, XCB_COPY_FROM_PARENT, w, root(), 0, 0, 10, 10, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, w, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
        return w;
    }
    void setActive(xcb_window_t w)
    {
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, root(), atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW, 32, 1, &w);
    }
    // The windows the presenter asked to activate since the last call. The server sends the events
    // a connection's requests cause before its reply to a later request: after a round trip all are queued.
    std::vector<xcb_window_t> activated()
    {
        std::free(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr));
        std::vector<xcb_window_t> windows;
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_queued_event(x), &std::free}) {
            const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event.get());
            if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE && message->type == atom("_NET_ACTIVE_WINDOW")) {
                windows.push_back(message->window);
            }
        }
        return windows;
    }
};

TEST_F(Presenter, PanelsShowInTurnInTheStageTheModeAndReaderSayAndTheFocusReturnsAfterTheLast)
{
    const xcb_window_t editor = window(::getppid());
    setActive(editor);
    unlock("a");
    setActive(window(::getpid())); // the first panel took the focus: the next ones must not remember it
    unlock("b");
    prompt("c");
    unlock("d");
    prompt("e");
    ASSERT_EQ(unlocks.size() + prompts.size(), 1u);
    SCOPED_TRACE("withdrawn while queued: ended at once, without a panel");
    requests["d"].request_stop();
    requests["e"].request_stop();
    settle();
    EXPECT_EQ(ends, "d abandoned, e -, ");
    SCOPED_TRACE("the first cancelled: the next in line shows");
    unlocks[0]->cancel();
    settle();
    ASSERT_EQ(unlocks.size(), 2u);
    EXPECT_TRUE(activated().empty()) << "others are still waiting";
    SCOPED_TRACE("withdrawn while shown: abandoned");
    requests["b"].request_stop();
    settle();
    ASSERT_EQ(prompts.size(), 1u);
    prompts[0]->answer = SecretString(std::string_view("yes"));
    prompts[0]->submit();
    settle();
    EXPECT_EQ(dialogOpen, (std::vector{true, false, true, false, true, false}));
    EXPECT_EQ(activated(), std::vector<xcb_window_t>{editor}) << "the window in front before the first panel";
    SCOPED_TRACE("withdrawn before its turn: never shown");
    requests["f"].request_stop();
    unlock("f");
    SCOPED_TRACE("the window closed while the panel was up: the focus stays where it is");
    setActive(editor);
    unlock("g");
    xcb_destroy_window(x, editor);
    ASSERT_EQ(unlocks.size(), 3u);
    unlocks[2]->cancel();
    settle();
    EXPECT_TRUE(activated().empty());
    EXPECT_EQ(ends, "d abandoned, e -, a cancelled, b abandoned, c yes, f abandoned, g cancelled, ");
    SCOPED_TRACE("the first stage follows the mode and the reader");
    // An empty line stands for the fingerprint stage.
    const std::tuple<PresentMode, bool, std::string> rows[] = {
        {PresentMode::Biometric{}, true, ""},
        {PresentMode::Biometric{}, false, "dialog.typing.unavailable"},
        {PresentMode::TypePassphrase{"missing"}, true, "dialog.typing.missing"},
        {PresentMode::TypePassphrase{"invalidated"}, true, "dialog.typing.invalidated"},
        {PresentMode::TypePassphrase{"other"}, true, "dialog.typing.generic"},
    };
    for (const auto& [mode, withReader, line] : rows) {
        reader = withReader;
        unlock(line, mode);
        EXPECT_EQ(unlocks.back()->stage(),
                  line.empty() ? UnlockModel::Stage{UnlockModel::Fingerprint{}}
                               : UnlockModel::Stage{UnlockModel::Typing{L(line)}});
        requests[line].request_stop();
        settle();
    }
}

} // namespace
} // namespace vantorelle

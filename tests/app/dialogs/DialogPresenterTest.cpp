#include "dialogs/DialogPresenter.h"

#include <QApplication>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <xcb/xcb.h>

#include "app/TestApplication.h"
#include "dialogs/WindowFocus.h"
#include "i18n/L.h"
#include "platform/Log.h"
#include "sys/ChildProcess.h"
#include "sys/Io.h"
#include "sys/Pipe.h"

namespace vantorelle {

using namespace std::chrono_literals;

namespace {

struct NoClock final : DialogClock
{
    double now() const override { return 0; }
    void after(double, std::function<void()>) override { }
};

struct NoReader final : BiometricContext
{
    void evaluate(const std::string&, Reply) override { }
    void invalidate() override { }
};

struct Presenter : ::testing::Test, DialogViews, WindowFocus
{
    struct Shown
    {
        UnlockModel* unlock = nullptr;
        PromptModel* prompt = nullptr;
        bool open = true;
    };
    struct Panel final : DialogViews::Panel
    {
        Shown& shown;
        explicit Panel(Shown& s)
            : shown(s)
        {
        }
        ~Panel() override { shown.open = false; }
        void fadeOut(double) override { }
    };

    NoClock clock;
    std::deque<Shown> shown;
    std::vector<std::string> log, dialogOpen;
    std::optional<Window> front = 7;
    std::vector<Window> activated;
    bool reader = true;
    WindowFocus* focus = this;
    std::unique_ptr<DialogPresenter> presenter;

    static void SetUpTestSuite() { testApplication(); }
    void SetUp() override
    {
        applog::setSink([this](std::string_view, applog::Level, std::string_view line) { log.emplace_back(line); });
        presenter = std::make_unique<DialogPresenter>(DialogPresenter::Parts{
            .views = *this,
            .focus = *focus,
            .environment = {.clock = clock, .newContext = [] { return std::make_shared<NoReader>(); }},
            .setDialogOpen = [this](bool open) { dialogOpen.push_back(open ? "open" : "closed"); },
            .notify = [](const Requester&) {},
            .fingerprintAvailable = [this](auto answer) { answer(reader); }});
    }
    void TearDown() override
    {
        presenter.reset();
        applog::setSink({});
    }

    std::unique_ptr<DialogViews::Panel> showUnlock(UnlockModel& model) override
    {
        return std::make_unique<Panel>(shown.emplace_back(Shown{.unlock = &model}));
    }
    std::unique_ptr<DialogViews::Panel> showPrompt(PromptModel& model) override
    {
        return std::make_unique<Panel>(shown.emplace_back(Shown{.prompt = &model}));
    }
    std::optional<Window> activeForeignWindow() override { return std::exchange(front, std::nullopt); }
    void activate(Window window) override { activated.push_back(window); }

    static void settle()
    {
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::processEvents();
        }
    }
    bool logged(const std::string& line) const { return std::ranges::find(log, line) != log.end(); }

    std::shared_ptr<std::optional<PresentResult>> unlock(std::stop_source& source,
                                                         PresentMode mode = PresentMode::Biometric{})
    {
        auto result = std::make_shared<std::optional<PresentResult>>();
        presenter->showUnlock({"git", Requester::Kind::interactive}, {SSHKey{.path = "/h/a"}, SSHKey{.path = "/h/b"}},
                              900, mode, source.get_token(), [result](PresentResult r) { *result = std::move(r); });
        settle();
        return result;
    }
    std::shared_ptr<std::optional<std::optional<std::string>>> prompt(std::stop_source& source)
    {
        auto answer = std::make_shared<std::optional<std::optional<std::string>>>();
        presenter->showPrompt("Continue?", false, source.get_token(), [answer](std::optional<SecretString> a) {
            *answer = a ? std::optional<std::string>(a->view()) : std::nullopt;
        });
        settle();
        return answer;
    }
};

TEST_F(Presenter, QueuedDialogsShowOneAfterAnotherAndTheFocusReturnsAfterTheLast)
{
    std::stop_source first, second, third;
    auto a = unlock(first);
    auto b = unlock(second);
    auto c = prompt(third);
    EXPECT_TRUE(logged("unlock presentation started, stage touchID, keys 2 [a,b]"));
    EXPECT_TRUE(logged("unlock request while a panel is open, queue length now 1"));
    EXPECT_TRUE(logged("prompt request while a panel is open, queue length now 2"));
    ASSERT_EQ(shown.size(), 1u);
    shown[0].unlock->cancel();
    settle();
    EXPECT_TRUE(logged("unlock presentation ended, result cancelled"));
    ASSERT_TRUE(a->has_value());
    EXPECT_EQ((*a)->value.index(), 2u);
    EXPECT_FALSE(shown[0].open);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_TRUE(activated.empty()) << "others are still waiting";
    EXPECT_FALSE(b->has_value());
    second.request_stop();
    settle();
    EXPECT_TRUE(logged("abandoned"));
    EXPECT_TRUE(logged("unlock presentation ended, result abandoned"));
    ASSERT_TRUE(b->has_value());
    EXPECT_EQ((*b)->value.index(), 3u);
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_TRUE(logged("prompt presentation started"));
    shown[2].prompt->answer = SecretString(std::string_view("yes"));
    shown[2].prompt->submit();
    settle();
    EXPECT_TRUE(logged("prompt presentation ended, answered"));
    EXPECT_EQ(*c, std::optional<std::string>("yes"));
    EXPECT_EQ(dialogOpen, (std::vector<std::string>{"open", "closed", "open", "closed", "open", "closed"}));
    EXPECT_EQ(activated, std::vector<Window>{7}) << "the window in front before the first panel";
}

TEST_F(Presenter, WithdrawnWhileQueuedEndsAtOnceWithoutAPanel)
{
    std::stop_source first, second, third;
    unlock(first);
    auto b = unlock(second);
    auto c = prompt(third);
    const auto linesBefore = log.size();
    second.request_stop();
    third.request_stop();
    settle();
    ASSERT_TRUE(b->has_value() && c->has_value());
    EXPECT_EQ((*b)->value.index(), 3u);
    EXPECT_EQ(**c, std::nullopt);
    EXPECT_EQ(log.size(), linesBefore + 1) << "the prompt logs nothing";
    EXPECT_EQ(log.back(), "unlock presentation skipped, abandoned while queued");
    first.request_stop();
    settle();
    EXPECT_EQ(shown.size(), 1u);
    std::stop_source fourth;
    fourth.request_stop();
    auto d = unlock(fourth);
    EXPECT_EQ(shown.size(), 1u) << "a request already withdrawn never shows";
    EXPECT_TRUE(d->has_value());
}

TEST_F(Presenter, TheFirstStageFollowsTheModeAndTheReader)
{
    const struct
    {
        PresentMode mode;
        bool reader;
        std::string line; // empty: the fingerprint stage
    } rows[] = {
        {PresentMode::Biometric{}, true, ""},
        {PresentMode::Biometric{}, false, "dialog.typing.unavailable"},
        {PresentMode::TypePassphrase{"missing"}, true, "dialog.typing.missing"},
        {PresentMode::TypePassphrase{"invalidated"}, true, "dialog.typing.invalidated"},
        {PresentMode::TypePassphrase{"other"}, true, "dialog.typing.generic"},
    };
    for (const auto& row : rows) {
        reader = row.reader;
        std::stop_source source;
        unlock(source, row.mode);
        const auto& model = *shown.back().unlock;
        EXPECT_EQ(model.stage(),
                  row.line.empty() ? UnlockModel::Stage{UnlockModel::Fingerprint{}}
                                   : UnlockModel::Stage{UnlockModel::Typing{L(row.line)}});
        source.request_stop();
        settle();
    }
    EXPECT_TRUE(logged("unlock presentation started, stage typing, keys 2 [a,b]"));
}

template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

// The presenter with the real X11 focus on a private X server. The test plays the window manager:
// it sets _NET_ACTIVE_WINDOW on the root window and watches there for activation requests.
struct PresenterOnX11 : Presenter
{
    std::optional<ChildProcess> xvfb;
    xcb_connection_t *app = nullptr, *wm = nullptr;
    xcb_window_t root = 0;
    std::unique_ptr<X11WindowFocus> x11;

    void SetUp() override
    {
        if (::access("/usr/bin/Xvfb", X_OK) != 0) {
            GTEST_SKIP() << "Xvfb is not installed";
        }
        auto pipe = Pipe::create();
        xvfb = ChildProcess::spawn({"/usr/bin/Xvfb",
                                    {"-displayfd", "1", "-nolisten", "tcp", "-nolisten", "unix"},
                                    Environment::current(),
                                    std::nullopt,
                                    pipe->write.get()})
                   .value();
        pipe->write.reset();
        std::string display = ":";
        for (char c = 0; io::pollOne(pipe->read.get(), POLLIN, std::chrono::steady_clock::now() + 30s) > 0
             && ::read(pipe->read.get(), &c, 1) == 1 && c != '\n';) {
            display.push_back(c);
        }
        app = xcb_connect(display.c_str(), nullptr);
        wm = xcb_connect(display.c_str(), nullptr);
        ASSERT_FALSE(xcb_connection_has_error(app) || xcb_connection_has_error(wm)) << "no X server at " << display;
        root = xcb_setup_roots_iterator(xcb_get_setup(wm)).data->root;
        const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(wm, root, XCB_CW_EVENT_MASK, &mask);
        x11 = std::make_unique<X11WindowFocus>(app);
        focus = x11.get();
        Presenter::SetUp();
    }
    void TearDown() override
    {
        Presenter::TearDown();
        for (auto* connection : {app, wm}) {
            if (connection) {
                xcb_disconnect(connection);
            }
        }
    }

    xcb_atom_t atom(const char* name)
    {
        Reply<xcb_intern_atom_reply_t> reply(
            xcb_intern_atom_reply(wm, xcb_intern_atom(wm, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
                                  nullptr),
            &std::free);
        return reply->atom;
    }
    // Every request so far carried out by the server, so the other connection sees its effect.
    void sync() { std::free(xcb_get_input_focus_reply(wm, xcb_get_input_focus(wm), nullptr)); }
    // A top-level window of the process `pid`.
    xcb_window_t window(std::uint32_t pid)
    {
        const xcb_window_t w = xcb_generate_id(wm);
        xcb_create_window(wm, XCB_COPY_FROM_PARENT, w, root, 0, 0, 10, 10, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_change_property(wm, XCB_PROP_MODE_REPLACE, w, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
        sync();
        return w;
    }
    void setActive(xcb_window_t w)
    {
        xcb_change_property(wm, XCB_PROP_MODE_REPLACE, root, atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW, 32, 1, &w);
        sync();
    }
    // The windows the app asked to activate so far: a marker the test sends behind the requests on
    // the app's own connection says when all of them have arrived.
    std::vector<xcb_window_t> activated()
    {
        xcb_client_message_event_t marker{.response_type = XCB_CLIENT_MESSAGE, .format = 32, .window = root};
        marker.type = atom("VANTORELLE_TEST_MARKER");
        xcb_send_event(app, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY, reinterpret_cast<const char*>(&marker));
        xcb_flush(app);
        std::vector<xcb_window_t> windows;
        for (const auto deadline = std::chrono::steady_clock::now() + 30s;
             std::chrono::steady_clock::now() < deadline;) {
            Reply<xcb_generic_event_t> event(xcb_poll_for_event(wm), &std::free);
            if (!event) {
                io::pollOne(xcb_get_file_descriptor(wm), POLLIN, deadline);
                continue;
            }
            const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event.get());
            if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE && message->type == marker.type) {
                return windows;
            }
            if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE && message->type == atom("_NET_ACTIVE_WINDOW")) {
                windows.push_back(message->window);
            }
        }
        ADD_FAILURE() << "the marker never came";
        return windows;
    }
};

TEST_F(PresenterOnX11, TheWindowInFrontBeforeTheFirstPanelGetsTheFocusBackAfterTheLastOneIfItStillExists)
{
    const xcb_window_t editor = window(::getppid()), ours = window(::getpid());
    setActive(editor);
    std::stop_source first, second, third;
    unlock(first);
    setActive(ours); // the first panel took the focus: the second must not remember it
    unlock(second);
    shown[0].unlock->cancel();
    settle();
    EXPECT_TRUE(activated().empty()) << "another panel is waiting";
    shown[1].unlock->cancel();
    settle();
    EXPECT_EQ(activated(), std::vector<xcb_window_t>{editor});

    // The window closed while the panel was up: the focus stays where it is.
    setActive(editor);
    unlock(third);
    xcb_destroy_window(wm, editor);
    sync();
    shown[2].unlock->cancel();
    settle();
    EXPECT_TRUE(activated().empty());
}

} // namespace
} // namespace vantorelle

// ParentWatch against real processes: a parent that the test kills, a pid that is not the parent,
// cancellation.
#include "ipc/ParentWatch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/WaitFor.h"
#include "sys/Io.h"
#include "sys/Pipe.h"

namespace vantorelle {
namespace {

using namespace std::chrono_literals;

// Counts calls and lets a test wait for the first one.
struct Counter
{
    std::atomic<int> calls = 0;
    std::function<void()> action()
    {
        return [this] { ++calls; };
    }
    bool waitForCall()
    {
        return test::waitFor([&] { return calls > 0; });
    }
};

// A live process that is not our parent, killed and reaped however the test ends.
class IdleChild
{
public:
    IdleChild()
        : m_pid(::fork())
    {
        if (m_pid == 0) {
            ::pause();
            ::_exit(0);
        }
    }
    ~IdleChild() { stop(); }
    IdleChild(const IdleChild&) = delete;
    IdleChild& operator=(const IdleChild&) = delete;

    pid_t pid() const { return m_pid; }
    void stop()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

private:
    pid_t m_pid;
};

TEST(ParentWatch, NoWatchBelowPidTwoAndQuietWhileTheParentLives)
{
    for (const pid_t pid : {0, 1, -5}) {
        EXPECT_EQ(nullptr, ParentWatch::create(pid, 0.05, [] {}));
    }
    Counter counter;
    auto watch = ParentWatch::create(::getppid(), 0.01, counter.action());
    ASSERT_NE(nullptr, watch);
    // Some twenty ticks: the parent id never changes, so nothing may fire.
    std::this_thread::sleep_for(200ms);
    watch->cancel();
    EXPECT_EQ(0, counter.calls);
}

TEST(ParentWatch, PidThatIsNotTheParentFiresOnTheFirstTickOnceUnlessCancelled)
{
    // A live process that is not our parent: only the tick can notice.
    IdleChild other;
    Counter counter, cancelled;
    const auto started = std::chrono::steady_clock::now();
    auto watch = ParentWatch::create(other.pid(), 0.05, counter.action());
    auto stopped = ParentWatch::create(other.pid(), 0.05, cancelled.action());
    stopped->cancel();
    ASSERT_TRUE(counter.waitForCall());
    EXPECT_GE(std::chrono::steady_clock::now() - started, 45ms);
    // Later ticks and the process's death must not call the action again.
    other.stop();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(1, counter.calls);
    EXPECT_EQ(0, cancelled.calls);
}

TEST(ParentWatch, ActionMayCancelItsOwnWatch)
{
    IdleChild other;
    Counter counter;
    std::unique_ptr<ParentWatch> watch;
    std::atomic<ParentWatch*> raw = nullptr;
    watch = ParentWatch::create(other.pid(), 0.02, [&] {
        while (!raw.load()) {
            std::this_thread::yield();
        }
        raw.load()->cancel();
        counter.action()();
    });
    raw = watch.get();
    EXPECT_TRUE(counter.waitForCall());
    watch.reset();
}

TEST(ParentWatch, ActionMayDestroyItsOwnWatch)
{
    IdleChild other;
    std::atomic<bool> ready = false, destroyed = false;
    std::unique_ptr<ParentWatch> watch;
    watch = ParentWatch::create(other.pid(), 0.02, [&] {
        while (!ready) {
            std::this_thread::yield();
        }
        auto* done = &destroyed; // the closure goes with the watch
        watch.reset(); // the thread cannot join itself: it must let itself go
        *done = true;
    });
    ready = true;
    EXPECT_TRUE(test::waitFor([&] { return destroyed.load(); }));
}

// The family: this test (a subreaper, so it inherits the orphan) -> parent P -> watcher C.
// C watches P and reports each call of its action on a pipe; the test kills P.
struct FireReport
{
    int calls = -1;
    std::chrono::milliseconds latency{};
};

FireReport killParentOfWatcher(double pollInterval)
{
    EXPECT_EQ(0, ::prctl(PR_SET_CHILD_SUBREAPER, 1));
    auto events = Pipe::create();
    EXPECT_TRUE(events.has_value());
    const pid_t parent = ::fork();
    if (parent == 0) {
        const pid_t watcher = ::fork();
        if (watcher == 0) {
            const int out = events->write.get();
            std::atomic<int> calls = 0;
            auto watch = ParentWatch::create(::getppid(), pollInterval, [&] {
                ++calls;
                const char fired = 'f';
                (void)io::writeAll(out, {&fired, 1});
            });
            const char ready = watch ? 'r' : 'n';
            (void)io::writeAll(out, {&ready, 1});
            // Stay around long enough for a second call to show up, then report the count.
            const auto until = std::chrono::steady_clock::now() + 20s;
            while (calls == 0 && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(5ms);
            }
            std::this_thread::sleep_for(std::chrono::duration<double>(std::min(pollInterval * 4 + 0.2, 1.0)));
            // The watch goes first, so its thread is joined rather than left behind by _exit.
            watch.reset();
            ::_exit(calls.load());
        }
        ::pause();
        ::_exit(0);
    }
    events->write.reset();
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    char byte = 0;
    EXPECT_GT(io::pollOne(events->read.get(), POLLIN, deadline), 0);
    EXPECT_EQ(1, ::read(events->read.get(), &byte, 1));
    EXPECT_EQ('r', byte);

    const auto killed = std::chrono::steady_clock::now();
    ::kill(parent, SIGKILL);
    ::waitpid(parent, nullptr, 0);
    FireReport report;
    if (io::pollOne(events->read.get(), POLLIN, deadline) > 0 && ::read(events->read.get(), &byte, 1) == 1) {
        report.latency
            = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - killed);
    }
    // The orphaned watcher is now our child: its exit status is its count of calls.
    int status = 0;
    const pid_t reaped = ::waitpid(-1, &status, 0);
    EXPECT_GT(reaped, 0);
    if (reaped > 0 && WIFEXITED(status)) {
        report.calls = WEXITSTATUS(status);
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    return report;
}

TEST(ParentWatch, KilledParentFiresExactlyOncePromptly)
{
    // With a short interval both the pidfd and the changed parent id notice the death; with a tick
    // far in the future only the pidfd can be behind a quick call.
    for (const double interval : {0.02, 30.0}) {
        const auto report = killParentOfWatcher(interval);
        EXPECT_EQ(1, report.calls) << interval;
        EXPECT_LT(report.latency, 5s) << interval;
    }
}

} // namespace
} // namespace vantorelle

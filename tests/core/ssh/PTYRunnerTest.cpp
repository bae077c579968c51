// PTYRunner against real programs on real pseudo-terminals.
#include "ssh/PTYRunner.h"

#include <atomic>
#include <cmath>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <thread>

#include "support/SshTools.h"

namespace vantorelle {
namespace {

using test::expectNoChildren;
using test::minimalEnvironment;

std::expected<PTYRunner::Result, PTYRunnerError> runShell(const std::string& script, const PTYRunner::Answer& answer,
                                                          double timeout = 20, std::vector<std::string> extra = {})
{
    std::vector<std::string> args{"-c", script, "sh"};
    args.insert(args.end(), extra.begin(), extra.end());
    return PTYRunner::run("/bin/sh", args, minimalEnvironment(), answer, timeout);
}
PTYRunner::Answer never()
{
    return [](std::string_view) { return std::nullopt; };
}
std::string withoutReturns(std::string text)
{
    std::erase(text, '\r');
    return text;
}

TEST(PassphraseResponder, AnswersFirstPassphrasePromptOnlyAndIgnoresOtherText)
{
    const std::vector<std::vector<std::pair<std::string, std::optional<std::string>>>> scenarios{
        {{"Enter passphrase for /k: ", "s3cret"}, {"Bad passphrase, try again for /k: ", ""}, {"PASSPHRASE?", ""}},
        {{"Name: ", std::nullopt}, {"Enter PassPhrase: ", "s3cret"}, {"Identity added", std::nullopt}},
        {{"pass", std::nullopt}, {"phrase", std::nullopt}, {"Enter passphrase", "s3cret"}},
    };
    for (const auto& steps : scenarios) {
        auto respond = PTYRunner::passphraseResponder(SecretString(std::string_view("s3cret")));
        for (const auto& [text, expected] : steps) {
            const auto reply = respond(text);
            EXPECT_EQ(reply ? std::optional<std::string>(reply->view()) : std::nullopt, expected) << text;
        }
    }
}

TEST(PTYRunner, TypesThePassphraseByteForByteOnceThenAnEmptyLineAndNeverEchoesIt)
{
    // Line editing, signal and flow-control characters must arrive as typed: a passphrase holding
    // ^U would otherwise put an empty passphrase on a key.
    const std::string answer = "a\x7f"
                               "b\x15"
                               "c\x17"
                               "d\x16"
                               "e\x12"
                               "f\x03"
                               "g\x1c"
                               "h\x1a"
                               "i\x04"
                               "j\x13"
                               "k\x0fl";
    const auto result = runShell("printf 'Enter pass'; sleep 0.2; printf 'phrase: '; IFS= read -r got < /dev/tty;"
                                 "printf 'Bad passphrase, try again: '; read second < /dev/tty;"
                                 "printf '%s' \"$got\" | od -An -v -tx1 | tr -d ' \\n'; echo \" second=${#second}\"",
                                 PTYRunner::passphraseResponder(SecretString(answer)));
    ASSERT_TRUE(result) << result.error().description();
    EXPECT_EQ(result->status, 0) << result->output;
    std::string hex;
    for (const unsigned char c : answer) {
        hex += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
    }
    EXPECT_NE(result->output.find(hex + " second=0"), std::string::npos) << result->output;
    EXPECT_EQ(result->output.find("a\x7f"
                                  "b"),
              std::string::npos)
        << result->output;
    expectNoChildren();
}

TEST(PTYRunner, DeadlineKillsAProgramThatNeverEndsOrKeepsRunningDetached)
{
    // "Name:" is no passphrase prompt, so nothing is typed and the read waits forever.
    const auto waiting = runShell("printf 'Name: '; read name; echo never", never(), 3);
    ASSERT_FALSE(waiting);
    EXPECT_EQ(waiting.error().kind, PTYRunnerError::Kind::timedOut);
    EXPECT_EQ(waiting.error().output, "Name: ");
    const auto detached = runShell("echo detaching; exec sleep 60 </dev/null >/dev/null 2>&1", never(), 3);
    ASSERT_FALSE(detached);
    EXPECT_EQ(detached.error().kind, PTYRunnerError::Kind::timedOut);
    EXPECT_NE(detached.error().output.find("detaching"), std::string::npos);
    for (const double timeout : {0.0, -5.0, std::nan("")}) {
        EXPECT_EQ(runShell("sleep 60", never(), timeout).error().kind, PTYRunnerError::Kind::timedOut);
    }
    expectNoChildren();
}

TEST(PTYRunner, ReportsExitStatusSignalDeathsAndMissingPrograms)
{
    const auto exited = runShell("echo out; echo err >&2; exit 2", never());
    ASSERT_TRUE(exited);
    EXPECT_EQ(exited->status, 2);
    EXPECT_EQ(withoutReturns(exited->output), "out\nerr\n");
    EXPECT_EQ(runShell("kill -TERM $$", never())->status, 143);
    const auto missing = PTYRunner::run("/nonexistent/tool", {}, minimalEnvironment(), never(), 5);
    EXPECT_EQ(missing.error(), PTYRunnerError::spawnFailed(ENOENT));
    expectNoChildren();
}

TEST(PTYRunner, ChildGetsExactlyTheGivenEnvironmentInASessionOfItsOwn)
{
    Environment env;
    env.set("ONLY_THIS", "1");
    env.set("SSH_ASKPASS", "/usr/bin/evil-askpass");
    env.set("SSH_ASKPASS_REQUIRE", "force");
    ::setenv("VANTORELLE_CALLER_ONLY", "leak", 1);
    const auto result = PTYRunner::run("/usr/bin/env", {}, env, never(), 20);
    ::unsetenv("VANTORELLE_CALLER_ONLY");
    ASSERT_TRUE(result);
    EXPECT_EQ(withoutReturns(result->output), "ONLY_THIS=1\nSSH_ASKPASS_REQUIRE=never\n");

    const auto session = runShell("echo $(ps -o sid= -p $$) $$ $(ps -o tty= -p $$)", never());
    ASSERT_TRUE(session);
    std::istringstream words(session->output);
    std::string sid, pid, tty;
    words >> sid >> pid >> tty;
    EXPECT_EQ(sid, pid) << "the shell leads its own session";
    EXPECT_TRUE(tty.starts_with("pts/")) << tty;
}

TEST(PTYRunner, LeavesNoDescriptorOpenAndLeaksNoneIntoTheChild)
{
    const int leaky = ::open("/dev/null", O_RDONLY); // as another thread might, without close-on-exec
    ASSERT_GE(leaky, 3);
    const int before = test::openDescriptorCount();
    const auto result = PTYRunner::run("/bin/ls", {"-1", "/proc/self/fd"}, minimalEnvironment(), never(), 20);
    EXPECT_EQ(test::openDescriptorCount(), before);
    ::close(leaky);
    ASSERT_TRUE(result);
    // The three standard streams on the terminal, plus the directory ls is listing.
    EXPECT_EQ(withoutReturns(result->output), "0\n1\n2\n3\n");
    EXPECT_FALSE(runShell("sleep 60", never(), 0.3));
    EXPECT_EQ(test::openDescriptorCount(), before - 1);
    expectNoChildren();
}

TEST(PTYRunner, ManyRunsInParallelThreadsEachGetTheirOwnAnswers)
{
    constexpr int kThreads = 12, kRunsPerThread = 4;
    std::atomic<int> matched{0}, leaked{0};
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRunsPerThread; ++r) {
                const std::string id = std::to_string(t) + "-" + std::to_string(r);
                const auto result = runShell("printf 'Enter passphrase: '; read got < /dev/tty;"
                                             "[ \"$got\" = \"secret-$1\" ] && echo MATCH",
                                             PTYRunner::passphraseResponder(SecretString("secret-" + id)), 60, {id});
                matched += result && result->status == 0 && result->output.find("MATCH") != std::string::npos;
                leaked += result && result->output.find("secret-" + id) != std::string::npos;
            }
        });
    }
    threads.clear();
    EXPECT_EQ(matched.load(), kThreads * kRunsPerThread);
    EXPECT_EQ(leaked.load(), 0);
    expectNoChildren();
}

} // namespace
} // namespace vantorelle

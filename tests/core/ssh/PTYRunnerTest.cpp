// PTYRunner against real programs on real pseudo-terminals.
#include "ssh/PTYRunner.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>

#include "SshTestSupport.h"

namespace vantorelle {
namespace {

using test::sec;

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

// No child may be left behind, not even as a zombie.
void expectNoChildren()
{
    int status = 0;
    EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(PassphraseResponder, AnswersFirstPassphrasePromptOnlyAndIgnoresOtherText)
{
    struct Step
    {
        std::string text;
        std::optional<std::string> answer;
    };
    const std::vector<std::vector<Step>> scenarios{
        {{"Enter passphrase for /k: ", "s3cret"}, {"Bad passphrase, try again for /k: ", ""}, {"PASSPHRASE?", ""}},
        {{"Name: ", std::nullopt}, {"Enter PassPhrase: ", "s3cret"}, {"Identity added", std::nullopt}},
        {{"pass", std::nullopt}, {"phrase", std::nullopt}, {"Enter passphrase", "s3cret"}},
    };
    for (const auto& steps : scenarios) {
        auto respond = PTYRunner::passphraseResponder(sec("s3cret"));
        for (const auto& step : steps) {
            const auto reply = respond(step.text);
            ASSERT_EQ(reply.has_value(), step.answer.has_value()) << step.text;
            if (reply) {
                EXPECT_EQ(reply->view(), *step.answer) << step.text;
            }
        }
    }
}

TEST(PTYRunner, TypesThePassphraseOnceThenAnEmptyLineAndNeverEchoesIt)
{
    const std::string secret = "correct-horse-battery";
    // Reads from /dev/tty as ssh-add does; prints only the lengths of what it got.
    const auto result = runShell("printf 'Enter passphrase for key: '; read first < /dev/tty;"
                                 "printf 'Bad passphrase, try again: '; read second < /dev/tty;"
                                 "echo \"first=${#first} second=${#second}\"",
                                 PTYRunner::passphraseResponder(SecretString(secret)));
    ASSERT_TRUE(result) << result.error().description();
    EXPECT_EQ(result->status, 0);
    EXPECT_NE(result->output.find("first=21 second=0"), std::string::npos) << result->output;
    EXPECT_EQ(result->output.find(secret), std::string::npos) << result->output;
    expectNoChildren();
}

TEST(PTYRunner, AnswersReachTheProgramByteForByteWhateverControlCharactersTheyHold)
{
    // Line editing, signal and flow-control characters (erase, kill, word erase, literal next,
    // reprint, interrupt, quit, suspend, end of file, stop, discard) must arrive as typed, not
    // edit the line, signal the tool or stall it: a passphrase holding ^U would otherwise put an
    // empty passphrase on a key.
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
    const auto result = runShell("printf 'Enter passphrase: '; IFS= read -r got < /dev/tty;"
                                 "printf '%s' \"$got\" | od -An -v -tx1 | tr -d ' \\n'; echo",
                                 PTYRunner::passphraseResponder(SecretString(answer)));
    ASSERT_TRUE(result) << result.error().description();
    EXPECT_EQ(result->status, 0) << result->output;
    std::string hex;
    for (const unsigned char c : answer) {
        static constexpr char kDigits[] = "0123456789abcdef";
        hex += {kDigits[c >> 4], kDigits[c & 15]};
    }
    EXPECT_NE(result->output.find(hex), std::string::npos) << result->output;
    expectNoChildren();
}

TEST(PTYRunner, RecognisesAPromptSplitAcrossWrites)
{
    const auto result = runShell("printf 'Enter pass'; sleep 0.2; printf 'phrase: '; read answer;"
                                 "[ \"$answer\" = abc ] && echo matched",
                                 PTYRunner::passphraseResponder(sec("abc")));
    ASSERT_TRUE(result);
    EXPECT_NE(result->output.find("matched"), std::string::npos) << result->output;
}

TEST(PTYRunner, ProgramThatNeverEndsIsKilledAtTheDeadlineWithItsOutput)
{
    // "Name:" is no passphrase prompt, so nothing is typed and the read waits forever.
    // Long enough for a loaded machine to start the shell and print its question.
    const auto result = runShell("printf 'Name: '; read name; echo never", never(), 3);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, PTYRunnerError::Kind::timedOut);
    EXPECT_EQ(result.error().output, "Name: ");
    expectNoChildren();
}

TEST(PTYRunner, ChildThatClosesTheTerminalButKeepsRunningIsHeldToTheDeadline)
{
    const auto result = runShell("echo detaching; exec sleep 60 </dev/null >/dev/null 2>&1", never(), 3);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, PTYRunnerError::Kind::timedOut);
    EXPECT_NE(result.error().output.find("detaching"), std::string::npos);
    expectNoChildren();
}

TEST(PTYRunner, ReportsExitStatusAndSignalDeaths)
{
    const auto exited = runShell("echo out; echo err >&2; exit 2", never());
    ASSERT_TRUE(exited);
    EXPECT_EQ(exited->status, 2);
    EXPECT_NE(exited->output.find("out"), std::string::npos);
    EXPECT_NE(exited->output.find("err"), std::string::npos);

    const auto killed = runShell("kill -TERM $$", never());
    ASSERT_TRUE(killed);
    EXPECT_EQ(killed->status, 143);
    expectNoChildren();
}

TEST(PTYRunner, ChildGetsExactlyTheGivenEnvironmentWithAskpassOff)
{
    Environment env;
    env.set("ONLY_THIS", "1");
    env.set("SSH_ASKPASS", "/usr/bin/evil-askpass");
    env.set("SSH_ASKPASS_REQUIRE", "force");
    ::setenv("VANTORELLE_CALLER_ONLY", "leak", 1);
    const auto result = PTYRunner::run("/usr/bin/env", {}, env, never(), 20);
    ::unsetenv("VANTORELLE_CALLER_ONLY");
    ASSERT_TRUE(result);
    std::string text = result->output;
    std::erase(text, '\r');
    EXPECT_EQ(text, "ONLY_THIS=1\nSSH_ASKPASS_REQUIRE=never\n");
}

std::vector<std::string> outputLines(std::string text)
{
    std::erase(text, '\r');
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(PTYRunner, TerminalIsTheChildsControllingTerminalInANewSession)
{
    const auto result = runShell("ps -o sid= -p $$ | tr -d ' '; echo $$; ps -o tty= -p $$", never());
    ASSERT_TRUE(result);
    const auto lines = outputLines(result->output);
    ASSERT_EQ(lines.size(), 3u) << result->output;
    EXPECT_EQ(lines[0], lines[1]) << "the shell leads its own session";
    EXPECT_TRUE(lines[2].starts_with("pts/")) << lines[2];
}

TEST(PTYRunner, MissingProgramIsSpawnFailedWithENOENT)
{
    const auto result = PTYRunner::run("/nonexistent/tool", {}, minimalEnvironment(), never(), 5);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), PTYRunnerError::spawnFailed(ENOENT));
}

TEST(PTYRunner, LeavesNoDescriptorOpenAndLeaksNoneIntoTheChild)
{
    // A descriptor another thread might have opened without close-on-exec.
    const int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 3);
    const int before = test::openDescriptorCount();
    const auto result = PTYRunner::run("/bin/ls", {"-1", "/proc/self/fd"}, minimalEnvironment(), never(), 20);
    EXPECT_EQ(test::openDescriptorCount(), before);
    ::close(leaky);
    ASSERT_TRUE(result);
    // The three standard streams on the terminal, plus the directory ls is listing.
    EXPECT_EQ(outputLines(result->output), (std::vector<std::string>{"0", "1", "2", "3"}));

    const auto timedOut = runShell("sleep 60", never(), 0.3);
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(test::openDescriptorCount(), before - 1);
    expectNoChildren();
}

TEST(PTYRunner, ZeroOrInvalidTimeoutTimesOutAtOnce)
{
    for (const double timeout : {0.0, -5.0, std::nan("")}) {
        const auto result = runShell("sleep 60", never(), timeout);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind, PTYRunnerError::Kind::timedOut);
    }
    expectNoChildren();
}

TEST(PTYRunner, ManyRunsInParallelThreadsEachGetTheirOwnAnswers)
{
    constexpr int kThreads = 12;
    constexpr int kRunsPerThread = 4;
    std::atomic<int> matched{0};
    std::atomic<int> leakedAnswer{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRunsPerThread; ++r) {
                const std::string secret = "secret-" + std::to_string(t) + "-" + std::to_string(r);
                const auto result = runShell("printf 'Enter passphrase: '; read got < /dev/tty;"
                                             "[ \"$got\" = \"secret-$1\" ] && echo MATCH",
                                             PTYRunner::passphraseResponder(SecretString(secret)), 60,
                                             {std::to_string(t) + "-" + std::to_string(r)});
                if (result && result->status == 0 && result->output.find("MATCH") != std::string::npos) {
                    ++matched;
                }
                if (result && result->output.find(secret) != std::string::npos) {
                    ++leakedAnswer;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(matched.load(), kThreads * kRunsPerThread);
    EXPECT_EQ(leakedAnswer.load(), 0);
    expectNoChildren();
}

} // namespace
} // namespace vantorelle

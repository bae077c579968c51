// The settings controller over a temporary home with real keys, a real GNOME Keyring, a real
// ssh-agent, the real autostart entry and the freedesktop Trash. The session environment is a fake:
// there is no user systemd here (its own tests run against dbusmock).
// clang-format off
// GLib's headers name a member "signals": they come before any Qt header.
#include <libsecret/secret.h>
// clang-format on
#include <QTest>
#include <gtest/gtest.h>

#include "../platform/BusServices.h"
#include "defaults/MemoryDefaults.h"
#include "i18n/L.h"
#include "platform/Autostart.h"
#include "platform/SessionEnvironment.h"
#include "settings/SecretServiceForeignSecrets.h"
#include "setup/MarkedBlock.h"
#include "ssh/AgentClient.h"
#include "ssh/PassphraseVerifier.h"
#include "support/SshTools.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"

using namespace vantorelle;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using CLI = SetupController::CLIState;
using Done = std::function<void(bool)>;
using Paths = std::vector<std::string>;
SecretString S(const std::string& text)
{
    return SecretString(std::string_view(text));
}

// Called on the controller's worker thread; the test reads it only once the controller has settled.
struct FakeSession final : SessionEnvironment
{
    bool available() override { return up; }
    std::optional<std::string> get(const std::string& name) override
    {
        return vars.contains(name) ? std::optional(vars[name]) : std::nullopt;
    }
    bool set(const std::string& name, const std::string& value) override
    {
        if (up) {
            vars[name] = value;
        }
        return up;
    }
    bool unset(const std::string& name) override { return vars.erase(name), up; }
    std::atomic<bool> up = true;
    std::map<std::string, std::string> vars;
};

// The real store, except that deleting `failFor` fails as a locked keyring would.
struct Store final : PassphraseStore
{
    using Error = PassphraseStoreError;
    std::expected<void, Error> save(const SecretString& p, const SSHKey& k) override { return real.save(p, k); }
    std::expected<std::map<std::string, SecretString>, Error>
    passphrases(const std::vector<SSHKey>& k, std::shared_ptr<AuthenticationContext> c) override
    {
        return real.passphrases(k, std::move(c));
    }
    std::expected<void, Error> remove(const SSHKey& k) override
    {
        return k.path == failFor ? std::unexpected(Error{Error::Kind::cancelled, "locked"}) : real.remove(k);
    }
    SecretServicePassphraseStore real{{.call = 20s, .prompt = 3s}};
    fs::path failFor;
};

// Items other programs left in the keyring, made the way they make them.
void storeForeignItem(const std::map<std::string, std::string>& attributes)
{
    g_autoptr(GHashTable) table = g_hash_table_new(g_str_hash, g_str_equal);
    for (const auto& [name, value] : attributes) {
        g_hash_table_insert(table, const_cast<char*>(name.c_str()), const_cast<char*>(value.c_str()));
    }
    g_autoptr(SecretService) service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, nullptr);
    g_autoptr(SecretValue) value = secret_value_new("pw", 2, "text/plain");
    ASSERT_TRUE(
        secret_service_store_sync(service, nullptr, table, SECRET_COLLECTION_DEFAULT, "x", value, nullptr, nullptr));
}

class SetupControllerTest : public ::testing::Test
{
protected:
    SetupControllerTest()
    {
        for (const char* name : {"vantorelle", "vantorelle-askpass"}) {
            test::writeFile(install / name, "#!/bin/sh\n", fs::perms(0755));
        }
        fs::create_directory(home / ".ssh");
        env.set("XDG_CONFIG_HOME", (home / ".config").string());
        autostart = XdgAutostart(env);
        place = SetupPlace::forApp(home, install / "vantorelle-app");
        EXPECT_TRUE(place.askpassPath == install / "vantorelle-askpass" && place.cliTarget == install / "vantorelle"
                    && place.loginShell.starts_with("/"));
        place.loginShell = "/bin/zsh";
        // Not made yet: the Trash must still be the home's, not one under the current directory.
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString((home / "data").string()));
    }

    SetupController& controller()
    {
        if (!made) {
            auto trash = [this](const fs::path& p) { return p != keepOutOfTrash && moveToDesktopTrash(p); };
            SetupServices services{&store, &secrets, &agent, &session, &autostart, &defaults, trash};
            made = std::make_unique<SetupController>(place, services, [this] { ++changes; });
        }
        return *made;
    }
    const SetupController::State& state() { return controller().state(); }
    void settle()
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return !state().busy && !state().scanning; }, 90000));
    }
    void refresh()
    {
        controller().refresh();
        settle();
    }
    fs::path key(const std::string& name, const std::string& passphrase = "right")
    {
        return test::makeKey(home / ".ssh" / name, {.passphrase = passphrase});
    }
    SetupController::KeyRow row(const fs::path& path)
    {
        const auto found = std::ranges::find(state().rows, path, [](const auto& r) { return r.key.path; });
        EXPECT_NE(found, state().rows.end()) << path;
        return found == state().rows.end() ? SetupController::KeyRow{} : *found;
    }
    // Starts an action that answers through `done` and waits until it has answered and settled.
    bool finish(const std::function<void(Done)>& start)
    {
        std::optional<bool> answer;
        start([&](bool ok) { answer = ok; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 90000));
        settle();
        return answer.value_or(false);
    }
    bool save(const fs::path& path, const std::string& passphrase)
    {
        return finish([&](Done done) { controller().savePassphrase(row(path), S(passphrase), done); });
    }
    Paths managed() const { return defaults.stringArray("managedKeyPaths").value_or(Paths{}); }
    // A key with its passphrase stored and managed, then a fresh scan.
    fs::path readyKey(const std::string& name)
    {
        const auto path = key(name);
        refresh();
        EXPECT_TRUE(save(path, "right"));
        return path;
    }
    std::string message() { return state().message.value_or("<none>"); }
    void confirm()
    {
        ASSERT_TRUE(state().review);
        controller().confirmReview(*state().review);
        settle();
    }

    test::QtApp app;
    test::Daemon keyring = test::startGnomeKeyring();
    TempDir dir{"vs"};
    fs::path home = dir.path();
    fs::path install = home / "opt/lib/vantorelle";
    test::TestAgent agentProcess{home / "agent.sock"};
    AgentClient agent{(home / "agent.sock").string(), test::minimalEnvironment()};
    Environment env;
    XdgAutostart autostart{env};
    FakeSession session;
    Store store;
    SecretServiceForeignSecrets secrets{{.call = 20s, .prompt = 3s}};
    MemoryDefaults defaults;
    SetupPlace place;
    int changes = 0;
    fs::path keepOutOfTrash; // the Trash refuses this one
    std::unique_ptr<SetupController> made;
};

TEST_F(SetupControllerTest, AKeysPassphraseIsCheckedStoredOnceAndItsKeyringEntryCanGo)
{
    const auto a = key("id_a"), b = key("id_b"), plain = key("id_plain", "");
    defaults.set("managedKeyPaths", Paths{a.string()});
    refresh();
    EXPECT_EQ(SetupController::rowStateKey(row(a)), "settings.keys.state.needspassphrase");
    ASSERT_TRUE(save(a, "right"));
    EXPECT_EQ(message(), L("settings.keys.saved", {"id_a"}));
    EXPECT_EQ(managed(), std::vector{a.string()});
    EXPECT_TRUE(row(a).stored && secrets.hasPassphrase(a.string()));
    EXPECT_EQ(changes, 1);

    SCOPED_TRACE("a key without a passphrase: the repeat must match, then ssh-keygen encrypts it and it is stored");
    EXPECT_FALSE(finish([&](Done done) { controller().addPassphrase(row(plain), S("one"), S("two"), done); }));
    EXPECT_EQ(message(), L("settings.keys.mismatch"));
    EXPECT_TRUE(finish([&](Done done) { controller().addPassphrase(row(plain), S("new"), S("new"), done); }));
    EXPECT_TRUE(PassphraseVerifier::isValid(S("new"), plain.string()));
    EXPECT_FALSE(PassphraseVerifier::isValid(S("other"), plain.string()));
    EXPECT_EQ(SetupController::rowStateKey(row(plain)), "settings.keys.state.managed");
    EXPECT_EQ(managed(), (std::vector{a.string(), plain.string()}));

    SCOPED_TRACE("GNOME Keyring's own entry for a key");
    storeForeignItem({{"unique", "ssh-store:" + b.string()}});
    refresh();
    ASSERT_TRUE(row(b).appleStored);
    for (const char* said : {"settings.apple.deleted", "settings.apple.deletefailed"}) {
        controller().deleteAppleEntry(row(b));
        settle();
        EXPECT_EQ(message(), L(said));
        EXPECT_FALSE(row(b).appleStored);
    }
}

TEST_F(SetupControllerTest, TheSetupIsAppliedOnlyAsReviewedAndItsUndoGivesEveryFileBack)
{
    const auto a = readyKey("id_a");
    // Left out of the plan, an unreadable file would never get its block while every apply reported success.
    for (const fs::path& file : {home / ".zshenv", home / ".ssh/config"}) {
        test::writeFile(file, "export A=\xff\n");
        controller().reviewApply();
        settle();
        EXPECT_FALSE(state().review) << file;
        EXPECT_EQ(message(), L("settings.error.unreadable"));
        EXPECT_EQ(fs::exists(home / ".ssh/config") + fs::exists(home / ".zshenv"), 1);
        fs::remove(file);
    }

    SCOPED_TRACE("a file changed between review and confirm stops everything");
    const std::string zshenv = "export A=1\n# no newline";
    test::writeFile(home / ".zshenv", zshenv);
    controller().reviewApply();
    test::writeFile(home / ".zshenv", "export A=2\n");
    confirm();
    EXPECT_EQ(message(), L("settings.error.changed"));
    EXPECT_FALSE(session.get("SSH_ASKPASS"));

    SCOPED_TRACE("without a session manager the files are the whole step, and the line says so");
    test::writeFile(home / ".zshenv", zshenv);
    session.up = false;
    controller().reviewApply();
    confirm();
    EXPECT_EQ(message(), L("settings.ssh.applied") + " " + L("settings.step.ssh.nosession"));
    EXPECT_EQ(controller().checklist().sshLine,
              L("settings.step.ssh.done", {"~/.zshenv"}) + " " + L("settings.step.ssh.nosession"));

    SCOPED_TRACE("nothing left to change: no review, the environment is exported again");
    session.up = true;
    controller().reviewApply();
    EXPECT_FALSE(state().review);
    settle();
    EXPECT_EQ(message(), L("settings.ssh.alreadyapplied"));
    EXPECT_EQ(session.get("SSH_ASKPASS"), (install / "vantorelle-askpass").string());
    EXPECT_EQ(session.get("SSH_ASKPASS_REQUIRE"), "force");

    SCOPED_TRACE("the undo gives every file back, removes only a link to an install, keeps a key it cannot delete");
    const auto b = readyKey("id_b");
    const fs::path link = place.cliLinkPath();
    fs::create_directories(link.parent_path());
    for (const auto& [target, locked] :
         {std::pair(install / "vantorelle", b), {"/usr/lib/vantorelle/vantorelle", {}}, {"/usr/bin/someone", {}}}) {
        SCOPED_TRACE(target);
        ASSERT_TRUE(save(a, "right"));
        fs::remove(link);
        fs::create_symlink(target, link);
        controller().setLoginItem(true);
        controller().reviewApply();
        confirm();
        EXPECT_EQ(message(), L("settings.ssh.applied"));
        store.failFor = locked;
        controller().reviewUndo();
        const auto undo = controller().cards(*state().review);
        ASSERT_EQ(undo.size(), 2u);
        // The setup made ~/.ssh/config: the undo deletes it and shows no diff for it.
        EXPECT_EQ(undo[0].summary, L("settings.review.summary.delete"));
        EXPECT_TRUE(!undo[0].showsDiff && undo[0].diff.empty());
        confirm();
        EXPECT_EQ(message(), L(locked.empty() ? "settings.undo.done" : "settings.undo.keysleft"));
        EXPECT_EQ(managed(), locked.empty() ? Paths{} : std::vector{locked.string()});
        EXPECT_EQ(test::readFile(home / ".zshenv"), zshenv);
        EXPECT_TRUE(session.vars.empty());
        EXPECT_FALSE(secrets.hasPassphrase(a.string()) || autostart.enabled());
        EXPECT_EQ(secrets.hasPassphrase(b.string()), !locked.empty());
        EXPECT_EQ(fs::is_symlink(link), target == "/usr/bin/someone");
    }

    SCOPED_TRACE("a key the ssh block cannot hold is named instead of counted as connected");
    const auto odd = readyKey("id_${X}");
    EXPECT_EQ(SetupController::rowStateKey(row(odd)), "settings.keys.state.leftout");
    EXPECT_NE(controller().checklist().sshLine.find(L("settings.step.ssh.leftout", {"id_${X}"})), std::string::npos);
}

TEST_F(SetupControllerTest, TheCleanUpRemovesThePrototypesPiecesIntoTheHomeTrashAndReportsWhatIsLeft)
{
    test::writeFile(home / ".zshenv",
                    "export A=1\n\n# SSH key passphrase via Touch ID\n"
                    "export SSH_ASKPASS=\"$HOME/.local/bin/ssh-quillgate-askpass\"\n"
                    "export SSH_ASKPASS_REQUIRE=force\n");
    test::writeFile(home / ".ssh/config", "Host *\n  AddKeysToAgent 3h\n");
    test::writeFile(home / ".local/bin/ssh-quillgate-askpass", "#!/bin/sh\n");
    test::writeFile(home / ".local/share/ssh-quillgate/state", "x");
    storeForeignItem({{"service", "ssh-quillgate"}, {"account", "a"}});
    session.vars["SSH_ASKPASS"] = (home / ".local/bin/ssh-quillgate-askpass").string();
    test::writeFile(home / "Applications/Quillgate Unlock.app/x", "x");
    keepOutOfTrash = home / "Applications/Quillgate Unlock.app";
    refresh();
    ASSERT_EQ(state().leftovers.size(), 6u);
    controller().reviewMigration();
    ASSERT_TRUE(state().review);
    EXPECT_EQ(controller().migrationLines(state().review->leftovers)[0],
              L("settings.migration.item.export", {"~/.zshenv"}));
    confirm();
    EXPECT_EQ(message(), L("settings.migration.partial"));
    EXPECT_EQ(state().leftovers, std::vector{Leftover::path(keepOutOfTrash)});
    EXPECT_EQ(test::readFile(home / "data/Trash/files/ssh-quillgate/state"), "x");
    EXPECT_EQ(test::readFile(home / ".zshenv"), "export A=1\n");
    EXPECT_FALSE(secrets.serviceHasItems("ssh-quillgate"));
    EXPECT_FALSE(session.get("SSH_ASKPASS"));

    // The Trash refuses a link that points nowhere; kept, it would be reported after every clean-up.
    SCOPED_TRACE("the next clean-up takes what the Trash refused, and a dangling link");
    keepOutOfTrash.clear();
    fs::create_symlink("/nonexistent/ssh-quillgate-askpass", home / ".local/bin/ssh-quillgate-askpass");
    refresh();
    ASSERT_EQ(state().leftovers.size(), 2u);
    controller().reviewMigration();
    confirm();
    EXPECT_EQ(message(), L("settings.migration.done"));
    EXPECT_TRUE(state().leftovers.empty());
    EXPECT_EQ(test::readFile(home / "data/Trash/files/Quillgate Unlock.app/x"), "x");
    EXPECT_FALSE(fs::is_symlink(home / ".local/bin/ssh-quillgate-askpass"));
}

TEST_F(SetupControllerTest, TheLinkIsOnlyReplacedWhenOursTheLoginEntryIsWrittenAndTheDurationStopsAtItsBounds)
{
    const fs::path link = place.cliLinkPath();
    for (const auto& [linkTo, before, after] : std::vector<std::tuple<std::string, CLI, CLI>>{
             {"", CLI::absent, CLI::installed},
             {"/usr/lib/vantorelle/vantorelle", CLI::outdated, CLI::installed},
             {"/usr/bin/somebody-else", CLI::taken, CLI::taken},
             {"file", CLI::taken, CLI::taken}}) {
        SCOPED_TRACE(linkTo);
        fs::remove_all(home / ".local");
        fs::create_directories(link.parent_path());
        if (linkTo == "file") {
            test::writeFile(link, "mine");
        } else if (!linkTo.empty()) {
            fs::create_symlink(linkTo, link);
        }
        refresh();
        EXPECT_EQ(state().cliState, before);
        EXPECT_EQ(controller().checklist().installShown, before != CLI::taken);
        controller().installCLI();
        EXPECT_EQ(state().cliState, after);
        EXPECT_EQ(message(), L(after == CLI::installed ? "settings.cli.installed" : "settings.cli.taken"));
        EXPECT_EQ(fs::is_symlink(link) ? fs::read_symlink(link).string() : test::readFile(link),
                  after == CLI::installed ? (install / "vantorelle").string() : (linkTo == "file" ? "mine" : linkTo));
    }

    controller().setLoginItem(true);
    EXPECT_TRUE(state().loginEnabled && state().loginOn && autostart.enabled());
    controller().setLoginItem(false);
    EXPECT_FALSE(fs::exists(autostart.entryPath()) || state().loginEnabled);
    // An entry that cannot be written is reported (a file where its directory belongs stops root too).
    fs::remove_all(autostart.entryPath().parent_path());
    test::writeFile(autostart.entryPath().parent_path(), "not a directory");
    controller().setLoginItem(true);
    EXPECT_EQ(message(), L("settings.login.failed"));
    EXPECT_FALSE(state().loginOn);

    for (const auto& [stored, step, shown, changed] : std::vector<std::tuple<double, int, double, int>>{
             {900, -1, 900, 0}, {10800, +1, 10800, 0}, {3600, +1, 4500, 1}, {1800, -1, 900, 1}, {10800, -1, 9900, 1}}) {
        defaults.set("unlockDuration", stored);
        changes = 0;
        refresh();
        controller().stepDuration(step);
        EXPECT_EQ(state().duration, shown) << stored;
        EXPECT_EQ(defaults.number("unlockDuration"), changed ? shown : stored);
        EXPECT_EQ(changes, changed);
    }
    controller().setLanguage(LanguageOverride::Choice::french);
    EXPECT_EQ(defaults.stringArray("AppleLanguages"), std::vector<std::string>{"fr"});
    EXPECT_EQ(state().language, LanguageOverride::Choice::french);

    place.cliTarget.reset();
    made.reset();
    refresh();
    EXPECT_EQ(state().cliState, CLI::unavailable);
}

// The review summaries, on plans made by hand.
TEST(SetupReviewText, SummariesFollowTheShapeOfEachChange)
{
    const auto lines = [](int n) {
        return L(n == 1 ? "settings.review.lines.one" : "settings.review.lines.many", {std::to_string(n)});
    };
    const std::string block = std::string(MarkedBlock::begin) + "\nx\n" + std::string(MarkedBlock::end) + "\n";
    const std::vector<std::pair<FileChange, std::string>> cases = {
        {{"/h/a", "", "new\n", false}, L("settings.review.summary.create")},
        {{"/h/a", "a\n", "a\n", false}, L("settings.review.summary.none")},
        {{"/h/a", "top\nmid\n", "t\ntop\nmid\nb\n", false}, L("settings.review.summary.add.top", {lines(2)})},
        {{"/h/a", "top\nmid\n", "top\nx\nmid\n", false}, L("settings.review.summary.add", {lines(1)})},
        {{"/h/a", "a\n" + block, "a\n", false}, L("settings.review.summary.remove.block", {lines(3)})},
        {{"/h/a", "a\nb\n" + block, "a\n" + block, false}, L("settings.review.summary.remove", {lines(1)})},
        {{"/h/a", "a\nb\n", "a\nc\nd\n", false}, L("settings.review.summary.both", {lines(2), lines(1)})},
    };
    for (const auto& [change, summary] : cases) {
        EXPECT_EQ(SetupController::summary(change), summary) << change.after;
    }
}

} // namespace

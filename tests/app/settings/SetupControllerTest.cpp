// The settings controller over a temporary home with real keys, a real GNOME Keyring, a real
// ssh-agent, the real autostart entry and the freedesktop Trash. The session environment is a fake:
// there is no user systemd here (its own tests run against dbusmock).
// clang-format off
// GLib's headers name a member "signals": they come before any Qt header.
#include <libsecret/secret.h>
// clang-format on
#include <QFile>
#include <QTest>
#include <gtest/gtest.h>
#include <mutex>

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

using Row = SetupController::KeyRow;
using CLI = SetupController::CLIState;
const std::string B(MarkedBlock::begin), E(MarkedBlock::end);
SecretString S(const char* text)
{
    return SecretString(std::string_view(text));
}

class FakeSession final : public SessionEnvironment
{
public:
    bool available() override { return up; }
    std::optional<std::string> get(const std::string& name) override
    {
        std::lock_guard lock(mutex);
        auto found = vars.find(name);
        return found == vars.end() ? std::nullopt : std::optional(found->second);
    }
    bool set(const std::string& name, const std::string& value) override
    {
        std::lock_guard lock(mutex);
        ++sets;
        if (up) {
            vars[name] = value;
        }
        return up;
    }
    bool unset(const std::string& name) override
    {
        std::lock_guard lock(mutex);
        vars.erase(name);
        return up;
    }
    std::atomic<bool> up = true;
    std::atomic<int> sets = 0;
    std::mutex mutex;
    std::map<std::string, std::string> vars;
};

// The real store, except that deleting `failFor` fails as a locked keyring would.
class Store final : public PassphraseStore
{
public:
    std::expected<void, PassphraseStoreError> save(const SecretString& p, const SSHKey& k) override
    {
        return real.save(p, k);
    }
    std::expected<std::map<std::string, SecretString>, PassphraseStoreError>
    passphrases(const std::vector<SSHKey>& k, std::shared_ptr<AuthenticationContext> c) override
    {
        return real.passphrases(k, std::move(c));
    }
    std::expected<void, PassphraseStoreError> remove(const SSHKey& k) override
    {
        if (k.path == failFor) {
            return std::unexpected(PassphraseStoreError{PassphraseStoreError::Kind::cancelled, "locked"});
        }
        return real.remove(k);
    }
    SecretServicePassphraseStore real{{.call = 20s, .prompt = 3s}};
    fs::path failFor;
};

// Items other programs left in the keyring, made the way they make them.
void storeForeignItem(const std::map<std::string, std::string>& attributes)
{
    GHashTable* table = g_hash_table_new(g_str_hash, g_str_equal);
    for (const auto& [name, value] : attributes) {
        g_hash_table_insert(table, const_cast<char*>(name.c_str()), const_cast<char*>(value.c_str()));
    }
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, nullptr);
    SecretValue* value = secret_value_new("pw", 2, "text/plain");
    ASSERT_TRUE(
        secret_service_store_sync(service, nullptr, table, SECRET_COLLECTION_DEFAULT, "x", value, nullptr, nullptr));
    secret_value_unref(value);
    g_object_unref(service);
    g_hash_table_unref(table);
}

class SetupControllerTest : public ::testing::Test
{
protected:
    SetupControllerTest()
    {
        fs::create_directories(install);
        for (const char* name : {"vantorelle", "vantorelle-askpass"}) {
            test::writeFile(install / name, "#!/bin/sh\n", fs::perms(0755));
        }
        fs::create_directory(home / ".ssh");
        fs::permissions(home / ".ssh", fs::perms::owner_all);
        env.set("XDG_CONFIG_HOME", (home / ".config").string());
        autostart = XdgAutostart(env);
        place = SetupPlace::forApp(home, install / "vantorelle-app");
        EXPECT_TRUE(place.askpassPath == install / "vantorelle-askpass" && place.cliTarget == install / "vantorelle"
                    && place.loginShell.starts_with("/"));
        place.loginShell = "/bin/zsh";
    }

    SetupController& controller()
    {
        if (!made) {
            auto trash = [this](const fs::path& p) {
                QString inTrash;
                if (desktopTrash) {
                    return moveToDesktopTrash(p);
                }
                if (p == keepOutOfTrash || !QFile::moveToTrash(QString::fromStdString(p), &inTrash)) {
                    return false;
                }
                trashed.push_back(inTrash.toStdString());
                return true;
            };
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
    Row row(const fs::path& path)
    {
        for (const auto& r : state().rows) {
            if (r.key.path == path) {
                return r;
            }
        }
        ADD_FAILURE() << "no row for " << path;
        return {};
    }
    bool save(const fs::path& path, const std::string& passphrase)
    {
        std::optional<bool> answer;
        controller().savePassphrase(row(path), S(passphrase.c_str()), [&](bool ok) { answer = ok; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 90000));
        settle();
        return answer.value_or(false);
    }
    std::vector<std::string> managed() const
    {
        return defaults.stringArray("managedKeyPaths").value_or(std::vector<std::string>{});
    }
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
        auto review = state().review;
        ASSERT_TRUE(review.has_value());
        controller().confirmReview(*review);
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
    bool desktopTrash = false; // the app's own way to the Trash
    std::vector<fs::path> trashed; // where the Trash put what it took
    std::unique_ptr<SetupController> made;
};

TEST_F(SetupControllerTest, SavingAManagedKeyAgainDoesNotDuplicateItAndAWrongPassphraseChangesNothing)
{
    const auto path = key("id_ed25519");
    defaults.set("managedKeyPaths", std::vector<std::string>{path.string()});
    refresh();
    EXPECT_EQ(SetupController::rowStateKey(row(path)), "settings.keys.state.needspassphrase");

    EXPECT_FALSE(save(path, "wrong"));
    EXPECT_EQ(message(), L("settings.keys.wrong"));
    EXPECT_FALSE(secrets.hasPassphrase(path.string()));

    ASSERT_TRUE(save(path, "right"));
    EXPECT_EQ(message(), L("settings.keys.saved", {"id_ed25519"}));
    EXPECT_EQ(managed(), std::vector{path.string()});
    EXPECT_TRUE(row(path).stored);
    EXPECT_EQ(changes, 1);

    // A key without a passphrase: the repeat must match, then ssh-keygen encrypts it and it is stored.
    const auto plain = key("id_plain", "");
    refresh();
    std::optional<bool> answer;
    auto done = [&](bool ok) { answer = ok; };
    controller().addPassphrase(row(plain), S("one"), S("two"), done);
    EXPECT_EQ(std::exchange(answer, std::nullopt), false);
    EXPECT_EQ(message(), L("settings.keys.mismatch"));
    controller().addPassphrase(row(plain), S("new secret"), S("new secret"), done);
    ASSERT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 90000));
    settle();
    EXPECT_TRUE(*answer && PassphraseVerifier::isValid(S("new secret"), plain.string()));
    EXPECT_FALSE(PassphraseVerifier::isValid(S("other"), plain.string()));
    EXPECT_EQ(SetupController::rowStateKey(row(plain)), "settings.keys.state.managed");
    EXPECT_EQ(managed(), (std::vector{path.string(), plain.string()}));
}

TEST_F(SetupControllerTest, TheOnlyReadyKeyOfAnAppliedSetupOffersUndoInsteadOfUnmanaging)
{
    const auto first = readyKey("id_a");
    controller().reviewApply();
    confirm();
    ASSERT_TRUE(state().setupApplied);
    EXPECT_EQ(controller().confirmUnmanage(row(first)), SetupController::UnmanageChoice::offerUndo);
    controller().reviewUndo();
    ASSERT_TRUE(state().review);
    EXPECT_EQ(state().review->id(), "undo");
    EXPECT_EQ(managed(), std::vector{first.string()});

    // With a second ready key, the first one simply leaves.
    const auto second = readyKey("id_b");
    ASSERT_EQ(controller().confirmUnmanage(row(first)), SetupController::UnmanageChoice::confirm);
    controller().unmanage(row(first));
    settle();
    EXPECT_EQ(managed(), std::vector{second.string()});
    EXPECT_FALSE(secrets.hasPassphrase(first.string()));
    EXPECT_FALSE(row(first).managed);
    EXPECT_TRUE(row(second).stored);
}

TEST_F(SetupControllerTest, TheCommandLineLinkIsInstalledOrReplacedOnlyWhenItIsOurs)
{
    const fs::path link = home / ".local/bin/vantorelle";
    struct Case
    {
        std::string linkTo; // "": none; "file": a plain file
        CLI before, after;
        std::string message;
    };
    for (const auto& c :
         std::vector<Case>{{"", CLI::absent, CLI::installed, "settings.cli.installed"},
                           {"/usr/lib/vantorelle/vantorelle", CLI::outdated, CLI::installed, "settings.cli.installed"},
                           {"/usr/bin/somebody-else", CLI::taken, CLI::taken, "settings.cli.taken"},
                           {"file", CLI::taken, CLI::taken, "settings.cli.taken"}}) {
        fs::remove_all(home / ".local");
        fs::create_directories(link.parent_path());
        if (c.linkTo == "file") {
            test::writeFile(link, "mine");
        } else if (!c.linkTo.empty()) {
            fs::create_symlink(c.linkTo, link);
        }
        refresh();
        EXPECT_EQ(state().cliState, c.before);
        const auto list = controller().checklist();
        EXPECT_EQ(list.installShown, c.before != CLI::taken);
        if (c.before != CLI::taken) {
            EXPECT_EQ(list.cliLine, L("settings.cli.state.absent", {"~/.local/bin/vantorelle"}));
        }
        controller().installCLI();
        EXPECT_EQ(state().cliState, c.after);
        EXPECT_EQ(message(), L(c.message));
        EXPECT_EQ(fs::is_symlink(link) ? fs::read_symlink(link).string() : test::readFile(link),
                  c.after == CLI::installed ? (install / "vantorelle").string()
                                            : (c.linkTo == "file" ? "mine" : c.linkTo));
    }
    place.cliTarget.reset();
    made.reset();
    refresh();
    EXPECT_EQ(state().cliState, CLI::unavailable);
}

TEST_F(SetupControllerTest, ApplyWritesBothFilesWithABackupAndAnApplyWithoutChangesOnlyReexports)
{
    readyKey("id_ed25519");
    test::writeFile(home / ".ssh/config", "Host work\n  User me\n");
    test::writeFile(home / ".zshenv", "export A=1\n");
    controller().reviewApply();
    ASSERT_TRUE(state().review);
    const auto cards = controller().cards(*state().review);
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[0].displayPath, "~/.ssh/config");
    EXPECT_EQ(cards[0].summary, L("settings.review.summary.add.top", {L("settings.review.lines.many", {"7"})}));
    EXPECT_EQ(cards[1].displayPath, "~/.zshenv");
    EXPECT_EQ(cards[1].summary, L("settings.review.summary.add.bottom", {L("settings.review.lines.many", {"6"})}));
    EXPECT_NE(cards[1].diffText().find("+  export SSH_ASKPASS_REQUIRE=force\n"), std::string::npos);
    EXPECT_EQ(controller().checklist().remaining, 3);

    confirm();
    EXPECT_EQ(message(), L("settings.ssh.applied"));
    EXPECT_EQ(test::readFile(home / ".ssh/config.bak-vantorelle"), "Host work\n  User me\n");
    EXPECT_EQ(test::readFile(home / ".zshenv.bak-vantorelle"), "export A=1\n");
    EXPECT_NE(test::readFile(home / ".ssh/config").find("IdentityFile ~/.ssh/id_ed25519"), std::string::npos);
    EXPECT_EQ(session.get("SSH_ASKPASS"), (install / "vantorelle-askpass").string());
    auto list = controller().checklist();
    EXPECT_TRUE(list.keyDone && list.sshDone && !list.connectShown && list.remaining == 2);
    EXPECT_EQ(list.sshLine, L("settings.step.ssh.done", {"~/.zshenv"}));

    // Nothing left to change: no review, the environment is exported again.
    session.vars.clear();
    const int sets = session.sets;
    controller().reviewApply();
    EXPECT_FALSE(state().review);
    settle();
    EXPECT_EQ(message(), L("settings.ssh.alreadyapplied"));
    EXPECT_EQ(session.sets, sets + 2);
    EXPECT_EQ(session.get("SSH_ASKPASS_REQUIRE"), "force");
}

TEST_F(SetupControllerTest, WithoutASessionManagerTheFilesAreTheWholeStepAndTheLineSaysSo)
{
    session.up = false;
    readyKey("id_ed25519");
    controller().reviewApply();
    confirm();
    EXPECT_EQ(message(), L("settings.ssh.applied") + " " + L("settings.step.ssh.nosession"));
    const auto list = controller().checklist();
    EXPECT_TRUE(list.sshDone);
    EXPECT_EQ(list.sshLine, L("settings.step.ssh.done", {"~/.zshenv"}) + " " + L("settings.step.ssh.nosession"));
}

TEST_F(SetupControllerTest, AFileChangedBetweenReviewAndConfirmStopsEverything)
{
    readyKey("id_ed25519");
    test::writeFile(home / ".zshenv", "export A=1\n");
    controller().reviewApply();
    ASSERT_TRUE(state().review);
    test::writeFile(home / ".zshenv", "export A=2\n");
    confirm();
    EXPECT_EQ(message(), L("settings.error.changed"));
    EXPECT_FALSE(fs::exists(home / ".ssh/config"));
    EXPECT_EQ(test::readFile(home / ".zshenv"), "export A=2\n");
    EXPECT_FALSE(fs::exists(home / ".zshenv.bak-vantorelle"));
    EXPECT_FALSE(session.get("SSH_ASKPASS"));
}

TEST_F(SetupControllerTest, AFileSetupCannotReadStopsTheSetupInsteadOfHalfApplyingIt)
{
    // Left out of the plan, the unreadable file would never get its block while every apply
    // reported success ("already applied" from then on).
    readyKey("id_ed25519");
    for (const fs::path& file : {home / ".zshenv", home / ".ssh/config"}) {
        fs::remove(home / ".zshenv");
        fs::remove(home / ".ssh/config");
        test::writeFile(file, "export A=\xff\n");
        controller().reviewApply();
        settle();
        EXPECT_FALSE(state().review) << file;
        EXPECT_EQ(message(), L("settings.error.unreadable"));
        EXPECT_EQ(fs::exists(home / ".ssh/config") + fs::exists(home / ".zshenv"), 1);
    }
}

TEST_F(SetupControllerTest, UndoGivesEveryFileBackAndRemovesOnlyOurLink)
{
    for (const std::string target : {"ours", "/usr/lib/vantorelle/vantorelle", "/usr/bin/someone"}) {
        TempDir fresh{"vu"};
        home = place.home = fresh.path();
        const fs::path link = home / ".local/bin/vantorelle";
        fs::create_directory(home / ".ssh");
        env.set("XDG_CONFIG_HOME", (home / ".config").string());
        autostart = XdgAutostart(env);
        made.reset();
        defaults.remove("managedKeyPaths");
        const auto path = readyKey("id_ed25519");
        const std::string config = "Host *\n  IdentitiesOnly yes\n", zshenv = "export A=1\n# no newline";
        test::writeFile(home / ".ssh/config", config);
        test::writeFile(home / ".zshenv", zshenv);
        fs::create_directories(link.parent_path());
        fs::create_symlink(target == "ours" ? install / "vantorelle" : fs::path(target), link);
        controller().setLoginItem(true);
        controller().reviewApply();
        confirm();
        ASSERT_TRUE(state().setupApplied);

        controller().reviewUndo();
        const auto cards = controller().cards(*state().review);
        ASSERT_EQ(cards.size(), 2u);
        EXPECT_EQ(cards[0].summary,
                  L("settings.review.summary.remove.block", {L("settings.review.lines.many", {"7"})}));
        confirm();
        EXPECT_EQ(message(), L("settings.undo.done"));
        EXPECT_EQ(test::readFile(home / ".ssh/config"), config);
        EXPECT_EQ(test::readFile(home / ".zshenv"), zshenv);
        EXPECT_TRUE(session.vars.empty() && managed().empty());
        EXPECT_FALSE(secrets.hasPassphrase(path.string()) || autostart.enabled());
        EXPECT_EQ(fs::is_symlink(link), target == "/usr/bin/someone") << target;
        EXPECT_FALSE(state().setupApplied);
    }
}

TEST_F(SetupControllerTest, AnUndoThatCannotDeleteOneItemKeepsThatKeyManaged)
{
    const auto a = readyKey("id_a");
    const auto b = readyKey("id_b");
    controller().reviewApply();
    const auto created = controller().cards(*state().review);
    EXPECT_EQ(created[1].summary, L("settings.review.summary.create"));
    EXPECT_TRUE(created[1].showsDiff && created[1].diff.size() == 6u);
    confirm();
    store.failFor = b;
    controller().reviewUndo();
    // .zshenv was made by the setup: the undo deletes it and shows no diff for it.
    const auto cards = controller().cards(*state().review);
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[1].summary, L("settings.review.summary.delete"));
    EXPECT_TRUE(!cards[1].showsDiff && cards[1].diff.empty());
    confirm();
    EXPECT_EQ(message(), L("settings.undo.keysleft"));
    EXPECT_EQ(managed(), std::vector{b.string()});
    EXPECT_FALSE(secrets.hasPassphrase(a.string()));
    EXPECT_FALSE(fs::exists(home / ".zshenv"));
}

TEST_F(SetupControllerTest, TheMigrationRemovesThePrototypesLinesFilesAndItemsAndReportsWhatIsLeft)
{
    const std::string exportLines
        = "# SSH key passphrase via Touch ID\nexport SSH_ASKPASS=\"$HOME/.local/bin/ssh-quillgate-askpass\"\n"
          "export SSH_ASKPASS_REQUIRE=force\n";
    test::writeFile(home / ".zshenv", "export A=1\n\n" + exportLines);
    test::writeFile(home / ".ssh/config", "Host *\n  AddKeysToAgent 3h\n");
    test::writeFile(home / ".local/bin/ssh-quillgate-askpass", "#!/bin/sh\n");
    test::writeFile(home / ".local/share/ssh-quillgate/state", "x");
    storeForeignItem({{"service", "ssh-quillgate"}, {"account", "a"}});
    storeForeignItem({{"service", "ssh-quillgate"}, {"account", "b"}});
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
    ASSERT_EQ(trashed.size(), 2u);
    EXPECT_EQ(test::readFile(trashed[1] / "state"), "x");
    EXPECT_FALSE(fs::exists(home / ".local/share/ssh-quillgate"));
    EXPECT_EQ(test::readFile(home / ".zshenv"), "export A=1\n");
    EXPECT_EQ(test::readFile(home / ".ssh/config"), "Host *\n");
    EXPECT_FALSE(secrets.serviceHasItems("ssh-quillgate"));
    EXPECT_FALSE(session.get("SSH_ASKPASS"));

    keepOutOfTrash.clear();
    refresh();
    controller().reviewMigration();
    EXPECT_TRUE(state().review->plan.changes.empty());
    confirm();
    EXPECT_EQ(message(), L("settings.migration.done"));
    EXPECT_TRUE(state().leftovers.empty());
    EXPECT_FALSE(fs::exists(home / "Applications/Quillgate Unlock.app"));
    EXPECT_EQ(trashed.size(), 3u);
}

TEST_F(SetupControllerTest, TheCleanUpRemovesALinkPointingNowhereAndTrashesIntoTheHomeTrashOnly)
{
    // The Trash refuses a dangling link; kept, it would be reported left over after every clean-up.
    // And a data directory not made yet must not send the Trash elsewhere.
    desktopTrash = true;
    const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString((home / "data").string()));
    fs::create_directories(home / ".local/bin");
    fs::create_symlink("/nonexistent/ssh-quillgate-askpass", home / ".local/bin/ssh-quillgate-askpass");
    test::writeFile(home / ".local/bin/quillgate-unlock", "#!/bin/sh\n");
    refresh();
    ASSERT_EQ(state().leftovers.size(), 2u);
    controller().reviewMigration();
    confirm();
    EXPECT_EQ(message(), L("settings.migration.done"));
    EXPECT_TRUE(state().leftovers.empty());
    EXPECT_FALSE(fs::is_symlink(home / ".local/bin/ssh-quillgate-askpass"));
    EXPECT_EQ(test::readFile(home / "data/Trash/files/quillgate-unlock"), "#!/bin/sh\n");
    qputenv("XDG_DATA_HOME", dataHome);
}

TEST_F(SetupControllerTest, TheLoginSwitchWritesAndRemovesTheAutostartEntry)
{
    controller().setLoginItem(true);
    EXPECT_TRUE(state().loginEnabled && state().loginOn && autostart.enabled());
    EXPECT_EQ(controller().checklist().loginLine, L("settings.step.login.done"));
    controller().setLoginItem(false);
    EXPECT_FALSE(fs::exists(autostart.entryPath()) || state().loginEnabled);
    EXPECT_EQ(controller().checklist().loginLine, L("settings.step.login.off"));
    // An entry that cannot be written is reported (a file where its directory belongs stops root too).
    fs::remove_all(autostart.entryPath().parent_path());
    test::writeFile(autostart.entryPath().parent_path(), "not a directory");
    controller().setLoginItem(true);
    EXPECT_EQ(message(), L("settings.login.failed"));
    EXPECT_FALSE(state().loginOn);
}

TEST_F(SetupControllerTest, TheDurationStepsStopAtTheirBoundsAndTheLanguageIsKept)
{
    struct Case
    {
        double stored, step, shown, changes;
    };
    for (const auto& c : std::vector<Case>{
             {900, -1, 900, 0}, {10800, +1, 10800, 0}, {3600, +1, 4500, 1}, {1800, -1, 900, 1}, {10800, -1, 9900, 1}}) {
        defaults.set("unlockDuration", c.stored);
        changes = 0;
        refresh();
        controller().stepDuration(static_cast<int>(c.step));
        EXPECT_EQ(state().duration, c.shown) << c.stored;
        EXPECT_EQ(defaults.number("unlockDuration"), c.changes ? c.shown : c.stored);
        EXPECT_EQ(changes, c.changes);
    }
    controller().setLanguage(LanguageOverride::Choice::french);
    EXPECT_EQ(defaults.stringArray("AppleLanguages"), std::vector<std::string>{"fr"});
    EXPECT_EQ(state().language, LanguageOverride::Choice::french);
}

TEST_F(SetupControllerTest, TheKeyStepAsksToChooseAmongTwoKeysAndIsDoneOnceOneIsStored)
{
    refresh();
    EXPECT_EQ(controller().checklist().keyLine, L("settings.keys.none"));
    const auto plain = key("id_plain", "");
    refresh();
    EXPECT_EQ(controller().checklist().keyLine, L("settings.step.key.todo"));
    EXPECT_EQ(controller().checklist().keyFormRow->key.path, plain);
    const auto a = key("id_a");
    key("id_b");
    refresh();
    auto list = controller().checklist();
    EXPECT_EQ(list.keyLine, L("settings.step.key.choose"));
    EXPECT_EQ(list.sshLine, L("settings.ssh.needkey"));
    EXPECT_FALSE(list.connectEnabled);
    ASSERT_TRUE(save(a, "right"));
    list = controller().checklist();
    EXPECT_TRUE(list.keyDone);
    EXPECT_EQ(list.keyLine, L("settings.step.key.ready", {"id_a"}));
    EXPECT_EQ(list.sshLine,
              L("settings.step.ssh.missing", {"~/.ssh/config, ~/.zshenv, " + L("settings.step.ssh.missing.env")}));
    EXPECT_TRUE(list.connectEnabled);
}

TEST_F(SetupControllerTest, TheKeyringsOwnEntryIsShownAndDeleted)
{
    const auto path = key("id_ed25519");
    storeForeignItem({{"unique", "ssh-store:" + path.string()}});
    refresh();
    ASSERT_TRUE(row(path).appleStored);
    controller().deleteAppleEntry(row(path));
    settle();
    EXPECT_EQ(message(), L("settings.apple.deleted"));
    EXPECT_FALSE(row(path).appleStored);
    controller().deleteAppleEntry(row(path));
    settle();
    EXPECT_EQ(message(), L("settings.apple.deletefailed"));
}

TEST_F(SetupControllerTest, AKeyTheSSHBlockCannotHoldIsNamedInsteadOfCountedAsConnected)
{
    const auto odd = readyKey("id_${X}");
    readyKey("id_ok");
    controller().reviewApply();
    confirm();
    EXPECT_EQ(SetupController::rowStateKey(row(odd)), "settings.keys.state.leftout");
    EXPECT_EQ(test::readFile(home / ".ssh/config").find("id_${X}"), std::string::npos);
    const auto list = controller().checklist();
    EXPECT_NE(list.sshLine.find(L("settings.step.ssh.leftout", {"id_${X}"})), std::string::npos);
}

// The review summaries, on plans made by hand.
TEST(SetupReviewText, SummariesFollowTheShapeOfEachChange)
{
    const std::string block = B + "\nx\n" + E + "\n";
    auto lines = [](int n) {
        return L(n == 1 ? "settings.review.lines.one" : "settings.review.lines.many", {std::to_string(n)});
    };
    const std::vector<std::pair<FileChange, std::string>> cases = {
        {{"/h/a", "a\nb\n", "", true}, L("settings.review.summary.delete")},
        {{"/h/a", "", "new\n", false}, L("settings.review.summary.create")},
        {{"/h/a", "a\n", "a\n", false}, L("settings.review.summary.none")},
        {{"/h/a", "top\nmid\n", "t\ntop\nmid\nb\n", false}, L("settings.review.summary.add.top", {lines(2)})},
        {{"/h/a", "top\nmid\n", "top\nmid\nb\n", false}, L("settings.review.summary.add.bottom", {lines(1)})},
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

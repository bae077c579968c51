// The settings window over a real SetupController, under the offscreen platform: real keys made
// by ssh-keygen in a temporary home, real files and autostart entry; the secret store, agent and
// session are fakes. What the checklist, the key list, the review sheet and the header say in the
// states a new user meets, and what the buttons do.
#include "settings/SettingsWindow.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>
#include <gtest/gtest.h>

#include "app/TestApplication.h"
#include "defaults/MemoryDefaults.h"
#include "fakes/CoordinatorRig.h"
#include "i18n/L.h"
#include "platform/Autostart.h"
#include "platform/SessionEnvironment.h"
#include "setup/MarkedBlock.h"
#include "shell/AppModel.h"
#include "support/SshTools.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;

constexpr auto q = &QString::fromStdString;

// The controller asks these from its worker thread, one call at a time.
struct Secrets final : ForeignSecrets
{
    bool hasPassphrase(const std::string& keyPath) override { return store.items.contains(keyPath); }
    bool serviceHasItems(std::string_view) override { return false; }
    using Deleted = PrototypeMigration::KeychainDeleteResult;
    Deleted deleteServiceItem(std::string_view) override { return Deleted::notFound; }
    bool hasAgentItem(const std::string&) override { return false; }
    bool deleteAgentItem(const std::string&) override { return false; }
    InMemoryPassphraseStore store; // the app's own passphrases
};

struct Session final : SessionEnvironment
{
    bool available() override { return true; }
    std::optional<std::string> get(const std::string& name) override
    {
        return values.contains(name) ? std::optional(values[name]) : std::nullopt;
    }
    bool set(const std::string& name, const std::string& value) override { return values[name] = value, true; }
    bool unset(const std::string& name) override { return values.erase(name), true; }
    std::map<std::string, std::string> values;
};

// What the checklist and the key list show.
struct Shown
{
    std::string overall = L("settings.status.remaining.other", {"4"});
    std::string key, ssh = L("settings.ssh.needkey");
    std::string cli = L("settings.cli.state.absent", {"~/.local/bin/vantorelle"}), login = L("settings.step.login.off");
    std::vector<const char*> rows;
    bool form = false, connectShown = true, connectEnabled = false;
};

class SettingsWindowTest : public testing::Test
{
protected:
    void SetUp() override
    {
        testApplication();
        i18n::setCurrentLanguage(Language::English);
        fs::create_directories(home / ".ssh");
        test::writeFile(helper, "#!/bin/sh\n");
        test::writeFile(cli, "#!/bin/sh\n");
        env.set("XDG_CONFIG_HOME", (dir.path() / "config").string());
        autostart = XdgAutostart(env);
        window = std::make_unique<SettingsWindow>(controller, model, clock, defaults);
        window->present();
    }
    fs::path key(const std::string& name) const { return home / ".ssh" / name; }
    // Until the scan, or the passphrase work, is over and shown.
    void settle()
    {
        EXPECT_TRUE(QTest::qWaitFor([&] { return !controller.state().scanning && !controller.state().busy; }, 60'000));
        QApplication::processEvents();
    }
    void expectShown(const Shown& shown)
    {
        controller.refresh();
        settle();
        QStringList expected{q(shown.overall), q(shown.key), q(shown.ssh), q(shown.cli), q(shown.login)};
        for (const char* row : shown.rows) {
            expected.push_back(q(L(row)));
        }
        const QStringList actual = QStringList(window->overallText()) + window->stepTexts() + window->rowStateTexts();
        EXPECT_EQ(expected.join("\n").toStdString(), actual.join("\n").toStdString());
        EXPECT_EQ(shown.form, window->findChild<QLineEdit*>("repeat") != nullptr);
        EXPECT_EQ(shown.connectShown, window->connectButton()->isVisibleTo(window.get()));
        EXPECT_EQ(shown.connectEnabled, window->connectButton()->isEnabled());
    }
    QPushButton* button(const char* key) const
    {
        const auto all = window->findChildren<QPushButton*>();
        const auto found = std::ranges::find_if(
            all, [&](QPushButton* b) { return b->text() == q(L(key)) && b->isVisibleTo(window.get()); });
        return found == all.end() ? nullptr : *found;
    }
    // After a fresh scan, the first offered key's passphrase form, with `entered` typed and sent.
    QLineEdit* chooseKey(const char* entered = nullptr)
    {
        controller.refresh();
        settle();
        button("settings.keys.manage")->click();
        auto* field = window->findChild<QLineEdit*>("passphrase");
        if (field && entered) {
            QTest::keyClicks(field, entered);
            QTest::keyClick(field, Qt::Key_Return);
            settle();
        }
        return field;
    }
    static void save(QWidget& widget, const char* name)
    {
        EXPECT_TRUE(widget.grab().save(QString(VANTORELLE_SOURCE_DIR "/docs/screenshots/") + name));
    }

    TempDir dir{"vt-settings"};
    fs::path home = dir.path() / "home", helper = dir.path() / "vantorelle-askpass", cli = dir.path() / "vantorelle";
    Secrets secrets;
    InMemoryPassphraseStore& store = secrets.store;
    FakeAgent agent;
    Session session;
    Environment env;
    XdgAutostart autostart{env};
    MemoryDefaults defaults;
    AppModel model;
    FakeClock clock;
    SetupController controller{
        SetupPlace{home, "/bin/bash", helper, cli, "/usr/lib/vantorelle/vantorelle-app"},
        SetupServices{&store, &secrets, &agent, &session, &autostart, &defaults, [](const fs::path&) { return false; }},
        [] {}};
    std::unique_ptr<SettingsWindow> window;
};

TEST_F(SettingsWindowTest, ANewUserIsLedThroughTheSetupInAWindowThatCountsDownAndKeepsItsSize)
{
    EXPECT_EQ(QSize(480, 560), window->size());
    controller.refresh();
    EXPECT_EQ(q(L("settings.step.key.scanning")), window->stepTexts()[0]) << "before the scan has answered";
    expectShown({.key = L("settings.keys.none")});

    SCOPED_TRACE("a key without a passphrase is given one in the key step, typed twice");
    test::makeKey(key("id_rsa"), {.type = "rsa"});
    expectShown({.key = L("settings.step.key.todo"), .rows = {"settings.keys.state.nopassphrase"}, .form = true});
    save(*window, "settings-new-user.png");
    auto* passphrase = window->findChild<QLineEdit*>("passphrase");
    auto* repeat = window->findChild<QLineEdit*>("repeat");
    ASSERT_TRUE(passphrase && repeat);
    QTest::keyClicks(passphrase, "horse battery");
    QTest::keyClicks(repeat, "horse battery");
    QTest::keyClick(repeat, Qt::Key_Return);
    EXPECT_TRUE(passphrase->text().isEmpty() && repeat->text().isEmpty()) << "the fields forget what was typed";
    settle();
    EXPECT_EQ("horse battery", std::string(store.items.at(key("id_rsa").string()).view()));

    SCOPED_TRACE("two keys with passphrases: one is chosen from the list and its passphrase typed once");
    fs::remove(key("id_rsa"));
    store.items.clear();
    defaults.remove("managedKeyPaths");
    test::makeKey(key("id_ed25519"), {.passphrase = "one two"});
    test::makeKey(key("work"), {.passphrase = "three four"});
    const char *available = "settings.keys.state.available", *managed = "settings.keys.state.managed";
    expectShown({.key = L("settings.step.key.choose"), .rows = {available, available}});
    // Typed but never saved: whether the form goes or its window closes, nothing typed stays. text() shares the
    // field's own buffer: what it holds is what the freed memory would hold.
    const auto wipedWhen = [&](const std::function<void()>& leave) {
        QPointer<QLineEdit> field = chooseKey();
        EXPECT_FALSE(window->findChild<QLineEdit*>("repeat")) << "a key with a passphrase: typed once";
        QTest::keyClicks(field, "horse battery");
        const QString typed = field->text();
        leave();
        return !typed.contains(QStringLiteral("horse")) && (!field || field->text().isEmpty());
    };
    EXPECT_TRUE(wipedWhen([&] {
        controller.refresh(); // a fresh scan lays the key list out again
        settle();
    }));
    chooseKey("wrong");
    EXPECT_EQ(q(L("settings.keys.wrong")), window->findChild<QLabel*>("message")->text());
    EXPECT_TRUE(store.items.empty());
    chooseKey("one two");
    EXPECT_EQ(std::vector{key("id_ed25519").string()}, defaults.stringArray("managedKeyPaths"));

    SCOPED_TRACE("one key of two managed: ssh can be connected after a review, which Escape leaves unwritten");
    const std::string own = "# mine\nalias ll='ls -l'\n";
    test::writeFile(home / ".bashrc", own);
    defaults.set("unlockDuration", 1800.0);
    const std::string missing = "~/.ssh/config, ~/.bashrc, " + L("settings.step.ssh.missing.env");
    expectShown({.overall = L("settings.status.remaining.other", {"3"}),
                 .key = L("settings.step.key.ready", {"id_ed25519"}),
                 .ssh = L("settings.step.ssh.missing", {missing}),
                 .rows = {managed, available},
                 .connectEnabled = true});
    window->connectButton()->click();
    ReviewSheet* sheet = window->reviewSheet();
    ASSERT_TRUE(sheet);
    const auto cards = sheet->cards();
    ASSERT_EQ(2, cards.size());
    EXPECT_EQ("~/.bashrc", cards[1]->pathText());
    EXPECT_EQ(q(L("settings.review.summary.add.bottom", {L("settings.review.lines.many", {"6"})})),
              cards[1]->summaryText());
    // The diff opens on demand, in a fixed-width font, with its two lines of context.
    QTextEdit* diff = cards[1]->diff();
    EXPECT_FALSE(diff->isVisibleTo(sheet));
    cards[1]->detailToggle()->click();
    EXPECT_TRUE(diff->isVisibleTo(sheet));
    EXPECT_TRUE(QFontInfo(diff->font()).fixedPitch());
    EXPECT_TRUE(diff->toPlainText().startsWith("  # mine\n  alias ll='ls -l'\n+ " + q(std::string(MarkedBlock::begin))))
        << diff->toPlainText().toStdString();
    EXPECT_TRUE(diff->toHtml().contains("background-color:")) << "added lines are tinted";
    sheet->resize(window->size() - QSize(0, 40));
    save(*sheet, "settings-review.png");
    QTest::keyClick(sheet, Qt::Key_Escape);
    QApplication::processEvents();
    EXPECT_FALSE(controller.state().review.has_value());
    EXPECT_EQ(own, test::readFile(home / ".bashrc"));

    SCOPED_TRACE("the shorter duration button goes grey at 15 minutes, the longer one at 3 hours");
    button("settings.duration.less")->click();
    EXPECT_EQ(900.0, defaults.number("unlockDuration"));
    EXPECT_FALSE(button("settings.duration.less")->isEnabled());
    EXPECT_TRUE(button("settings.duration.more")->isEnabled());

    SCOPED_TRACE("all done");
    window->present();
    fs::remove(key("work"));
    ASSERT_TRUE(SetupPlan::make(home, helper.string(), {SSHKey{key("id_ed25519")}}, "/bin/bash")
                    .apply(SetupPlan::backupSuffix));
    session.values["SSH_ASKPASS"] = helper.string();
    ASSERT_TRUE(autostart.setEnabled(true, "/usr/lib/vantorelle/vantorelle-app"));
    fs::create_directories(home / ".local/bin");
    fs::create_symlink(cli, home / ".local/bin/vantorelle");
    defaults.set("unlockDuration", 10800.0);
    expectShown({.overall = L("settings.status.ready"),
                 .key = L("settings.step.key.ready", {"id_ed25519"}),
                 .ssh = L("settings.step.ssh.done", {"~/.bashrc"}),
                 .cli = L("settings.cli.state.installed", {"~/.local/bin/vantorelle"}),
                 .login = L("settings.step.login.done"),
                 .rows = {managed},
                 .connectShown = false,
                 .connectEnabled = true});
    save(*window, "settings-all-done.png");
    EXPECT_FALSE(button("settings.duration.more")->isEnabled());

    SCOPED_TRACE("unmanaging asks first, Escape and Return cancel, and the last ready key offers the undo");
    test::makeKey(key("work"), {.passphrase = "three four"});
    chooseKey("three four");
    // Each question goes once answered; the next one is a new window.
    const auto answer = [&](const std::string& title, const std::function<void(QMessageBox*)>& how) {
        button("settings.keys.unmanage")->click();
        QPointer<QMessageBox> box = window->findChild<QMessageBox*>();
        ASSERT_TRUE(box);
        EXPECT_FALSE(box->iconPixmap().isNull()) << "the mascot stands beside the question";
        EXPECT_EQ(q(title), box->text());
        how(box);
        ASSERT_TRUE(QTest::qWaitFor([&] { return box.isNull(); }));
    };
    const auto yes = [](QMessageBox* box) { box->buttons().front()->click(); };
    const std::string confirmTitle = L("settings.unmanage.confirm.title", {"id_ed25519"});
    for (const auto pressed : {Qt::Key_Escape, Qt::Key_Return}) {
        answer(confirmTitle, [&](QMessageBox* box) { QTest::keyClick(box, pressed); });
        EXPECT_EQ(2u, store.items.size());
    }
    answer(confirmTitle, yes);
    ASSERT_TRUE(QTest::qWaitFor([&] { return defaults.stringArray("managedKeyPaths")->size() == 1; }, 60'000));
    settle();
    EXPECT_FALSE(store.items.contains(key("id_ed25519").string()));
    EXPECT_EQ(std::vector<std::string>{key("id_ed25519").string() + ".pub"}, agent.removes);
    answer(L("settings.unmanage.last.title"), yes);
    ASSERT_TRUE(window->reviewSheet());
    EXPECT_EQ(q(L("settings.review.undo.title")), window->reviewSheet()->titleText());
    EXPECT_TRUE(store.items.contains(key("work").string()));

    SCOPED_TRACE("the header counts down every second and locks at the end");
    EXPECT_EQ(q(L("menu.header.locked")), window->headerText());
    model.setStatus(StatusReport{StatusState::unlocked, std::nullopt, {"id_ed25519"}});
    EXPECT_EQ(q(L("settings.header.nolimit")), window->headerText());
    model.setWindow(UnlockWindow{clock.now() + std::chrono::seconds(3725), 10800});
    EXPECT_EQ(q(L("settings.header.remaining", {"1:02:05"})), window->headerText());
    // Nothing but the passing of time moves it: the window's own tick reads the clock.
    clock.advance(1.5);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return window->headerText() == q(L("settings.header.remaining", {"1:02:04"})); }, 5000));
    clock.advance(3724);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->headerText() == q(L("menu.header.locked")); }, 5000));

    SCOPED_TRACE("the size stays within bounds, across runs too; the closed window keeps no passphrase typed");
    window->resize(2000, 300);
    EXPECT_EQ(QSize(720, 420), window->size());
    EXPECT_TRUE(wipedWhen([&] { window->close(); }));
    window = std::make_unique<SettingsWindow>(controller, model, clock, defaults);
    window->present();
    EXPECT_EQ(QSize(720, 420), window->size());
}

} // namespace
} // namespace vantorelle

// The settings window over a real SetupController, under the offscreen platform: real keys made
// by ssh-keygen in a temporary home, real files; the secret store, agent, session and autostart
// are fakes. What the checklist, the key list, the review sheet and the header say in the states
// a new user meets, and what the buttons do.
#include "settings/SettingsWindow.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>
#include <gtest/gtest.h>
#include <map>

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
using Status = SSHKey::Status;

QString q(const std::string& text)
{
    return QString::fromStdString(text);
}

// The controller asks these from its worker thread, one call at a time.
struct Secrets final : ForeignSecrets
{
    bool hasPassphrase(const std::string& keyPath) override { return store.items.contains(keyPath); }
    bool serviceHasItems(std::string_view) override { return false; }
    PrototypeMigration::KeychainDeleteResult deleteServiceItem(std::string_view) override
    {
        return PrototypeMigration::KeychainDeleteResult::notFound;
    }
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

struct Login final : Autostart
{
    bool enabled() const override { return on; }
    std::expected<void, Error> setEnabled(bool enabled, const std::string&) override
    {
        return on = enabled, std::expected<void, Error>();
    }
    bool on = false;
};

class SettingsWindowTest : public testing::Test
{
protected:
    void SetUp() override
    {
        testApplication();
        i18n::setCurrentLanguage(Language::English);
        fs::create_directories(home() / ".ssh");
        test::writeFile(helper(), "#!/bin/sh\n");
        test::writeFile(cliTarget(), "#!/bin/sh\n");
    }
    fs::path home() const { return dir.path() / "home"; }
    fs::path helper() const { return dir.path() / "vantorelle-askpass"; }
    fs::path cliTarget() const { return dir.path() / "vantorelle"; }
    fs::path key(const std::string& name) const { return home() / ".ssh" / name; }

    SettingsWindow& open()
    {
        controller = std::make_unique<SetupController>(
            SetupPlace{home(), "/bin/bash", helper(), cliTarget(), "/usr/lib/vantorelle/vantorelle-app"},
            SetupServices{&store, &secrets, &agent, &session, &login, &defaults, [](const fs::path&) { return false; }},
            [] {});
        window = std::make_unique<SettingsWindow>(*controller, model, clock, defaults);
        window->present();
        settle();
        return *window;
    }
    // Until the scan, or the passphrase work, is over and shown.
    void settle()
    {
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return !controller->state().scanning && !controller->state().busy; }, 60'000));
        QApplication::processEvents();
    }
    QPushButton* button(const char* key) const
    {
        for (auto* candidate : window->findChildren<QPushButton*>()) {
            if (candidate->text() == q(L(key)) && candidate->isVisibleTo(window.get())) {
                return candidate;
            }
        }
        return nullptr;
    }
    void manage(const fs::path& path, const char* passphrase)
    {
        store.items.insert_or_assign(path.string(), SecretString(std::string_view(passphrase)));
        auto paths = defaults.stringArray("managedKeyPaths").value_or(std::vector<std::string>{});
        paths.push_back(path.string());
        defaults.set("managedKeyPaths", paths);
    }
    static void save(QWidget& widget, const char* name)
    {
        QDir().mkpath(VANTORELLE_SOURCE_DIR "/docs/screenshots");
        EXPECT_TRUE(widget.grab().save(QString(VANTORELLE_SOURCE_DIR "/docs/screenshots/") + name));
    }

    TempDir dir{"vt-settings"};
    Secrets secrets;
    InMemoryPassphraseStore& store = secrets.store;
    FakeAgent agent;
    Session session;
    Login login;
    MemoryDefaults defaults;
    AppModel model;
    FakeClock clock;
    std::unique_ptr<SetupController> controller;
    std::unique_ptr<SettingsWindow> window;
};

TEST_F(SettingsWindowTest, ChecklistForTheStatesANewUserMeets)
{
    const std::string needKey = L("settings.ssh.needkey");
    const std::string off = L("settings.step.login.off");
    const std::string absent = L("settings.cli.state.absent", {"~/.local/bin/vantorelle"});
    struct Case
    {
        const char* name;
        std::function<void()> prepare;
        std::string overall, key, ssh, cli, login;
        std::vector<std::string> rows;
        bool form, connectShown, connectEnabled;
    };
    const Case cases[] = {
        {"no keys",
         [] {},
         L("settings.status.remaining.other", {"4"}),
         L("settings.keys.none"),
         needKey,
         absent,
         off,
         {},
         false,
         true,
         false},
        {"one key without a passphrase",
         [&] { test::makeKey(key("id_rsa"), {.type = "rsa"}); },
         L("settings.status.remaining.other", {"4"}),
         L("settings.step.key.todo"),
         needKey,
         absent,
         off,
         {L("settings.keys.state.nopassphrase")},
         true,
         true,
         false},
        {"two keys, neither managed",
         [&] {
             fs::remove(key("id_rsa"));
             fs::remove(key("id_rsa.pub"));
             test::makeKey(key("id_ed25519"), {.passphrase = "one two"});
             test::makeKey(key("work"), {.passphrase = "three four"});
         },
         L("settings.status.remaining.other", {"4"}),
         L("settings.step.key.choose"),
         needKey,
         absent,
         off,
         {L("settings.keys.state.available"), L("settings.keys.state.available")},
         false,
         true,
         false},
        // Once one of them is managed and stored, the key step is done and ssh can be connected.
        {"one of two managed",
         [&] { manage(key("id_ed25519"), "one two"); },
         L("settings.status.remaining.other", {"3"}),
         L("settings.step.key.ready", {"id_ed25519"}),
         L("settings.step.ssh.missing", {"~/.ssh/config, ~/.bashrc, " + L("settings.step.ssh.missing.env")}),
         absent,
         off,
         {L("settings.keys.state.managed"), L("settings.keys.state.available")},
         false,
         true,
         true},
        {"all done",
         [&] {
             fs::remove(key("work"));
             fs::remove(key("work.pub"));
             ASSERT_TRUE(SetupPlan::make(home(), helper().string(), {SSHKey{key("id_ed25519")}}, "/bin/bash")
                             .apply(SetupPlan::backupSuffix));
             session.values["SSH_ASKPASS"] = helper().string();
             login.on = true;
             fs::create_directories(home() / ".local/bin");
             fs::create_symlink(cliTarget(), home() / ".local/bin/vantorelle");
         },
         L("settings.status.ready"),
         L("settings.step.key.ready", {"id_ed25519"}),
         L("settings.step.ssh.done", {"~/.bashrc"}),
         L("settings.cli.state.installed", {"~/.local/bin/vantorelle"}),
         L("settings.step.login.done"),
         {L("settings.keys.state.managed")},
         false,
         false,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        if (!window) {
            open();
            // Before the scan has answered the key step says it is looking.
            controller->refresh();
            EXPECT_EQ(q(L("settings.step.key.scanning")), window->stepTexts()[0]);
        }
        controller->refresh();
        settle();
        EXPECT_EQ(q(c.overall), window->overallText());
        EXPECT_EQ(QStringList({q(c.key), q(c.ssh), q(c.cli), q(c.login)}).join("\n").toStdString(),
                  window->stepTexts().join("\n").toStdString());
        QStringList rows;
        for (const auto& row : c.rows) {
            rows.push_back(q(row));
        }
        EXPECT_EQ(rows.join("\n").toStdString(), window->rowStateTexts().join("\n").toStdString());
        EXPECT_EQ(c.form, window->findChild<QLineEdit*>("repeat") != nullptr);
        EXPECT_EQ(c.connectShown, window->connectButton()->isVisibleTo(window.get()));
        EXPECT_EQ(c.connectEnabled, window->connectButton()->isEnabled());
        if (std::string(c.name) == "one key without a passphrase") {
            save(*window, "settings-new-user.png");
        }
    }
    save(*window, "settings-all-done.png");
    EXPECT_FALSE(button("settings.duration.more")->isEnabled()) << "3 hours is the longest";
}

TEST_F(SettingsWindowTest, APassphraseTypedIntoTheKeyStepProtectsTheKeyAndStoresIt)
{
    test::makeKey(key("id_ed25519"));
    open();
    auto* passphrase = window->findChild<QLineEdit*>("passphrase");
    auto* repeat = window->findChild<QLineEdit*>("repeat");
    ASSERT_TRUE(passphrase && repeat) << "a key without a passphrase is given one, typed twice";
    QTest::keyClicks(passphrase, "horse battery");
    QTest::keyClicks(repeat, "horse battery");
    QTest::keyClick(repeat, Qt::Key_Return);
    EXPECT_TRUE(passphrase->text().isEmpty() && repeat->text().isEmpty()) << "the fields forget what was typed";
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return window->stepTexts()[0] == q(L("settings.step.key.ready", {"id_ed25519"})); }, 60'000))
        << window->stepTexts()[0].toStdString();
    EXPECT_EQ("horse battery", std::string(store.items.at(key("id_ed25519").string()).view()));
    EXPECT_EQ(std::vector<std::string>{key("id_ed25519").string()}, defaults.stringArray("managedKeyPaths"));
    EXPECT_EQ(q(L("settings.keys.saved", {"id_ed25519"})), window->findChild<QLabel*>("message")->text());
}

TEST_F(SettingsWindowTest, APassphraseTypedButNeverSavedIsWipedWhenTheFormGoesOrTheWindowCloses)
{
    test::makeKey(key("id_ed25519"), {.passphrase = "one two"});
    test::makeKey(key("work"), {.passphrase = "three four"});
    open();
    button("settings.keys.manage")->click();
    auto* field = window->findChild<QLineEdit*>("passphrase");
    ASSERT_TRUE(field);
    QTest::keyClicks(field, "horse battery");
    // text() shares the field's own buffer: what it holds is what the freed memory would hold.
    const QString typed = field->text();
    const QPointer<QLineEdit> watched(field);
    controller->refresh(); // a fresh scan lays the key list out again
    settle();
    EXPECT_FALSE(typed.contains(QStringLiteral("horse")));
    if (watched) {
        EXPECT_TRUE(watched->text().isEmpty());
    }

    button("settings.keys.manage")->click();
    field = window->findChild<QLineEdit*>("passphrase");
    ASSERT_TRUE(field);
    QTest::keyClicks(field, "correct staple");
    const QString again = field->text();
    window->close();
    EXPECT_TRUE(field->text().isEmpty()) << "the hidden window keeps no passphrase for the rest of the run";
    EXPECT_FALSE(again.contains(QStringLiteral("staple")));
}

TEST_F(SettingsWindowTest, UnmanageAsksFirstEscapeCancelsAndTheLastKeyOffersTheUndo)
{
    test::makeKey(key("id_ed25519"), {.passphrase = "one two"});
    test::makeKey(key("work"), {.passphrase = "three four"});
    manage(key("id_ed25519"), "one two");
    manage(key("work"), "three four");
    test::writeFile(home() / ".bashrc", std::string(MarkedBlock::begin) + "\n" + std::string(MarkedBlock::end) + "\n");
    open();
    // Each question goes once answered; the next one is a new window.
    const auto ask = [&]() -> QPointer<QMessageBox> {
        button("settings.keys.unmanage")->click();
        QPointer<QMessageBox> box = window->findChild<QMessageBox*>();
        EXPECT_TRUE(box && !box->iconPixmap().isNull()) << "the mascot stands beside the question";
        return box;
    };
    const auto gone = [](const QPointer<QMessageBox>& box) { return QTest::qWaitFor([&] { return box.isNull(); }); };
    // Escape is Cancel, and so is Return: the default never takes anything away.
    for (const auto key : {Qt::Key_Escape, Qt::Key_Return}) {
        auto box = ask();
        ASSERT_TRUE(box);
        EXPECT_EQ(q(L("settings.unmanage.confirm.title", {"id_ed25519"})), box->text());
        QTest::keyClick(box, key);
        ASSERT_TRUE(gone(box));
        EXPECT_EQ(2u, store.items.size());
    }
    auto box = ask();
    box->buttons().front()->click();
    ASSERT_TRUE(gone(box));
    ASSERT_TRUE(QTest::qWaitFor([&] { return defaults.stringArray("managedKeyPaths")->size() == 1; }, 60'000));
    settle();
    EXPECT_FALSE(store.items.contains(key("id_ed25519").string()));
    EXPECT_EQ(std::vector<std::string>{key("id_ed25519").string() + ".pub"}, agent.removes);

    // The only ready key left while ssh is set up: the way out is the undo review, not a half set-up.
    box = ask();
    ASSERT_TRUE(box);
    EXPECT_EQ(q(L("settings.unmanage.last.title")), box->text());
    box->buttons().front()->click();
    ASSERT_TRUE(gone(box));
    ASSERT_TRUE(window->reviewSheet());
    EXPECT_EQ(q(L("settings.review.undo.title")), window->reviewSheet()->titleText());
    EXPECT_TRUE(store.items.contains(key("work").string()));
}

TEST_F(SettingsWindowTest, ReviewSheetShowsOneCardPerChangeWithItsSummaryAndDiff)
{
    test::makeKey(key("id_ed25519"), {.passphrase = "one two"});
    manage(key("id_ed25519"), "one two");
    const std::string own = "# mine\nalias ll='ls -l'\n";
    test::writeFile(home() / ".bashrc", own);
    open();
    window->connectButton()->click();
    ReviewSheet* sheet = window->reviewSheet();
    ASSERT_TRUE(sheet);
    EXPECT_EQ(q(L("settings.review.apply.title")), sheet->titleText());
    const auto cards = sheet->cards();
    ASSERT_EQ(2, cards.size());
    EXPECT_EQ("~/.ssh/config", cards[0]->pathText());
    EXPECT_EQ(q(L("settings.review.summary.create")), cards[0]->summaryText());
    EXPECT_EQ("~/.bashrc", cards[1]->pathText());
    EXPECT_EQ(q(L("settings.review.summary.add.bottom", {L("settings.review.lines.many", {"6"})})),
              cards[1]->summaryText());
    // The diff opens on demand, in a fixed-width font, with its two lines of context.
    QTextEdit* diff = cards[1]->diff();
    EXPECT_FALSE(diff->isVisibleTo(sheet));
    cards[1]->detailToggle()->click();
    EXPECT_TRUE(diff->isVisibleTo(sheet));
    EXPECT_TRUE(QFontInfo(diff->font()).fixedPitch());
    const QString shown = diff->toPlainText();
    EXPECT_TRUE(shown.startsWith("  # mine\n  alias ll='ls -l'\n+ " + q(std::string(MarkedBlock::begin))))
        << shown.toStdString();
    EXPECT_TRUE(diff->toHtml().contains("background-color:")) << "added lines are tinted";
    sheet->resize(window->size() - QSize(0, 40));
    save(*sheet, "settings-review.png");

    // Escape cancels and writes nothing.
    QTest::keyClick(sheet, Qt::Key_Escape);
    QApplication::processEvents();
    EXPECT_FALSE(controller->state().review.has_value());
    EXPECT_EQ(own, test::readFile(home() / ".bashrc"));
}

TEST_F(SettingsWindowTest, HeaderCountsDownEverySecondAndLocksAtTheEnd)
{
    open();
    EXPECT_EQ(q(L("menu.header.locked")), window->headerText());
    model.setStatus(StatusReport{StatusState::unlocked, std::nullopt, {"id_ed25519"}});
    EXPECT_EQ(q(L("settings.header.nolimit")), window->headerText());
    model.setWindow(UnlockWindow{clock.now() + std::chrono::seconds(3725), 10800});
    EXPECT_EQ(q(L("settings.header.remaining", {"1:02:05"})), window->headerText());
    // Nothing but the passing of time moves it: the window's own tick reads the clock.
    clock.advance(1.5);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return window->headerText() == q(L("settings.header.remaining", {"1:02:04"})); }, 5000))
        << window->headerText().toStdString();
    clock.advance(3724);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->headerText() == q(L("menu.header.locked")); }, 5000))
        << window->headerText().toStdString();
}

TEST_F(SettingsWindowTest, KeepsItsSizeWithinBoundsAndRemembersItAcrossRuns)
{
    open();
    EXPECT_EQ(QSize(480, 560), window->size());
    window->resize(2000, 300);
    EXPECT_EQ(QSize(720, 420), window->size());
    window->close();
    EXPECT_FALSE(window->isVisible()) << "closing only hides it";
    window = std::make_unique<SettingsWindow>(*controller, model, clock, defaults);
    window->present();
    EXPECT_EQ(QSize(720, 420), window->size());
}

TEST_F(SettingsWindowTest, AKeyChosenFromTheListGetsItsFormAndTheDurationStopsAtItsEnds)
{
    test::makeKey(key("id_ed25519"), {.passphrase = "one two"});
    test::makeKey(key("work"), {.passphrase = "three four"});
    defaults.set("unlockDuration", 1800.0);
    open();
    button("settings.keys.manage")->click();
    for (const char* typed : {"wrong", "one two"}) {
        auto* field = window->findChild<QLineEdit*>("passphrase");
        ASSERT_TRUE(field && !window->findChild<QLineEdit*>("repeat")) << "a key with a passphrase: typed once";
        QTest::keyClicks(field, typed);
        QTest::keyClick(field, Qt::Key_Return);
        settle();
        if (std::string(typed) == "wrong") {
            EXPECT_EQ(q(L("settings.keys.wrong")), window->findChild<QLabel*>("message")->text());
            EXPECT_TRUE(store.items.empty());
            button("settings.keys.manage")->click();
        }
    }
    EXPECT_EQ(std::vector<std::string>{key("id_ed25519").string()}, defaults.stringArray("managedKeyPaths"));
    // From 30 minutes to 15, the shortest: the shorter button goes grey there (the longer one at 3 hours).
    auto* shorter = button("settings.duration.less");
    shorter->click();
    EXPECT_EQ(900.0, defaults.number("unlockDuration"));
    EXPECT_FALSE(shorter->isEnabled());
    EXPECT_TRUE(button("settings.duration.more")->isEnabled());
}

} // namespace
} // namespace vantorelle

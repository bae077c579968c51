// The settings window under the offscreen platform: what the checklist, the key list, the review
// sheet and the header say in the states a new user meets, and what the buttons ask for.
#include "settings/SettingsWindow.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>
#include <gtest/gtest.h>

#include "defaults/MemoryDefaults.h"
#include "i18n/L.h"
#include "setup/MarkedBlock.h"
#include "shell/AppModel.h"

namespace vantorelle {
namespace {

QApplication& application()
{
    static int argc = 1;
    static char name[] = "test", *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static auto* app = new QApplication(argc, argv);
    return *app;
}

const std::filesystem::path kHome = "/home/ana";

struct ManualClock final : Clock
{
    Date time = dateFromSeconds(1'800'000'000);
    Date now() const override { return time; }
};

SettingsTexts::Row row(const std::string& name, SSHKey::Status status, bool managed = false, bool stored = false)
{
    SSHKey key;
    key.path = kHome / ".ssh" / name;
    key.publicKeyPath = key.path.string() + ".pub";
    key.status = status;
    return {key, managed, stored, false};
}

// Facts as the controller would report them, the checklist items evaluated from the same rows.
SettingsTexts::Facts facts(std::vector<SettingsTexts::Row> rows, bool applied = false,
                           SettingsTexts::CLIState cli = SettingsTexts::CLIState::absent, bool login = false)
{
    SetupFacts setup;
    for (const auto& r : rows) {
        if (r.managed) {
            setup.managedKeys.push_back({r.key.displayName(), r.stored});
        }
    }
    setup.sshConfigBlock = setup.shellBlock = applied;
    setup.appAskpass = "/usr/lib/vantorelle/vantorelle-askpass";
    setup.launchAskpass = applied ? *setup.appAskpass : "";
    setup.cliLinked = cli == SettingsTexts::CLIState::installed;
    setup.loginEnabled = login;
    SettingsTexts::Facts out;
    out.rows = std::move(rows);
    out.items = SetupStatus::evaluate(setup);
    out.home = kHome;
    out.shellFile = kHome / ".bashrc";
    out.cliLink = kHome / ".local/bin/vantorelle";
    out.cli = cli;
    return out;
}

class FakeSource final : public SettingsSource
{
public:
    SettingsTexts::Facts state = facts({});
    std::optional<Review> pending;
    std::vector<std::string> calls;
    std::string saved;

    void set(SettingsTexts::Facts next)
    {
        state = std::move(next);
        emit changed();
    }
    void ask(std::optional<Review> review)
    {
        pending = std::move(review);
        emit changed();
    }

    SettingsTexts::Facts facts() const override { return state; }
    bool busy() const override { return false; }
    std::optional<std::string> message() const override { return std::nullopt; }
    std::vector<Leftover> leftovers() const override { return {}; }
    double duration() const override { return 10800; }
    LanguageOverride::Choice language() const override { return LanguageOverride::atLaunch(); }
    bool loginOn() const override { return false; }
    bool setupApplied() const override { return false; }
    std::optional<Review> review() const override { return pending; }
    void show() override { calls.push_back("show"); }
    void savePassphrase(std::size_t index, SecretString passphrase, std::optional<SecretString> confirmation) override
    {
        saved = std::string(passphrase.view()) + "/" + (confirmation ? std::string(confirmation->view()) : "-");
        calls.push_back("save " + std::to_string(index));
    }
    bool unmanageBreaksSSH(std::size_t) const override { return lastKey; }
    void unmanage(std::size_t index) override { calls.push_back("unmanage " + std::to_string(index)); }
    void deleteAppleEntry(std::size_t) override { calls.push_back("apple"); }
    void reviewApply() override { calls.push_back("reviewApply"); }
    void reviewUndo() override { calls.push_back("reviewUndo"); }
    void reviewMigration() override { calls.push_back("reviewMigration"); }
    void confirmReview() override { calls.push_back("confirm"), pending.reset(); }
    void cancelReview() override { calls.push_back("cancel"), pending.reset(); }
    void installCLI() override { calls.push_back("installCLI"); }
    void setLoginItem(bool on) override { calls.push_back(on ? "login on" : "login off"); }
    void stepDuration(int step) override { calls.push_back("step " + std::to_string(step)); }
    void setLanguage(LanguageOverride::Choice) override { calls.push_back("language"); }

    bool lastKey = false;
};

class SettingsWindowTest : public testing::Test
{
protected:
    void SetUp() override
    {
        application();
        i18n::setCurrentLanguage(Language::English);
    }
    QPushButton* button(const char* key) const
    {
        for (auto* candidate : window.findChildren<QPushButton*>()) {
            if (candidate->text() == QString::fromStdString(L(key)) && candidate->isVisibleTo(&window)) {
                return candidate;
            }
        }
        return nullptr;
    }
    static void save(QWidget& widget, const char* name)
    {
        QDir().mkpath(VANTORELLE_SOURCE_DIR "/docs/screenshots");
        widget.grab().save(QString(VANTORELLE_SOURCE_DIR "/docs/screenshots/") + name);
    }

    FakeSource source;
    AppModel model;
    ManualClock clock;
    MemoryDefaults defaults;
    SettingsWindow window{source, model, clock, defaults};
};

QString q(const std::string& text)
{
    return QString::fromStdString(text);
}

TEST_F(SettingsWindowTest, ChecklistForTheStatesANewUserMeets)
{
    using S = SSHKey::Status;
    const std::string link = "~/.local/bin/vantorelle";
    struct Case
    {
        const char* name;
        SettingsTexts::Facts facts;
        std::string overall, key, ssh;
        bool connectShown, connectEnabled;
        std::vector<std::string> rowStates;
    };
    auto scanning = facts({});
    scanning.scanning = true;
    auto leftOut = facts({row("weird${HOME}", S::usable, true, true), row("id_ed25519", S::usable, true, true)}, true,
                         SettingsTexts::CLIState::installed, true);
    const Case cases[] = {
        {"scanning", scanning, L("settings.status.remaining.other", {"4"}), L("settings.step.key.scanning"),
         L("settings.ssh.needkey"), true, false, {}},
        {"no keys", facts({}), L("settings.status.remaining.other", {"4"}), L("settings.keys.none"),
         L("settings.ssh.needkey"), true, false, {}},
        {"one key without passphrase", facts({row("id_rsa", S::noPassphrase)}),
         L("settings.status.remaining.other", {"4"}), L("settings.step.key.todo", {"id_rsa"}), L("settings.ssh.needkey"),
         true, false, {L("settings.keys.state.nopassphrase")}},
        {"two keys neither managed", facts({row("id_ed25519", S::usable), row("work", S::usable)}),
         L("settings.status.remaining.other", {"4"}), L("settings.step.key.choose"), L("settings.ssh.needkey"), true,
         false, {L("settings.keys.state.available"), L("settings.keys.state.available")}},
        {"one of two managed and stored",
         facts({row("id_ed25519", S::usable, true, true), row("work", S::usable)}, false,
               SettingsTexts::CLIState::installed, true),
         L("settings.status.remaining.one"), L("settings.step.key.ready", {"id_ed25519"}),
         L("settings.step.ssh.missing", {"~/.ssh/config, ~/.bashrc, " + L("settings.step.ssh.missing.env")}), true, true,
         {L("settings.keys.state.managed"), L("settings.keys.state.available")}},
        {"all done",
         facts({row("id_ed25519", S::usable, true, true)}, true, SettingsTexts::CLIState::installed, true),
         L("settings.status.ready"), L("settings.step.key.ready", {"id_ed25519"}),
         L("settings.step.ssh.done", {"~/.bashrc"}), false, true, {L("settings.keys.state.managed")}},
        // A key whose path the ssh block cannot carry is not counted as connected.
        {"a ready key left out of the ssh block", leftOut, L("settings.status.remaining.one"),
         L("settings.step.key.ready", {"weird${HOME}, id_ed25519"}),
         L("settings.step.ssh.done", {"~/.bashrc"}) + " " + L("settings.step.ssh.unsafe", {"weird${HOME}"}), true, true,
         {L("settings.keys.state.unsafe"), L("settings.keys.state.managed")}},
    };
    window.present();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        source.set(c.facts);
        EXPECT_EQ(q(c.overall), window.overallText());
        const QStringList steps = window.stepTexts();
        EXPECT_EQ(q(c.key), steps[0]);
        EXPECT_EQ(q(c.ssh), steps[1]);
        const bool linked = c.facts.cli == SettingsTexts::CLIState::installed;
        EXPECT_EQ(q(L(linked ? "settings.cli.state.installed" : "settings.cli.state.absent", {link})), steps[2]);
        EXPECT_EQ(linked, button("settings.step.cli.install") == nullptr);
        EXPECT_EQ(c.connectShown, window.connectButton()->isVisibleTo(&window));
        EXPECT_EQ(c.connectEnabled, window.connectButton()->isEnabled());
        QStringList states;
        for (const auto& s : c.rowStates) {
            states.push_back(q(s));
        }
        EXPECT_EQ(states, window.rowStateTexts());
    }
    // The new user's window and the finished one, as people see them.
    source.set(cases[2].facts);
    save(window, "settings-new-user.png");
    source.set(cases[5].facts);
    save(window, "settings-all-done.png");
}

TEST_F(SettingsWindowTest, TheKeyStepFormSavesTheTypedPassphraseAndForgetsIt)
{
    source.set(facts({row("id_rsa", SSHKey::Status::noPassphrase)}));
    window.present();
    auto* passphrase = window.findChild<QLineEdit*>("passphrase");
    auto* repeat = window.findChild<QLineEdit*>("repeat");
    ASSERT_TRUE(passphrase && repeat) << "a key without a passphrase gets one, typed twice";
    QTest::keyClicks(passphrase, "horse battery");
    QTest::keyClicks(repeat, "horse battery");
    QTest::keyClick(repeat, Qt::Key_Return);
    EXPECT_EQ("horse battery/horse battery", source.saved);
    EXPECT_EQ(std::vector<std::string>({"show", "save 0"}), source.calls);
    EXPECT_TRUE(passphrase->text().isEmpty() && repeat->text().isEmpty());
}

TEST_F(SettingsWindowTest, UnmanageAsksFirstAndEscapeCancels)
{
    using S = SSHKey::Status;
    source.set(facts({row("id_ed25519", S::usable, true, true), row("work", S::usable, true, true)}, true));
    window.present();
    const auto answer = [&](int key) {
        button("settings.keys.unmanage")->click();
        auto* box = window.findChild<QMessageBox*>();
        ASSERT_TRUE(box);
        EXPECT_FALSE(box->iconPixmap().isNull()) << "the asleep mascot stands beside the question";
        QTest::keyClick(box, key == Qt::Key_Escape ? Qt::Key_Escape : Qt::Key_Space);
        QApplication::processEvents();
        delete box;
    };
    answer(Qt::Key_Escape);
    EXPECT_EQ(std::vector<std::string>({"show"}), source.calls);
    // Space presses the focused button: the default, which is Cancel, never the destructive one.
    answer(Qt::Key_Space);
    EXPECT_EQ(std::vector<std::string>({"show"}), source.calls);

    button("settings.keys.unmanage")->click();
    auto* box = window.findChild<QMessageBox*>();
    EXPECT_EQ(q(L("settings.unmanage.confirm.title", {"id_ed25519"})), box->text());
    box->buttons().front()->click();
    EXPECT_EQ("unmanage 0", source.calls.back());
    delete box;

    // The last key ssh can use: the way out is the undo review, never a half set-up.
    source.lastKey = true;
    button("settings.keys.unmanage")->click();
    box = window.findChild<QMessageBox*>();
    EXPECT_EQ(q(L("settings.unmanage.last.title")), box->text());
    box->buttons().front()->click();
    EXPECT_EQ("reviewUndo", source.calls.back());
}

TEST_F(SettingsWindowTest, ReviewSheetShowsOneCardPerChangeWithItsSummaryAndDiff)
{
    const std::string block = std::string(MarkedBlock::begin) + "\nAddKeysToAgent no\n" + std::string(MarkedBlock::end);
    const std::string user = "Host *\n  User ana\n";
    SetupPlan plan{{
        {kHome / ".ssh/config", "", block + "\n", false},
        {kHome / ".ssh/../.zshenv", "export A=1\n", "# top\nexport A=1\n# bottom\n", false},
        {kHome / ".bashrc", user + block + "\n", user, false},
        {kHome / ".profile", block + "\n" + user, block + "\n", false},
        {"/etc/elsewhere", "a\nb\n", "a\nc\n", false},
        {kHome / ".config/fish/conf.d/vantorelle.fish", block + "\n", "", true},
    }};
    window.present();
    source.ask(SettingsSource::Review{ReviewSheet::Kind::apply, plan, {}});
    ReviewSheet* sheet = window.reviewSheet();
    ASSERT_TRUE(sheet);
    EXPECT_EQ(q(L("settings.review.apply.title")), sheet->titleText());
    const auto cards = sheet->cards();
    ASSERT_EQ(6, cards.size());
    const std::pair<std::string, std::string> expected[] = {
        {"~/.ssh/config", L("settings.review.summary.create")},
        {"~/.zshenv", L("settings.review.summary.add.top", {L("settings.review.lines.many", {"2"})})},
        {"~/.bashrc", L("settings.review.summary.remove.block", {L("settings.review.lines.many", {"3"})})},
        {"~/.profile", L("settings.review.summary.remove", {L("settings.review.lines.many", {"2"})})},
        {"/etc/elsewhere",
         L("settings.review.summary.both", {L("settings.review.lines.one"), L("settings.review.lines.one")})},
        {"~/.config/fish/conf.d/vantorelle.fish", L("settings.review.summary.delete")},
    };
    for (int i = 0; i < cards.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(q(expected[i].first), cards[i]->pathText());
        EXPECT_EQ(q(expected[i].second), cards[i]->summaryText());
        EXPECT_EQ(i == 5, cards[i]->detailToggle() == nullptr) << "only a file that goes has no diff";
    }
    // The diff opens on demand, in a fixed-width font, its changed lines marked.
    QTextEdit* diff = cards[4]->diff();
    EXPECT_FALSE(diff->isVisibleTo(sheet));
    cards[4]->detailToggle()->click();
    EXPECT_TRUE(diff->isVisibleTo(sheet));
    EXPECT_TRUE(QFontInfo(diff->font()).fixedPitch());
    EXPECT_EQ(QString("  a\n- b\n+ c"), diff->toPlainText().trimmed());
    EXPECT_TRUE(diff->toHtml().contains("background-color:")) << "added and removed lines are tinted";
    cards[1]->detailToggle()->click();
    sheet->resize(window.size() - QSize(20, 40));
    save(*sheet, "settings-review.png");

    sheet->confirmButton()->click();
    EXPECT_EQ("confirm", source.calls.back());
    QApplication::processEvents();
    EXPECT_EQ(nullptr, window.reviewSheet());

    // Escape cancels; the migration lists its leftovers, and an empty plan says so.
    source.ask(SettingsSource::Review{ReviewSheet::Kind::migration,
                                      {},
                                      {Leftover::path(kHome / ".local/bin/ssh-quillgate"),
                                       Leftover::keychainService("ssh-quillgate")}});
    sheet = window.reviewSheet();
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(sheet->cards().isEmpty());
    EXPECT_EQ(QStringList({"• " + q(L("settings.migration.item.path", {"~/.local/bin/ssh-quillgate"})),
                           "• " + q(L("settings.migration.item.keychain", {"ssh-quillgate"}))}),
              sheet->leftoverLines());
    EXPECT_TRUE(std::ranges::any_of(sheet->findChildren<QLabel*>(),
                                    [](QLabel* label) { return label->text() == q(L("settings.review.nofiles")); }));
    QTest::keyClick(sheet, Qt::Key_Escape);
    EXPECT_EQ("cancel", source.calls.back());
}

TEST_F(SettingsWindowTest, HeaderCountsDownEverySecondAndLocksAtTheEnd)
{
    window.present();
    EXPECT_EQ(q(L("menu.header.locked")), window.headerText());
    model.setStatus(StatusReport{StatusState::unlocked, std::nullopt, {"id_ed25519"}});
    EXPECT_EQ(q(L("settings.header.nolimit")), window.headerText());
    model.setWindow(UnlockWindow{clock.time + std::chrono::seconds(3725), 10800});
    EXPECT_EQ(q(L("settings.header.remaining", {"1:02:05"})), window.headerText());
    // Nothing but the passing of time moves it; the window's own tick picks the clock up.
    clock.time += std::chrono::milliseconds(1500);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.headerText() == q(L("settings.header.remaining", {"1:02:04"})); },
                                5000))
        << window.headerText().toStdString();
    clock.time += std::chrono::seconds(3724);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.headerText() == q(L("menu.header.locked")); }, 5000))
        << window.headerText().toStdString();
}

} // namespace
} // namespace vantorelle

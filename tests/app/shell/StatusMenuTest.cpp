// The tray menu's rules under the offscreen platform: what shows in each state.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QSystemTrayIcon>
#include <gtest/gtest.h>

#include "i18n/L.h"
#include "shell/AppModel.h"
#include "shell/StatusItemController.h"

namespace vantorelle {
namespace {

QString text(std::string_view key)
{
    return QString::fromStdString(L(key));
}

class StatusMenuTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "status-menu-test";
        static char* argv[] = {name, nullptr};
        static QApplication application(argc, argv);
    }

    StatusItemController& menu()
    {
        if (!m_controller) {
            m_controller = std::make_unique<StatusItemController>(m_model, [this] { return m_configured; });
        }
        return *m_controller;
    }

    AppModel m_model;
    double m_configured = 10800;
    std::unique_ptr<StatusItemController> m_controller;
};

TEST_F(StatusMenuTest, LockedShowsUnlockAndTheSleepingHeader)
{
    auto& controller = menu();
    EXPECT_TRUE(controller.unlockItem()->isVisible());
    EXPECT_FALSE(controller.lockItem()->isVisible());
    EXPECT_EQ(QString(), controller.title());
    EXPECT_EQ(text("menu.header.locked"), controller.header()->titleText());
    EXPECT_EQ(QString(), controller.header()->detailText());
    EXPECT_FALSE(controller.header()->barFraction().has_value());
    EXPECT_FALSE(controller.trayIcon()->icon().isNull());
}

TEST_F(StatusMenuTest, UnlockedWithoutLimitHasNoCountdownAndNoBar)
{
    auto& controller = menu();
    const QIcon lockedIcon = controller.trayIcon()->icon();
    m_model.setStatus(StatusReport{StatusState::unlocked, std::nullopt, {"id_ed25519"}});
    EXPECT_TRUE(controller.lockItem()->isVisible());
    EXPECT_FALSE(controller.unlockItem()->isVisible());
    EXPECT_EQ(QString(), controller.title());
    EXPECT_EQ(text("menu.header.unlocked"), controller.header()->titleText());
    EXPECT_EQ(text("menu.header.nolimit"), controller.header()->detailText());
    EXPECT_FALSE(controller.header()->barFraction().has_value());
    // The mascot wakes up: the icon is drawn anew.
    EXPECT_NE(lockedIcon.pixmap(22).toImage(), controller.trayIcon()->icon().pixmap(22).toImage());
}

TEST_F(StatusMenuTest, RemainingTimeIsTheCountdownTheWordsAndTheBar)
{
    auto& controller = menu();
    m_model.setStatus(StatusReport{StatusState::unlocked, 5400, {"id_ed25519"}});
    EXPECT_EQ(QStringLiteral("1:30"), controller.title());
    EXPECT_TRUE(controller.trayIcon()->toolTip().contains(QStringLiteral("1:30")));
    EXPECT_EQ(QString::fromStdString(L("menu.header.remaining", {"1h 30m"})), controller.header()->detailText());
    ASSERT_TRUE(controller.header()->barFraction().has_value());
    EXPECT_NEAR(0.5, *controller.header()->barFraction(), 0.001);

    // Locking again clears the countdown.
    m_model.setStatus(AppModel::lockedStatus());
    EXPECT_EQ(QString(), controller.title());
    EXPECT_FALSE(controller.trayIcon()->toolTip().contains(QStringLiteral("1:30")));
}

TEST_F(StatusMenuTest, UnlockedMenuRendersForTheScreenshot)
{
    auto& controller = menu();
    m_model.setStatus(StatusReport{StatusState::unlocked, 5400, {"id_ed25519"}});
    controller.menu()->adjustSize();
    const QPixmap shot = controller.menu()->grab();
    ASSERT_FALSE(shot.isNull());
    EXPECT_GE(shot.width(), 260);
    const auto directory = QStringLiteral(VANTORELLE_SOURCE_DIR "/docs/screenshots");
    QDir().mkpath(directory);
    EXPECT_TRUE(shot.save(directory + QStringLiteral("/tray-menu-unlocked.png")));
    EXPECT_TRUE(controller.trayIcon()->icon().pixmap(64).save(directory + QStringLiteral("/tray-icon-countdown.png")));
}

TEST_F(StatusMenuTest, BarIsFullWhenMoreRemainsThanIsConfigured)
{
    m_configured = 900;
    auto& controller = menu();
    m_model.setStatus(StatusReport{StatusState::unlocked, 5400, {}});
    ASSERT_TRUE(controller.header()->barFraction().has_value());
    EXPECT_DOUBLE_EQ(1.0, *controller.header()->barFraction());
}

TEST_F(StatusMenuTest, UpdateItemFollowsTheReadyVersion)
{
    auto& controller = menu();
    EXPECT_FALSE(controller.updateItem()->isVisible());
    m_model.setUpdateReady(QStringLiteral("1.2"));
    EXPECT_TRUE(controller.updateItem()->isVisible());
    m_model.setUpdateReady(std::nullopt);
    EXPECT_FALSE(controller.updateItem()->isVisible());
}

TEST_F(StatusMenuTest, ItemsRunTheirActionsAndSettingsWaitsForOne)
{
    auto& controller = menu();
    std::vector<std::string> calls;
    controller.onLock = [&] { calls.push_back("lock"); };
    controller.onUnlock = [&] { calls.push_back("unlock"); };
    controller.onQuit = [&] { calls.push_back("quit"); };
    controller.onMenuOpen = [&] { calls.push_back("open"); };
    controller.onInstallUpdate = [&] { calls.push_back("update"); };

    EXPECT_FALSE(controller.settingsItem()->isEnabled());
    controller.settingsItem()->trigger();
    controller.setSettingsAction([&] { calls.push_back("settings"); });
    EXPECT_TRUE(controller.settingsItem()->isEnabled());

    for (QAction* item : {controller.lockItem(), controller.unlockItem(), controller.settingsItem(),
                          controller.quitItem(), controller.updateItem()}) {
        item->trigger();
    }
    emit controller.menu()->aboutToShow();
    EXPECT_EQ((std::vector<std::string>{"lock", "unlock", "settings", "quit", "update", "open"}), calls);

    EXPECT_EQ(QKeySequence(Qt::CTRL | Qt::Key_L), controller.lockItem()->shortcut());
    EXPECT_EQ(QKeySequence(Qt::CTRL | Qt::Key_Comma), controller.settingsItem()->shortcut());
    EXPECT_EQ(QKeySequence(Qt::CTRL | Qt::Key_Q), controller.quitItem()->shortcut());
    EXPECT_TRUE(controller.unlockItem()->shortcut().isEmpty());
}

TEST_F(StatusMenuTest, MenuOrderIsHeaderUpdateLockUnlockSettingsQuit)
{
    auto& controller = menu();
    std::vector<QAction*> items;
    for (QAction* action : controller.menu()->actions()) {
        if (!action->isSeparator()) {
            items.push_back(action);
        }
    }
    ASSERT_EQ(6u, items.size());
    EXPECT_EQ(controller.updateItem(), items[1]);
    EXPECT_EQ(controller.lockItem(), items[2]);
    EXPECT_EQ(controller.unlockItem(), items[3]);
    EXPECT_EQ(controller.settingsItem(), items[4]);
    EXPECT_EQ(controller.quitItem(), items[5]);
}

} // namespace
} // namespace vantorelle

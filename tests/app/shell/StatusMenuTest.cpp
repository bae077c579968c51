// The tray menu's rules under the offscreen platform: what shows in each state.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QSystemTrayIcon>
#include <algorithm>
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

TEST_F(StatusMenuTest, EachStateShowsItsItemsHeaderCountdownAndBar)
{
    auto& controller = menu();
    const auto shows = [&](bool unlocked, const QString& title, std::string_view header, const QString& detail) {
        EXPECT_EQ(unlocked, controller.lockItem()->isVisible());
        EXPECT_EQ(!unlocked, controller.unlockItem()->isVisible());
        EXPECT_EQ(title, controller.title());
        EXPECT_EQ(text(header), controller.header()->titleText());
        EXPECT_EQ(detail, controller.header()->detailText());
    };
    shows(false, QString(), "menu.header.locked", QString());
    EXPECT_FALSE(controller.header()->barFraction().has_value());
    const QIcon lockedIcon = controller.trayIcon()->icon();
    EXPECT_FALSE(lockedIcon.isNull());

    m_model.setStatus(StatusReport{StatusState::unlocked, std::nullopt, {"id_ed25519"}});
    shows(true, QString(), "menu.header.unlocked", text("menu.header.nolimit"));
    EXPECT_FALSE(controller.header()->barFraction().has_value());
    // The mascot wakes up: the icon is drawn anew.
    EXPECT_NE(lockedIcon.pixmap(22).toImage(), controller.trayIcon()->icon().pixmap(22).toImage());

    m_model.setStatus(StatusReport{StatusState::unlocked, 5400, {"id_ed25519"}});
    shows(true, QStringLiteral("1:30"), "menu.header.unlocked",
          QString::fromStdString(L("menu.header.remaining", {"1h 30m"})));
    EXPECT_TRUE(controller.trayIcon()->toolTip().contains(QStringLiteral("1:30")));
    EXPECT_NEAR(0.5, controller.header()->barFraction().value_or(-1), 0.001);
    controller.menu()->adjustSize();
    const QPixmap shot = controller.menu()->grab();
    EXPECT_GE(shot.width(), 260);
    const auto directory = QStringLiteral(VANTORELLE_SOURCE_DIR "/docs/screenshots");
    QDir().mkpath(directory);
    EXPECT_TRUE(shot.save(directory + QStringLiteral("/tray-menu-unlocked.png")));
    EXPECT_TRUE(controller.trayIcon()->icon().pixmap(64).save(directory + QStringLiteral("/tray-icon-countdown.png")));

    // Locking again clears the countdown.
    m_model.setStatus(AppModel::lockedStatus());
    shows(false, QString(), "menu.header.locked", QString());
    EXPECT_FALSE(controller.trayIcon()->toolTip().contains(QStringLiteral("1:30")));
}

TEST_F(StatusMenuTest, BarIsFullWhenMoreRemainsThanIsConfigured)
{
    m_configured = 900;
    auto& controller = menu();
    m_model.setStatus(StatusReport{StatusState::unlocked, 5400, {}});
    EXPECT_DOUBLE_EQ(1.0, controller.header()->barFraction().value_or(-1));
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
    std::ranges::copy_if(controller.menu()->actions(), std::back_inserter(items),
                         [](QAction* action) { return !action->isSeparator(); });
    ASSERT_EQ(6u, items.size());
    EXPECT_EQ((std::vector<QAction*>{items[0], controller.updateItem(), controller.lockItem(), controller.unlockItem(),
                                     controller.settingsItem(), controller.quitItem()}),
              items);
}

} // namespace
} // namespace vantorelle

// The tray menu's rules under the offscreen platform: what shows in each state.
#include <QAction>
#include <QDir>
#include <QMenu>
#include <QSystemTrayIcon>
#include <algorithm>
#include <gtest/gtest.h>

#include "app/TestApplication.h"
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
    static void SetUpTestSuite() { testApplication(); }

    AppModel m_model;
    double m_configured = 10800;
    StatusItemController m_menu{m_model, [this] { return m_configured; }};
};

TEST_F(StatusMenuTest, EachStateShowsItsItemsHeaderCountdownAndBar)
{
    const auto shows = [&](bool unlocked, const QString& title, std::string_view header, const QString& detail) {
        EXPECT_EQ(unlocked, m_menu.lockItem()->isVisible());
        EXPECT_EQ(!unlocked, m_menu.unlockItem()->isVisible());
        EXPECT_EQ(title, m_menu.title());
        EXPECT_EQ(text(header), m_menu.header()->titleText());
        EXPECT_EQ(detail, m_menu.header()->detailText());
    };
    shows(false, QString(), "menu.header.locked", QString());
    EXPECT_FALSE(m_menu.header()->barFraction().has_value());
    const QIcon lockedIcon = m_menu.trayIcon()->icon();
    EXPECT_FALSE(lockedIcon.isNull());

    m_model.setStatus(StatusReport{StatusState::unlocked, std::nullopt, {"id_ed25519"}});
    shows(true, QString(), "menu.header.unlocked", text("menu.header.nolimit"));
    EXPECT_FALSE(m_menu.header()->barFraction().has_value());
    // The mascot wakes up: the icon is drawn anew.
    EXPECT_NE(lockedIcon.pixmap(22).toImage(), m_menu.trayIcon()->icon().pixmap(22).toImage());

    m_model.setStatus(StatusReport{StatusState::unlocked, 5400, {"id_ed25519"}});
    shows(true, QStringLiteral("1:30"), "menu.header.unlocked",
          QString::fromStdString(L("menu.header.remaining", {"1h 30m"})));
    EXPECT_TRUE(m_menu.trayIcon()->toolTip().contains(QStringLiteral("1:30")));
    EXPECT_NEAR(0.5, m_menu.header()->barFraction().value_or(-1), 0.001);
    m_menu.menu()->adjustSize();
    const QPixmap shot = m_menu.menu()->grab();
    EXPECT_GE(shot.width(), 260);
    const auto directory = QStringLiteral(VANTORELLE_SOURCE_DIR "/docs/screenshots");
    QDir().mkpath(directory);
    EXPECT_TRUE(shot.save(directory + QStringLiteral("/tray-menu-unlocked.png")));
    EXPECT_TRUE(m_menu.trayIcon()->icon().pixmap(64).save(directory + QStringLiteral("/tray-icon-countdown.png")));
    // More left than the configured window is a full bar, never more.
    m_configured = 900;
    m_model.setStatus(StatusReport{StatusState::unlocked, 5400, {}});
    EXPECT_DOUBLE_EQ(1.0, m_menu.header()->barFraction().value_or(-1));

    // Locking again clears the countdown.
    m_model.setStatus(AppModel::lockedStatus());
    shows(false, QString(), "menu.header.locked", QString());
    EXPECT_FALSE(m_menu.trayIcon()->toolTip().contains(QStringLiteral("1:30")));
}

TEST_F(StatusMenuTest, ItemsRunTheirActionsAndSettingsWaitsForOne)
{
    std::vector<std::string> calls;
    m_menu.onLock = [&] { calls.push_back("lock"); };
    m_menu.onUnlock = [&] { calls.push_back("unlock"); };
    m_menu.onQuit = [&] { calls.push_back("quit"); };
    m_menu.onMenuOpen = [&] { calls.push_back("open"); };
    m_menu.onInstallUpdate = [&] { calls.push_back("update"); };
    EXPECT_FALSE(m_menu.settingsItem()->isEnabled());
    m_menu.settingsItem()->trigger();
    m_menu.setSettingsAction([&] { calls.push_back("settings"); });
    EXPECT_TRUE(m_menu.settingsItem()->isEnabled());
    for (QAction* item :
         {m_menu.lockItem(), m_menu.unlockItem(), m_menu.settingsItem(), m_menu.quitItem(), m_menu.updateItem()}) {
        item->trigger();
    }
    emit m_menu.menu()->aboutToShow();
    EXPECT_EQ((std::vector<std::string>{"lock", "unlock", "settings", "quit", "update", "open"}), calls);
    EXPECT_EQ(QKeySequence(Qt::CTRL | Qt::Key_L), m_menu.lockItem()->shortcut());
    EXPECT_EQ(QKeySequence(Qt::CTRL | Qt::Key_Comma), m_menu.settingsItem()->shortcut());
    EXPECT_EQ(QKeySequence(Qt::CTRL | Qt::Key_Q), m_menu.quitItem()->shortcut());
    EXPECT_TRUE(m_menu.unlockItem()->shortcut().isEmpty());
}

TEST_F(StatusMenuTest, UpdateItemShowsForAReadyVersionInItsPlaceAfterTheHeader)
{
    std::vector<QAction*> items;
    std::ranges::copy_if(m_menu.menu()->actions(), std::back_inserter(items),
                         [](QAction* action) { return !action->isSeparator(); });
    ASSERT_EQ(6u, items.size());
    EXPECT_EQ((std::vector<QAction*>{items[0], m_menu.updateItem(), m_menu.lockItem(), m_menu.unlockItem(),
                                     m_menu.settingsItem(), m_menu.quitItem()}),
              items);
    EXPECT_FALSE(m_menu.updateItem()->isVisible());
    m_model.setUpdateReady(QStringLiteral("1.2"));
    EXPECT_TRUE(m_menu.updateItem()->isVisible());
    m_model.setUpdateReady(std::nullopt);
    EXPECT_FALSE(m_menu.updateItem()->isVisible());
}

} // namespace
} // namespace vantorelle

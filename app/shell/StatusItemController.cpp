// StatusItemController: builds the menu once and follows the model's status and update fields.
#include "shell/StatusItemController.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPalette>
#include <QProgressBar>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <QWidgetAction>
#include <algorithm>

#include "design/Mascot.h"
#include "i18n/L.h"
#include "platform/AppText.h"
#include "shell/AppModel.h"
#include "window/DurationText.h"

namespace vantorelle {
namespace {

design::Mood moodOf(const AppModel& model)
{
    return model.unlocked() ? design::Mood::awake : design::Mood::asleep;
}

} // namespace

MenuHeader::MenuHeader(const AppModel& model, std::function<double()> configuredDuration, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_configuredDuration(std::move(configuredDuration))
    , m_mascot(new QLabel(this))
    , m_title(new QLabel(this))
    , m_detail(new QLabel(this))
    , m_bar(new QProgressBar(this))
{
    setFixedSize(260, 66);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(6, 4, 6, 4);
    m_mascot->setFixedSize(40, 40);
    row->addWidget(m_mascot, 0, Qt::AlignVCenter);
    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    QFont bold = m_title->font();
    bold.setBold(true);
    m_title->setFont(bold);
    column->addWidget(m_title);
    column->addWidget(m_detail);
    m_bar->setRange(0, 1000);
    m_bar->setTextVisible(false);
    m_bar->setFixedHeight(6);
    column->addWidget(m_bar);
    row->addLayout(column, 1);
    update();
}

void MenuHeader::update()
{
    const bool unlocked = m_model.unlocked();
    const auto remaining = m_model.status().remainingSeconds;
    m_mascot->setPixmap(QPixmap::fromImage(design::mascotImage(moodOf(m_model), 40, devicePixelRatioF())));
    m_title->setText(text(unlocked ? "menu.header.unlocked" : "menu.header.locked"));
    if (!unlocked) {
        m_detail->clear();
        m_detail->hide();
    } else if (remaining) {
        m_detail->setText(QString::fromStdString(
            L("menu.header.remaining",
              {DurationText::longText(static_cast<double>(*remaining), i18n::currentLanguage())})));
        m_detail->show();
    } else {
        m_detail->setText(text("menu.header.nolimit"));
        m_detail->show();
    }
    if (unlocked && remaining) {
        const double configured = m_configuredDuration();
        const double fraction
            = configured > 0 ? std::clamp(static_cast<double>(*remaining) / configured, 0.0, 1.0) : 1.0;
        m_bar->setValue(static_cast<int>(fraction * m_bar->maximum() + 0.5));
        m_bar->show();
    } else {
        m_bar->hide();
    }
}

QString MenuHeader::titleText() const
{
    return m_title->text();
}

QString MenuHeader::detailText() const
{
    return m_detail->isHidden() ? QString() : m_detail->text();
}

std::optional<double> MenuHeader::barFraction() const
{
    if (m_bar->isHidden()) {
        return std::nullopt;
    }
    return static_cast<double>(m_bar->value()) / m_bar->maximum();
}

StatusItemController::StatusItemController(AppModel& model, std::function<double()> configuredDuration, QObject* parent)
    : QObject(parent)
    , m_model(model)
    , m_menu(new QMenu)
    , m_tray(new QSystemTrayIcon(this))
    , m_header(new MenuHeader(model, std::move(configuredDuration)))
{
    auto* headerItem = new QWidgetAction(m_menu);
    headerItem->setDefaultWidget(m_header);
    m_menu->addAction(headerItem);

    m_updateItem = m_menu->addAction(text("menu.update.ready"), this, [this] { onInstallUpdate(); });
    QFont updateFont = m_updateItem->font();
    updateFont.setWeight(QFont::DemiBold);
    updateFont.setPointSize(12);
    m_updateItem->setFont(updateFont);
    m_updateItem->setVisible(false);
    m_menu->addSeparator();

    m_lockItem = m_menu->addAction(text("menu.lock"), this, [this] { onLock(); });
    m_lockItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    m_unlockItem = m_menu->addAction(text("menu.unlock"), this, [this] { onUnlock(); });
    m_menu->addSeparator();
    m_settingsItem = m_menu->addAction(text("menu.settings"), this, [this] {
        if (m_onSettings) {
            m_onSettings();
        }
    });
    m_settingsItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    m_settingsItem->setEnabled(false);
    m_menu->addSeparator();
    m_quitItem = m_menu->addAction(text("menu.quit"), this, [this] { onQuit(); });
    m_quitItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    for (QAction* action : m_menu->actions()) {
        action->setShortcutVisibleInContextMenu(true);
    }

    connect(m_menu, &QMenu::aboutToShow, this, [this] { onMenuOpen(); });
    m_tray->setContextMenu(m_menu);
    // A left click shows the same menu: some trays only ever send that.
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !m_menu->isVisible()) {
            m_menu->popup(QCursor::pos());
        }
    });
    connect(&m_model, &AppModel::statusChanged, this, &StatusItemController::statusChanged);
    connect(&m_model, &AppModel::updateReadyChanged, this, &StatusItemController::updateReadyChanged);
    statusChanged();
    updateReadyChanged();
}

StatusItemController::~StatusItemController()
{
    delete m_menu; // the header widget goes with it
}

void StatusItemController::setSettingsAction(std::function<void()> action)
{
    m_onSettings = std::move(action);
    m_settingsItem->setEnabled(static_cast<bool>(m_onSettings));
}

bool StatusItemController::show()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return false;
    }
    m_tray->show();
    return true;
}

void StatusItemController::statusChanged()
{
    const bool unlocked = m_model.unlocked();
    const auto& remaining = m_model.status().remainingSeconds;
    m_title = unlocked && remaining ? QString::fromStdString(DurationText::compact(static_cast<double>(*remaining)))
                                    : QString();
    const QColor ink = QApplication::palette().color(QPalette::WindowText);
    // Every refresh lands here, with the remaining time a second shorter, while the title changes
    // once a minute at most: drawing the icon only when what it shows changed keeps refreshes cheap.
    auto drawn = std::make_tuple(static_cast<int>(moodOf(m_model)), m_title, ink);
    if (drawn != m_drawnIcon) {
        m_tray->setIcon(design::trayIcon(moodOf(m_model), m_title, ink));
        m_drawnIcon = std::move(drawn);
    }
    const QString state = text(unlocked ? "menu.header.unlocked" : "menu.header.locked");
    m_tray->setToolTip(m_title.isEmpty() ? text("app.name") + QStringLiteral(": ") + state
                                         : text("app.name") + QStringLiteral(": ") + state + QStringLiteral(" (")
                               + m_title + QStringLiteral(")"));
    m_lockItem->setVisible(unlocked);
    m_unlockItem->setVisible(!unlocked);
    m_header->update();
}

void StatusItemController::updateReadyChanged()
{
    m_updateItem->setVisible(m_model.updateReady().has_value());
}

} // namespace vantorelle

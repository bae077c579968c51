// UpdateSettingsRow: the line says where the update stands; the button checks or installs.
#include "updates/UpdateSettingsRow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "i18n/L.h"
#include "platform/AppText.h"
#include "shell/AppModel.h"
#include "updates/UpdateController.h"

namespace vantorelle {

UpdateSettingsRow::UpdateSettingsRow(UpdateController& controller, QWidget* parent)
    : QWidget(parent)
    , m_controller(controller)
    , m_line(new QLabel(this))
    , m_button(new QPushButton(this))
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_line->setWordWrap(true);
    // The line carries the feed's version text, which must never be read as markup.
    m_line->setTextFormat(Qt::PlainText);
    layout->addWidget(m_line, 1);
    layout->addWidget(m_button);
    AppModel& model = controller.model();
    connect(m_button, &QPushButton::clicked, this, [&model] {
        if (model.updateReady()) {
            model.installUpdate();
        } else {
            model.checkForUpdates();
        }
    });
    connect(&model, &AppModel::updateReadyChanged, this, &UpdateSettingsRow::refresh);
    connect(&model, &AppModel::updateCheckChanged, this, &UpdateSettingsRow::refresh);
    refresh();
}

void UpdateSettingsRow::refresh()
{
    const AppModel& model = m_controller.model();
    const QString version
        = m_controller.displayVersion().isEmpty() ? QStringLiteral("?") : m_controller.displayVersion();
    const QString versionLine = text("settings.update.version").arg(version);
    if (m_controller.offReason()) {
        // Nothing to check with: the version, and where updates come from when it is the system.
        m_line->setText(m_controller.updatesFromPackageManager()
                            ? versionLine + QLatin1Char('\n') + text("settings.update.system")
                            : versionLine);
        m_button->hide();
        return;
    }
    if (model.updateReady()) {
        m_button->setText(text("settings.update.install"));
        m_line->setText(text("settings.update.ready").arg(*model.updateReady()));
        m_button->show();
        return;
    }
    m_button->setText(text("settings.update.check"));
    m_button->show();
    switch (model.updateCheck()) {
    case UpdateCheckStatus::idle:
        m_line->setText(versionLine);
        break;
    case UpdateCheckStatus::checking:
        m_line->setText(text("settings.update.checking"));
        break;
    case UpdateCheckStatus::downloading:
        m_line->setText(text("settings.update.downloading"));
        break;
    case UpdateCheckStatus::upToDate:
        m_line->setText(text("settings.update.uptodate").arg(versionLine));
        break;
    case UpdateCheckStatus::failed:
        m_line->setText(text("settings.update.failed"));
        break;
    }
}

} // namespace vantorelle

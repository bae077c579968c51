// AppModel: plain fields with change signals.
#include "shell/AppModel.h"

namespace vantorelle {

AppModel::AppModel(QObject* parent)
    : QObject(parent)
{
}

void AppModel::setStatus(StatusReport status)
{
    if (status == m_status) {
        return;
    }
    m_status = std::move(status);
    emit statusChanged();
}

void AppModel::setWindow(std::optional<UnlockWindow> window)
{
    if (window == m_window) {
        return;
    }
    m_window = std::move(window);
    emit windowChanged();
}

void AppModel::setDialogOpen(bool open)
{
    if (open == m_dialogOpen) {
        return;
    }
    m_dialogOpen = open;
    emit dialogOpenChanged();
}

void AppModel::setUpdateReady(std::optional<QString> version)
{
    if (version == m_updateReady) {
        return;
    }
    m_updateReady = std::move(version);
    emit updateReadyChanged();
}

void AppModel::setUpdateCheck(UpdateCheckStatus status)
{
    if (status == m_updateCheck) {
        return;
    }
    m_updateCheck = status;
    emit updateCheckChanged();
}

} // namespace vantorelle

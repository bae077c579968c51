// AppModel: what the menu, the dialogs and the settings show; written only by the app's refresh.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

#include "ipc/Messages.h"
#include "window/UnlockWindow.h"

namespace vantorelle {

enum class UpdateCheckStatus { idle, checking, downloading, upToDate, failed };

// GUI thread only. Each setter notifies only when the value changes.
class AppModel : public QObject
{
    Q_OBJECT
public:
    explicit AppModel(QObject* parent = nullptr);

    static StatusReport lockedStatus() { return StatusReport{StatusState::locked, std::nullopt, {}}; }

    const StatusReport& status() const { return m_status; }
    void setStatus(StatusReport status);
    bool unlocked() const { return m_status.state == StatusState::unlocked; }

    const std::optional<UnlockWindow>& window() const { return m_window; }
    void setWindow(std::optional<UnlockWindow> window);

    bool dialogOpen() const { return m_dialogOpen; }
    void setDialogOpen(bool open);

    // The display version of an update ready to install, or nothing.
    const std::optional<QString>& updateReady() const { return m_updateReady; }
    void setUpdateReady(std::optional<QString> version);

    UpdateCheckStatus updateCheck() const { return m_updateCheck; }
    void setUpdateCheck(UpdateCheckStatus status);

    // Set by the app; views call them and never reach the coordinator themselves.
    std::function<void()> requestRefresh;
    std::function<void()> checkForUpdates = [] {};
    std::function<void()> installUpdate = [] {};

signals:
    void statusChanged();
    void windowChanged();
    void dialogOpenChanged();
    void updateReadyChanged();
    void updateCheckChanged();

private:
    StatusReport m_status = lockedStatus();
    std::optional<UnlockWindow> m_window;
    bool m_dialogOpen = false;
    std::optional<QString> m_updateReady;
    UpdateCheckStatus m_updateCheck = UpdateCheckStatus::idle;
};

} // namespace vantorelle

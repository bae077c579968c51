// UpdateInstallGate: holds an update's install back while a dialog is open.
#pragma once

namespace vantorelle {

class UpdateInstallGate
{
public:
    // Install now exactly when no dialog is open; otherwise remember that an install waits.
    bool request(bool dialogOpen)
    {
        m_deferred = dialogOpen;
        return !dialogOpen;
    }
    // True (install now) once after a deferred request; false when nothing waits.
    bool dialogClosed()
    {
        if (!m_deferred) {
            return false;
        }
        m_deferred = false;
        return true;
    }
    bool deferred() const { return m_deferred; }

private:
    bool m_deferred = false;
};

} // namespace vantorelle

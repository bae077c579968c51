// WindowFocus for the app: X11's active window, or nothing where the compositor gives focus back itself.
#pragma once

#include <memory>

#include "dialogs/DialogPresenter.h"

struct xcb_connection_t;

namespace vantorelle {

// Reads and sets the window manager's _NET_ACTIVE_WINDOW on `connection`'s first screen. A window
// counts as ours when its _NET_WM_PID is this process.
class X11WindowFocus final : public WindowFocus
{
public:
    explicit X11WindowFocus(xcb_connection_t* connection);
    std::optional<Window> activeForeignWindow() override;
    void activate(Window window) override;

private:
    xcb_connection_t* m_connection;
    std::uint32_t m_root = 0;
    std::uint32_t m_activeAtom = 0;
    std::uint32_t m_pidAtom = 0;
};

// The X11 one when the app runs on X11; on Wayland one that remembers nothing.
std::unique_ptr<WindowFocus> makeWindowFocus();

} // namespace vantorelle

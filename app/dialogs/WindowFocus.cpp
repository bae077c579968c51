#include "dialogs/WindowFocus.h"

#include <QGuiApplication>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <xcb/xcb.h>

namespace vantorelle {
namespace {

struct Free
{
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, Free>;

std::uint32_t atom(xcb_connection_t* c, const char* name)
{
    const Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : static_cast<std::uint32_t>(XCB_ATOM_NONE);
}

std::optional<std::uint32_t> cardinal(xcb_connection_t* c, std::uint32_t window, std::uint32_t property,
                                      std::uint32_t type)
{
    const Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, property, type, 0, 1), nullptr));
    if (!reply || reply->type != type || xcb_get_property_value_length(reply.get()) < 4) {
        return std::nullopt;
    }
    return *static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
}

class NoWindowFocus final : public WindowFocus
{
public:
    std::optional<Window> activeForeignWindow() override { return std::nullopt; }
    void activate(Window) override { }
};

} // namespace

X11WindowFocus::X11WindowFocus(xcb_connection_t* connection)
    : m_connection(connection)
{
    if (const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data) {
        m_root = screen->root;
    }
    m_activeAtom = atom(connection, "_NET_ACTIVE_WINDOW");
    m_pidAtom = atom(connection, "_NET_WM_PID");
}

std::optional<WindowFocus::Window> X11WindowFocus::activeForeignWindow()
{
    const auto window = cardinal(m_connection, m_root, m_activeAtom, XCB_ATOM_WINDOW);
    if (!window || *window == XCB_WINDOW_NONE) {
        return std::nullopt;
    }
    if (cardinal(m_connection, *window, m_pidAtom, XCB_ATOM_CARDINAL) == static_cast<std::uint32_t>(::getpid())) {
        return std::nullopt;
    }
    return *window;
}

void X11WindowFocus::activate(Window window)
{
    const auto target = static_cast<xcb_window_t>(window);
    // A window that has gone answers the query with an error: leave the focus where it is.
    const Reply<xcb_get_window_attributes_reply_t> alive(
        xcb_get_window_attributes_reply(m_connection, xcb_get_window_attributes(m_connection, target), nullptr));
    if (!alive) {
        return;
    }
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = target;
    message.type = m_activeAtom;
    message.data.data32[0] = 2; // the request comes from a pager-like tool, so the manager obeys
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(m_connection, 0, m_root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(m_connection);
}

std::unique_ptr<WindowFocus> makeWindowFocus()
{
    if (auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr) {
        return std::make_unique<X11WindowFocus>(x11->connection());
    }
    return std::make_unique<NoWindowFocus>();
}

} // namespace vantorelle

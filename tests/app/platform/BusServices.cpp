// BusServices: the daemon more than one suite starts.
#include "BusServices.h"

namespace vantorelle::test {

Daemon startGnomeKeyring()
{
    // --unlock reads the password from standard input: a heredoc, so the daemon is our child.
    return Daemon("/bin/sh",
                  {"-c",
                   "exec gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null <<EOF\n"
                   "test-login-password\nEOF"},
                  "org.freedesktop.secrets");
}

} // namespace vantorelle::test

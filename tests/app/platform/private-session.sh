#!/bin/sh
# Runs a test program on a private session bus with its own HOME and XDG directories, so the real
# services it starts (GNOME Keyring, dbusmock) never touch the user's own. Listing tests needs none.
set -eu
case " $* " in *" --gtest_list_tests "*) exec "$@" ;; esac
dir=$(mktemp -d /tmp/vtbus-XXXXXX)
trap 'rm -rf "$dir"' EXIT INT TERM
mkdir -p "$dir/home/.config" "$dir/home/.local/share" "$dir/home/.cache"
mkdir -m 700 "$dir/run"
# Bus-activated services inherit the bus's environment: set it before the bus starts.
export HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run" XDG_CONFIG_HOME="$dir/home/.config" \
    XDG_DATA_HOME="$dir/home/.local/share" XDG_CACHE_HOME="$dir/home/.cache"
# No display: a Secret Service prompt must fail instead of waiting for a person.
unset DBUS_SESSION_BUS_ADDRESS DISPLAY WAYLAND_DISPLAY SSH_AUTH_SOCK XDG_SESSION_ID
status=0
dbus-run-session -- "$@" || status=$?
exit "$status"

#!/bin/sh
# Runs a test program with its own HOME and XDG directories on a private bus, its session and system bus.
set -eu
case " $* " in *" --gtest_list_tests "*) exec "$@" ;; esac
dir=$(mktemp -d /tmp/vtbus-XXXXXX)
trap 'rm -rf "$dir"' EXIT INT TERM
mkdir -p "$dir/home/.config" "$dir/home/.local/share" "$dir/home/.cache"
mkdir -m 700 "$dir/run"
# Set before the bus starts, whose services inherit them. No display: a prompt fails, waits for no one.
export HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run" XDG_CONFIG_HOME="$dir/home/.config" \
    XDG_DATA_HOME="$dir/home/.local/share" XDG_CACHE_HOME="$dir/home/.cache"
unset DBUS_SESSION_BUS_ADDRESS DISPLAY WAYLAND_DISPLAY SSH_AUTH_SOCK XDG_SESSION_ID
dbus-run-session -- sh -c 'export DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS"; exec "$@"' sh "$@" || exit $?

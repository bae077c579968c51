#!/usr/bin/env bash
# Times the real app from outside, side by side in one run:
#   1. the askpass helper's whole run on the grace path against the app with 5 managed keys,
#      next to /bin/true (goal: at most 2.5 times /bin/true);
#   2. `vantorelle status` against the app (goal: median at most 5 ms);
#   3. the app's start until its socket answers (goal: 300 ms);
#   4. the idle app's resident memory (goal: 35 MiB or less).
# Needs a built tree (scripts/build), Xvfb, dbus-run-session, script(1) and farm-bench.
# Usage: bench/app-bench.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)

if [ -z "${VANTORELLE_BENCH_INSIDE:-}" ]; then
    work=$(mktemp -d /tmp/vbench-XXXXXX)
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/home/.ssh" "$work/run" "$work/home/.config/vantorelle"
    chmod 700 "$work/run" "$work/home/.ssh"
    export HOME=$work/home XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/home/.config \
        XDG_DATA_HOME=$work/home/.local/share VANTORELLE_SOCKET=$work/run/c.sock VANTORELLE_LOG=stderr LANGUAGE=en
    # Five keys with a passphrase, all managed; the scripted app "types" their passphrases.
    paths=()
    : >"$work/typed"
    for i in 1 2 3 4 5; do
        ssh-keygen -q -t ed25519 -N "bench pass $i" -C "bench-$i" -f "$HOME/.ssh/id_bench$i" </dev/null
        paths+=("\"$HOME/.ssh/id_bench$i\"")
        printf '%s\t%s\n' "$HOME/.ssh/id_bench$i" "bench pass $i" >>"$work/typed"
    done
    (IFS=,; echo "{\"managedKeyPaths\":[${paths[*]}],\"loginItemDefaulted\":true}") >"$XDG_CONFIG_HOME/vantorelle/defaults.json"
    ssh-agent -D -a "$work/agent.sock" >/dev/null 2>&1 &
    agent=$!
    export SSH_AUTH_SOCK=$work/agent.sock
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 1 200); do [ -s "$work/display" ] && break; sleep 0.05; done
    export DISPLAY=:$(cat "$work/display")
    export VANTORELLE_BENCH_INSIDE=$work
    status=0
    dbus-run-session -- "$0" "$build" 2>"$work/session.log" || status=$?
    kill "$xvfb" "$agent" 2>/dev/null || true
    wait "$xvfb" "$agent" 2>/dev/null || true
    [ $status -eq 0 ] || cat "$work/session.log" >&2
    exit $status
fi

work=$VANTORELLE_BENCH_INSIDE
cli=$build/cli/vantorelle
helper=$build/askpass/vantorelle-askpass
app=$build/app/vantorelle-app
scripted=$build/tests/app/shell/vantorelle-app-scripted
prompt="Enter passphrase for key '$HOME/.ssh/id_bench3': "

timed() { # farm-bench where this machine has it
    if command -v farm-bench >/dev/null; then
        farm-bench "$@"
        return
    fi
    echo "(farm-bench not found: start-up and memory only)"
}

wait_until_answering() {
    for _ in $(seq 1 2000); do
        "$cli" status >/dev/null 2>&1 && return 0
        sleep 0.005
    done
    return 1
}

echo "== 1. helper on the grace path (5 managed keys) vs /bin/true"
VANTORELLE_TEST_UNLOCK="type:$work/typed" "$scripted" --background 2>>"$work/app.log" &
app_pid=$!
wait_until_answering
# script(1) gives everything a controlling terminal, so the helper's caller is interactive; the
# first run approves (the scripted dialog types the passphrases) and opens the 5-second grace,
# the measured runs that follow are answered from it.
command -v farm-bench >/dev/null &&
script -qec "'$helper' \"$prompt\" >/dev/null; farm-bench -n 20 --warmup 2 --vs /bin/true -- '$helper' \"$prompt\"" /dev/null
echo "dialogs shown: $(grep -c 'scripted unlock' "$work/app.log") (1 means every measured run was a grace answer)"

echo "== 2. vantorelle status against the app (keys loaded)"
timed -n 30 --warmup 2 -- "$cli" status
kill "$app_pid"; wait "$app_pid" || true

echo "== 3. app start until the socket answers (5 starts)"
for i in 1 2 3 4 5; do
    start=$(date +%s%N)
    "$app" --background 2>>"$work/app.log" &
    app_pid=$!
    wait_until_answering
    end=$(date +%s%N)
    echo "start $i: $(((end - start) / 1000000)) ms"
    if [ $i -lt 5 ]; then kill "$app_pid"; wait "$app_pid" || true; fi
done

echo "== 4. idle resident memory"
sleep 3
grep -E 'VmRSS|VmHWM' "/proc/$app_pid/status"
kill "$app_pid"; wait "$app_pid" || true

#!/usr/bin/env bash
# Times the real app from outside, side by side in one run:
#   1. the askpass helper's whole run on the grace path against the app with 5 managed keys,
#      next to /bin/true (goal: at most 2.5 times /bin/true);
#   2. `vantorelle status` against the app (goal: median at most 5 ms);
#   3. the app's start until its socket answers (goal: 300 ms);
#   4. the idle app's resident memory (goal: 35 MiB or less).
# Needs a built tree (scripts/build), Xvfb, dbus-run-session and script(1). Whole-process times
# come from build/bench/pairtime (A and B in turn, the median of each and of the ratios pair by
# pair). The last lines sum the four figures up.
# Usage: bench/app-bench.sh [build-dir] [runs, default 20]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-20}

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
    dbus-run-session -- "$0" "$build" "$runs" 2>"$work/session.log" || status=$?
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
pairtime=$build/bench/pairtime
prompt="Enter passphrase for key '$HOME/.ssh/id_bench3': "

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p"; }
ms() { awk -v s="$1" 'BEGIN {printf "%.1f", s * 1000}'; }

# Inside script(1): one approval, then the measured pairs.
if [ -n "${VANTORELLE_BENCH_GRACE:-}" ]; then
    "$helper" "$prompt" >/dev/null
    "$pairtime" -n "$runs" -- "$helper" "$prompt" --vs /bin/true
    exit
fi

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
# the measured runs that follow are answered from it. The grace is renewed before the pairs.
script -qec "VANTORELLE_BENCH_GRACE=1 '$0' '$build' '$runs'" /dev/null | tr -d '\r' | tee "$work/grace.txt"
grace=$(grep '^A=' "$work/grace.txt" | tail -n 1)
echo "dialogs shown: $(grep -c 'scripted unlock' "$work/app.log") (1 means every measured run was a grace answer)"

echo "== 2. vantorelle status against the app (keys loaded)"
"$pairtime" -n 30 -- "$cli" status | tee "$work/status.txt"
status_line=$(grep '^A=' "$work/status.txt" | tail -n 1)
kill "$app_pid"; wait "$app_pid" || true

echo "== 3. app start until the socket answers (5 starts)"
starts=()
for i in 1 2 3 4 5; do
    start=$(date +%s%N)
    "$app" --background 2>>"$work/app.log" &
    app_pid=$!
    wait_until_answering
    end=$(date +%s%N)
    starts+=($(((end - start) / 1000000)))
    echo "start $i: ${starts[-1]} ms"
    if [ $i -lt 5 ]; then kill "$app_pid"; wait "$app_pid" || true; fi
done

echo "== 4. idle resident memory"
sleep 3
grep -E 'VmRSS|VmHWM' "/proc/$app_pid/status"
rss_kib=$(awk '$1 == "VmRSS:" {print $2}' "/proc/$app_pid/status")
kill "$app_pid"; wait "$app_pid" || true

echo "== summary (medians; load average $(cut -d' ' -f1-3 /proc/loadavg))"
echo "(a) helper on the grace path: $(ms "$(echo "$grace" | field A)") ms, /bin/true $(ms "$(echo "$grace" | field B)") ms," \
    "ratio $(echo "$grace" | field ratio | awk '{printf "%.2f", $1}') (goal <= 2.5)"
echo "(b) vantorelle status: $(ms "$(echo "$status_line" | field A)") ms (goal <= 5 ms)"
echo "(c) start until the socket answers: $(printf '%s\n' "${starts[@]}" | median) ms (goal <= 300 ms)"
echo "(d) idle RSS: $(awk -v k="$rss_kib" 'BEGIN {printf "%.1f", k / 1024}') MiB (goal <= 35 MiB)"

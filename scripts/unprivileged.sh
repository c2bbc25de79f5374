#!/usr/bin/env bash
# Runs a command as user nobody, the way an ordinary user runs the console:
#   --rtkit  on a private system bus with polkitd and rtkit-daemon, and a
#            polkit rule, for this run only, that lets nobody have real-time
#            priority from rtkit (as a desktop session's user has);
#   else     with no system bus at all.
# Either way without an rtprio limit (RLIMIT_RTPRIO 0). Run as root; exits 77
# where it cannot (not root, or setpriv, dbus-daemon, polkitd or rtkit missing).
# Usage: scripts/unprivileged.sh [--rtkit] [--] command [args...]
set -euo pipefail
rtkit=0
[ "${1:-}" = "--rtkit" ] && rtkit=1 && shift
[ "${1:-}" = "--" ] && shift
polkitd=/usr/lib/polkit-1/polkitd
rtkitd=/usr/libexec/rtkit-daemon
need() {
    echo "unprivileged.sh: $*" >&2
    exit 77
}
[ "$(id -u)" -eq 0 ] || need "must run as root"
command -v setpriv >/dev/null || need "setpriv missing (util-linux)"
if [ $rtkit -eq 1 ]; then
    command -v dbus-daemon >/dev/null || need "dbus-daemon missing (dbus)"
    [ -x $polkitd ] || need "$polkitd missing (polkitd)"
    [ -x $rtkitd ] || need "$rtkitd missing (rtkit)"
fi

dir="$(mktemp -d)"
chmod 755 "$dir" # nobody reaches the bus socket in it
rule=/etc/polkit-1/rules.d/49-kestrova-unprivileged-$$.rules
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -f "$rule"
    rm -rf "$dir"
}
trap cleanup EXIT
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/system_bus_socket"

# Until the bus has a name; the daemon's log on failure.
await() {
    local name="$1" log="$2"
    for _ in $(seq 100); do
        dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:"$name" 2>/dev/null |
            grep -q "boolean true" && return 0
        sleep 0.1
    done
    echo "unprivileged.sh: $name did not come up" >&2
    cat "$log" >&2
    exit 1
}

if [ $rtkit -eq 1 ]; then
    # The system bus's own policy, the services' files, no activation.
    cat >"$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <auth>EXTERNAL</auth>
  <listen>$DBUS_SYSTEM_BUS_ADDRESS</listen>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Properties"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
  <includedir>/etc/dbus-1/system.d</includedir>
</busconfig>
CONF
    dbus-daemon --config-file="$dir/bus.conf" --nofork 2>"$dir/bus.log" &
    pids+=($!)
    await org.freedesktop.DBus "$dir/bus.log"
    cat >"$rule" <<'RULE'
// For one run of scripts/unprivileged.sh; removed after it.
polkit.addRule(function(action, subject) {
    if (action.id == "org.freedesktop.RealtimeKit1.acquire-real-time" && subject.user == "nobody")
        return polkit.Result.YES;
});
RULE
    $polkitd --no-debug >"$dir/polkitd.log" 2>&1 &
    pids+=($!)
    await org.freedesktop.PolicyKit1 "$dir/polkitd.log"
    # rtkit limits its own file size to 0: its log goes through a pipe. No
    # canary: a loaded machine (a benchmark) starves it, and it demotes all.
    $rtkitd --stderr --no-canary 2> >(cat >"$dir/rtkit.log") &
    pids+=($!)
    await org.freedesktop.RealtimeKit1 "$dir/rtkit.log"
fi

status=0
prlimit --rtprio=0:0 setpriv --reuid=65534 --regid=65534 --clear-groups -- "$@" || status=$?
exit $status

#!/usr/bin/env bash
# The event-log lines of the service control, exactly as written. The system shows each reported string on
# the writing process's standard error when the "eventlog" debug channel is on (warnings as
# "warn:eventlog", information as "trace:eventlog"). That stream is the Unix one of the process and is not
# handed to a Windows parent, so the probe runs here, directly on a clean machine, with its output and
# error in one stream; the probe marks its cases on standard output.
#   service_eventlog_check.sh <machine> <service_probe.exe>
set -uo pipefail
machine=${1:?machine}
probe=${2:?probe}
here=$(cd "$(dirname "$0")" && pwd)
runner="$here/../../tools/wine/run-in-machine.sh"

raw=$(WINEDEBUG=+eventlog "$runner" "$machine" "$probe" version info long missing install uninstall noversion 2>&1)
rc=$?
# Case marks, results and event lines, without the thread prefix; the channel shows only the head of a
# long string (about 290 characters), so long lines are compared on their first 230.
actual=$(printf '%s\n' "$raw" | tr -d '\r' |
    sed -nE 's/^[0-9a-f]+:((warn|trace):eventlog:ReportEventW .*)$/\1/p; /^(== |result )/p' |
    sed -E 's/^(.{230}).+$/\1<cut>/')
a99=$(printf 'a%.0s' $(seq 99))
b99=$(printf 'b%.0s' $(seq 99))
long="warn:eventlog:ReportEventW L\"$a99\\n$b99\\n"
long="${long:0:230}<cut>"
expected="== version
trace:eventlog:ReportEventW L\"log_version::3.1.4.1592\"
result 0
== info
trace:eventlog:ReportEventW L\"info::7\"
result 0
== long
$long
result 600
== missing
warn:eventlog:ReportEventW L\"SvcStop::OpenServiceW(1060)\"
warn:eventlog:ReportEventW L\"SvcUninstall::OpenServiceW(1060)\"
result 0
== install
result 11
== uninstall
result 1
== noversion
trace:eventlog:ReportEventW L\"log_version::get version info failed\"
result 0"

if [ $rc -ne 0 ]; then
    printf '%s\n' "$raw"
    echo "service_eventlog_check: the probe ended with $rc" >&2
    exit 1
fi
if [ "$actual" != "$expected" ]; then
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual")
    echo "service_eventlog_check: the event-log lines differ (< expected, > actual)" >&2
    exit 1
fi
printf '%s\n' "$actual"
echo "service_eventlog_check: all event-log lines as expected"

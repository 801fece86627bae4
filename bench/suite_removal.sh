#!/usr/bin/env bash
# The whole suite's uninstall timed as users see it (no debugger or debug monitor attached: the console
# lines are stamped as they arrive through a pipe), step by step, against msiexec /x of a package that
# carries the same data tree of 10,000 files, each run on a fresh copy of the machine; and the same
# uninstall on a machine that also holds 50,000 components of other products and three more users under
# the installer's UserData, for the installer-records step with and without them.
#   bench/suite_removal.sh [--rounds N] [--before REMOVER.exe] [win64] [win32]
# Machines: both by default. Rounds (default 1) alternate the runs: baseline, suite, suite with the foreign
# components (and, with --before, the same two with that other build of TavoRemover.exe in the installed
# one's place), so that a slow spell of the machine falls on all of them. Printed: every run's steps, then
# one table per machine with the median of the rounds and the ratios.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
rounds=1
before=
machines=()
while [ $# -gt 0 ]; do
    case "$1" in
        --rounds) rounds=$2; shift 2 ;;
        --before) before=$(realpath "$2"); shift 2 ;;
        win64|win32) machines+=("$1"); shift ;;
        *) echo "usage: $0 [--rounds N] [--before REMOVER.exe] [win64] [win32]" >&2; exit 2 ;;
    esac
done
[ ${#machines[@]} -gt 0 ] || machines=(win64 win32)
cmake --preset default >/dev/null
cmake --build --preset default --target suite_removal_bench >/dev/null
bench="$root/build/bin/suite_removal_bench.exe"
variants=(suite foreign)
if [ -n "$before" ]; then
    mkdir -p "$root/build/bin/bench/before"
    cp "$before" "$root/build/bin/bench/before/TavoRemover.exe"
    variants+=(before-suite before-foreign)
fi
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

run() {  # machine variant round
    local arguments=(uninstall)
    case "$2" in
        baseline) arguments=(baseline) ;;
        foreign) arguments+=(foreign) ;;
        before-suite) arguments+=('C:\tavo-bin\bench\before\TavoRemover.exe') ;;
        before-foreign) arguments+=(foreign 'C:\tavo-bin\bench\before\TavoRemover.exe') ;;
    esac
    tools/wine/run-in-machine.sh "$1" "$bench" "${arguments[@]}" | tr -d '\r' | grep '^bench ' \
        >"$results/$1.$2.$3" || true
    echo "== $1, $2, round $3"
    sed 's/^bench /  /' "$results/$1.$2.$3"
}

for machine in "${machines[@]}"; do
    for round in $(seq 1 "$rounds"); do
        for variant in baseline "${variants[@]}"; do run "$machine" "$variant" "$round"; done
    done
done

python3 - "$results" "${machines[@]}" <<'EOF'
import glob, os, re, statistics, sys
folder, machines = sys.argv[1], sys.argv[2:]

def runs(machine, variant):
    found = []
    for path in sorted(glob.glob(os.path.join(folder, f"{machine}.{variant}.*"))):
        steps, total = {}, None
        for line in open(path):
            m = re.match(r"bench step (.+?)\s+(\d+) ms$", line.rstrip())
            if m: steps[m.group(1)] = int(m.group(2))
            m = re.match(r"bench (?:uninstall|baseline) (\d+) ms", line)
            if m: total = int(m.group(1))
        if total is not None: found.append((steps, total))
    return found

def median(values):
    return statistics.median(values) if values else None

def cell(value):
    return "-" if value is None else f"{value / 1000:.2f} s"

def ratio(a, b):
    return "-" if a is None or b in (None, 0) else f"{a / b:.2f}"

for machine in machines:
    baseline = median([t for _, t in runs(machine, "baseline")])
    columns = [v for v in ("suite", "foreign", "before-suite", "before-foreign") if runs(machine, v)]
    data = {v: runs(machine, v) for v in columns}
    names = []
    for v in columns:
        for steps, _ in data[v]:
            names += [n for n in steps if n not in names]
    print(f"\n{machine}: median of {len(runs(machine, 'baseline'))} round(s); msiexec /x of the same files {cell(baseline)}")
    print("| | " + " | ".join(columns) + " |")
    print("|---|" + "---|" * len(columns))
    whole = {v: median([t for _, t in data[v]]) for v in columns}
    print("| whole uninstall | " + " | ".join(cell(whole[v]) for v in columns) + " |")
    print("| ratio to msiexec /x | " + " | ".join(ratio(whole[v], baseline) for v in columns) + " |")
    for name in names:
        print(f"| {name} | " + " | ".join(cell(median([s[name] for s, _ in data[v] if name in s])) for v in columns) + " |")
    step = "installer records (TAVOKIT.MSI)"
    for plain, foreign in (("suite", "foreign"), ("before-suite", "before-foreign")):
        if plain in data and foreign in data:
            a = median([s[step] for s, _ in data[foreign] if step in s])
            b = median([s[step] for s, _ in data[plain] if step in s])
            print(f"installer records with 50,000 foreign components / without ({plain}): {ratio(a, b)}")
EOF

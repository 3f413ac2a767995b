#!/usr/bin/env bash
# Where the time of one later start of a packed executable goes, read from
# Wine's own trace: which process, which DLL load, which hand-over takes
# how long.
#
#   bench/breakdown.sh EXE [ARGS...]
#   VELSOR_BENCH_RUNS=9 VELSOR_BENCH_OUT=/tmp/bd bench/breakdown.sh build/bench-later/7z-now.exe i
#   bench/breakdown.sh build/bench-later/tiny-now.exe
#
# EXE is a packed executable on the host's file system, packed with
# --cache (bench/later.sh leaves tiny-now.exe, 7z-now.exe and tree-now.exe
# in its output folder; without --cache every run unpacks again), ARGS its
# arguments as bench_timer passes them ({REPORT} stands for a report file).
# The script runs EXE once to fill its cache (which it leaves filled),
# twice more to warm up, then $VELSOR_BENCH_RUNS times (default 5) under
#   WINEDEBUG=+timestamp,+pid,+loaddll,+process
# (+pid tells the processes' lines apart), each run started by
# bench/programs/bench_timer.cpp, and prints for the run of median length
# a table of milestones from the trace, in ms from the timer's
# CreateProcessW, from the first line of the packed executable's process,
# and from the milestone before:
#   - the timer's CreateProcessW of EXE (the start of the whole run),
#   - the first line of each process (the packed executable's, the
#     "launcher", and the program's for a program entry),
#   - every DLL load (builtin: Wine's own; native: a file on disk),
#   - each process's entry point (Wine's check for a debugger just before
#     it calls the executable's entry: the loader's work is done),
#   - the hand-over: the application DLL's load for a DLL entry (the
#     launcher's first native DLL outside .velsor\), the CreateProcessW of
#     the program and its return for a program entry,
#   - the last line of each process, and the end of the timer's wait (its
#     GetExitCodeProcess);
# then the same run cut into phases: process creation, each process's
# loader and its own code, the program's creation, the end of the run.
# The trace clock counts whole milliseconds, and tracing slows a run a
# little; the figures say where the time goes, not what a run costs (see
# bench/later.sh for that).
#
# Uses the build in $VELSOR_BUILD_DIR (default build beside this folder)
# for its Wine prefix (or $WINEPREFIX); writes the timer, each run's output
# (fill.txt, warm1.txt, run1.txt ...) and trace (run1.trace ...) and the
# tables (breakdown.txt) to $VELSOR_BENCH_OUT, default
# $VELSOR_BUILD_DIR/bench-breakdown (cleared first; a non-empty folder that
# is not an earlier output is refused).
set -euo pipefail
if [ $# -lt 1 ]; then
  echo "usage: bench/breakdown.sh EXE [ARGS...]" >&2
  exit 2
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VELSOR_BUILD_DIR:-$repo/build}
out=${VELSOR_BENCH_OUT:-$build/bench-breakdown}
runs=${VELSOR_BENCH_RUNS:-5}
exe=$(realpath "$1")
shift
if [ ! -f "$exe" ]; then
  echo "breakdown.sh: no such file: $exe" >&2
  exit 2
fi
if [ -e "$out" ] && [ -n "$(ls -A "$out")" ] && [ ! -f "$out/bench_timer.exe" ]; then
  echo "breakdown.sh: $out is neither empty nor an earlier output; not clearing it" >&2
  exit 2
fi
rm -rf "$out"
mkdir -p "$out"
x86_64-w64-mingw32-g++-posix -O2 -Wall -std=c++17 -municode -static -o "$out/bench_timer.exe" \
  "$repo/bench/programs/bench_timer.cpp" -lshell32 -s

export WINEPREFIX=${WINEPREFIX:-$build/wineprefix} WINEDEBUG=-all
wine cmd /c exit </dev/null >/dev/null 2>&1
win() { echo "Z:${1//\//\\}"; }
wtemp=$(wine cmd /c echo %TEMP% </dev/null 2>/dev/null | tr -d '\r')
work="$wtemp\\velsor_bench_breakdown_work"
# timer NAME: one run of EXE, the timer's output to NAME.txt and Wine's
# stderr (the trace) to NAME.trace. Wine 8 now and then fails a
# CreateProcessW outright (error 1359, nothing started): that run is tried
# again, up to twice.
timer() {
  local try
  for try in 1 2 3; do
    if wine "$out/bench_timer.exe" 1 "$work\\report.txt" "$work" "$(win "$exe")" "${args[@]}" \
         </dev/null >"$out/$1.txt" 2>"$out/$1.trace"; then
      return 0
    fi
  done
  echo "breakdown.sh: $1: bench_timer failed three times, see $out/$1.trace" >&2
  return 1
}
args=("$@")
timer fill    # fills the cache
timer warm1
timer warm2
for i in $(seq 1 "$runs"); do
  WINEDEBUG=+timestamp,+pid,+loaddll,+process timer "run$i"
done
wine cmd /c rmdir /s /q "$work" </dev/null >/dev/null 2>&1 || true

/usr/bin/python3 - "$out" "$runs" "$(win "$exe")" <<'PY' | tee "$out/breakdown.txt"
import os, re, statistics, sys
out, runs, exe = sys.argv[1], int(sys.argv[2]), sys.argv[3]
# Wine's debug line with +timestamp and +pid: "SECONDS.MS:PID:TID:CLASS:CHANNEL:FUNCTION MESSAGE"
LINE = re.compile(r"^\s*(\d+)\.(\d{3}):([0-9a-f]{4,}):([0-9a-f]{4,}):(\w+):(\w+):(\w+) ?(.*)$")
LOADED = re.compile(r'Loaded L"(.*)" at \S+: (\w+)')
CREATE = re.compile(r'app L"(.*?)" cmdline')
STARTED = re.compile(r"started process pid ([0-9a-f]+)")
base = lambda path: re.split(r"[\\/]+", path)[-1]

def parse(path):
    lines = []
    for text in open(path, errors="replace"):
        m = LINE.match(text)
        if m:
            ms = int(m.group(1)) * 1000 + int(m.group(2))
            lines.append((ms, m.group(3), m.group(5), m.group(6), m.group(7), m.group(8)))
    return lines

def run_of(path):
    """The run's milestones [(ms, pid, event)], its start, its end and its processes."""
    lines = parse(path)
    target = base(exe).lower()
    t0 = timer = None
    names, parent, pending = {}, {}, {}
    for index, (ms, pid, cls, channel, func, msg) in enumerate(lines):
        if func == "CreateProcessInternalW" and CREATE.search(msg):
            pending[pid] = CREATE.search(msg).group(1)
            if timer is None and base(pending[pid]).lower() == target:
                t0, timer, at = ms, pid, index
        elif func == "CreateProcessInternalW" and STARTED.search(msg) and pid in pending:
            child = "%04x" % int(STARTED.search(msg).group(1), 16)
            names[child], parent[child] = pending.pop(pid), pid
    if timer is None:
        sys.exit("%s: no CreateProcessW of %s in the trace" % (path, exe))
    def below_timer(pid):
        while pid in parent:
            pid = parent[pid]
            if pid == timer:
                return True
        return False
    ours = [l for l in lines if l[1] != timer and below_timer(l[1])]
    # The timer's next line after the start (GetExitCodeProcess) ends its wait.
    after = [l[0] for l in lines[at:] if l[1] == timer and l[4] not in ("CreateProcessInternalW", "NtCreateUserProcess")]
    end = after[0] if after else max(l[0] for l in lines)
    launcher = next((p for p in names if parent[p] == timer and base(names[p]).lower() == target), None)
    label = lambda pid: "launcher" if pid == launcher else base(names.get(pid, pid))
    events = [(t0, "timer", "CreateProcessW of %s" % base(exe))]
    first_seen, last = set(), {}
    handover = None
    entry = {}
    for ms, pid, cls, channel, func, msg in ours:
        if pid not in first_seen:
            first_seen.add(pid)
            events.append((ms, label(pid), "first line of the process (%s)" % func))
        last[pid] = (ms, func)
        if channel == "loaddll" and LOADED.search(msg):
            path, kind = LOADED.search(msg).groups()
            what = "loads %s (%s)" % (base(path), kind)
            own = pid == launcher and kind == "native" and base(path).lower() != target
            if own and "\\.velsor\\" not in path.lower() and handover is None:
                handover = ms
                what += ": the application DLL"
            events.append((ms, label(pid), what))
        elif func == "CreateProcessInternalW" and CREATE.search(msg):
            if pid == launcher and handover is None:
                handover = ms
            events.append((ms, label(pid), "CreateProcessW of %s" % base(CREATE.search(msg).group(1))))
        elif func == "CreateProcessInternalW" and STARTED.search(msg):
            events.append((ms, label(pid), "CreateProcessW returns"))
        elif func == "NtQueryInformationProcess" and msg.startswith("(0xffffffffffffffff,0x00000007,"):
            entry.setdefault(pid, ms)
            events.append((ms, label(pid), "entry point: Wine checks for a debugger before it calls the exe's entry"))
    for pid, (ms, func) in last.items():
        events.append((ms, label(pid), "last line of the process (%s)" % func))
    events.append((end, "timer", "its wait ends"))
    events.sort(key=lambda e: e[0])   # stable: lines of the same ms keep their order
    first = min((l[0] for l in ours if l[1] == launcher), default=t0)
    others = [p for p in first_seen if p != launcher]
    program = min(others, key=lambda p: next(l[0] for l in ours if l[1] == p)) if others else None
    return dict(events=events, t0=t0, end=end, first=first, handover=handover, launcher=launcher,
                program=program, label=label, ours=ours, entry=entry)

data = [run_of(os.path.join(out, "run%d.trace" % i)) for i in range(1, runs + 1)]
spans = [d["end"] - d["t0"] for d in data]
pick = sorted(range(runs), key=lambda i: (spans[i], i))[(runs - 1) // 2]
d = data[pick]
timer_lines = [l.split() for l in open(os.path.join(out, "run%d.txt" % (pick + 1)))]
measured = [((int(f[1]) - int(f[0])) / 1e4, f[2]) for f in timer_lines if len(f) >= 3 and f[0].isdigit() and int(f[0]) > 10**17]
print("%s: whole runs by the trace clock: %s ms; median run: run%d" % (
    base(exe), " ".join(str(s) for s in spans), pick + 1) + (
    " (%d ms by the trace, %.1f ms by bench_timer, exit code %s)" % (spans[pick], measured[-1][0], measured[-1][1])
    if measured else ""))
print()
print("| ms from CreateProcessW | ms from first line | delta ms | process | milestone |")
print("|---:|---:|---:|---|---|")
previous = d["t0"]
for ms, who, what in d["events"]:
    print("| %d | %d | %d | %s | %s |" % (ms - d["t0"], ms - d["first"], ms - previous, who, what))
    previous = ms
print()
def loading(pid, first, name):
    """The loader's part of a process (first line to its entry point) and the code's, from first."""
    if pid in d["entry"]:
        return [("%s: loader and DLL start-up (first line to the entry point)" % name, first, d["entry"][pid])], d["entry"][pid]
    return [], first
phases = [("process creation (CreateProcessW to the launcher's first line)", d["t0"], d["first"])]
if d["handover"] is not None:
    more, code = loading(d["launcher"], d["first"], "launcher")
    phases += more
    phases.append(("launcher: its code, to the hand-over (application DLL load or CreateProcessW)", code, d["handover"]))
    if d["program"] is not None:
        start = min(l[0] for l in d["ours"] if l[1] == d["program"])
        stop = max(l[0] for l in d["ours"] if l[1] == d["program"])
        phases.append(("the program's creation (CreateProcessW to its first line)", d["handover"], start))
        more, code = loading(d["program"], start, "program")
        phases += more
        phases.append(("program: its code, to its last line", code, stop))
        phases.append(("the program's last line to the end of the timer's wait", stop, d["end"]))
    else:
        phases.append(("the application and the exit, to the end of the timer's wait", d["handover"], d["end"]))
else:
    phases.append(("the launcher, first line to the end of the timer's wait (no hand-over seen)", d["first"], d["end"]))
print("| phase of run%d | ms | share |" % (pick + 1))
print("|---|---:|---:|")
for name, a, b in phases:
    print("| %s | %d | %.0f %% |" % (name, b - a, 100.0 * (b - a) / max(1, d["end"] - d["t0"])))
print("| whole run | %d | 100 %% |" % (d["end"] - d["t0"]))
PY

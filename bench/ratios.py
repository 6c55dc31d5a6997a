#!/usr/bin/env python3
"""Prints each benchmark's median time as a ratio to its floor: CPU time,
or wall-clock time for those measured in real time (round trips through
sockets, where the time is spent waiting). For those run at several sizes
(/entries:N), also the growth: the time at the largest size over the time
at the smallest (linear growth gives the ratio of the sizes).

  build/native/bench/murox_bench --benchmark_repetitions=5 \\
      --benchmark_out=bench.json --benchmark_out_format=json
  bench/ratios.py bench.json
"""
import json
import sys

# Each library benchmark and its floors, by name prefix (the arguments such
# as /records:64 are matched as they are).
PAIRS = [
    ("BM_LogEventStdout", "BM_LogEventStdoutFloor"),
    ("BM_LogEventStdout", "BM_LogEventStdoutCopyFloor"),
    ("BM_LogEventSyslog", "BM_SyslogFloor"),
    ("BM_VirtualDirsAppend", "BM_VectorAppend"),
    ("BM_VirtualDirsFind", "BM_VectorFind"),
    ("BM_VirtualDirsRemove", "BM_VectorRemove"),
    ("BM_Listing", "BM_ListingFloor"),
    ("BM_ControlLine", "BM_EchoFloor"),
    ("BM_Start", "BM_StartFloor"),
]

NS_PER_UNIT = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}

# The argument whose sizes the growth compares.
SIZE = "/entries:"


def medians(path):
    with open(path) as f:
        report = json.load(f)
    times = {}
    for run in report["benchmarks"]:
        if run.get("error_occurred"):
            continue
        if run.get("run_type") == "aggregate" and run.get("aggregate_name") != "median":
            continue
        name = run.get("run_name", run["name"])
        clock = "real_time" if "/real_time" in name else "cpu_time"
        times.setdefault(name, []).append(run[clock] * NS_PER_UNIT[run.get("time_unit", "ns")])
    # A median aggregate when there is one, else the single run.
    return {name: values[-1] for name, values in times.items()}


def main():
    times = medians(sys.argv[1])
    print(f"{'benchmark':32} {'ns':>12} {'floor':28} {'floor ns':>12} {'ratio':>7}")
    for name in sorted(times):
        for lib, floor in PAIRS:
            if name == lib or name.startswith(lib + "/"):
                floor_name = floor + name[len(lib):]
                if floor_name in times:
                    t, f = times[name], times[floor_name]
                    print(f"{name:32} {t:12.1f} {floor:28} {f:12.1f} {t / f:7.2f}")
    sizes = {}
    for name, t in times.items():
        if SIZE in name:
            base, size = name.split(SIZE, 1)
            sizes.setdefault(base, []).append((int(size.split("/")[0]), t))
    if sizes:
        print(f"\n{'benchmark':32} {'sizes':>14} {'ns':>26} {'growth':>7}")
    for base in sorted(sizes):
        runs = sorted(sizes[base])
        (n0, t0), (n1, t1) = runs[0], runs[-1]
        if n1 > n0:
            print(f"{base:32} {f'{n0} -> {n1}':>14} {f'{t0:.0f} -> {t1:.0f}':>26} {t1 / t0:7.2f}")


if __name__ == "__main__":
    main()

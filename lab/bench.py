"""Measures VuqSetup.exe under Wine beside the least a wrapper can be, and prints a table:
start-up latency of four chains, CPU time and peak memory while a payload runs 3 s, and the
size of the exe.

Latency runs from the driver's stamp just before CreateProcessW to the payload's stamp on
entering wmain (QueryPerformanceCounter is system-wide), for driver -> payload, driver ->
min_launcher -> payload, driver -> split_launcher -> payload (which also finds the splitter
in shcore, or shell32, in the system folder and splits its command line, as the wrapper must)
and driver -> VuqSetup -> payload, the chains interleaved. CPU time and peak memory are the
kernel's figures for each program's Unix process (/proc/<pid>/stat and status), since
GetProcessTimes on another process returns dummy values under Wine.

A pinned build copies its payload into a new folder under the Windows folder's Temp, hashing
it as it copies, and starts the copy: its latency is measured against the plain build in the
same folder, on a 64-bit payload of 1 MiB and of 100 MiB (the fake payload with zeros after its
image), interleaved. Its floor is the plain start plus the least that work can cost: CopyFileW
of the same payload, then its SHA-256 through the same CryptoAPI provider, as copy_hash.exe
times them from within, interleaved with the two starts.
"""

import argparse
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import time

from winelab import (Prefix, Scenario, add_job_arguments, launcher_scenario, run_main,
                     run_watched, run_wrapper)

LATENCY_TARGET = 1.05  # times the minimal launcher's
MEMORY_TARGET_KB = 1024  # above the minimal launcher's peak
CPU_TARGET_MS = 20
SIZE_TARGET = 8 * 1024  # code and data, resources left out
PINNED_TARGET = 1.2  # a pinned start of 100 MiB, times the plain start plus copy and hash
SLEEP = {"VUQ_PAYLOAD_SLEEP_MS": "3000"}


def latency(prefix, scenario, exe):
    """Seconds from the driver's CreateProcessW to the payload's wmain."""
    run = run_wrapper(prefix, scenario, '"%s"' % exe, application=exe, relay=False)
    if run.exit != 0 or len(run.payloads) != 1:
        raise RuntimeError("%s: %s" % (exe, run.describe()))
    return (run.payloads[0]["qpc"] - run.started_at) / run.frequency


def measure_latency(prefix, scenario, chains, runs):
    times = {name: [] for name, _ in chains}
    latency(prefix, scenario, scenario.exe)  # warms the file cache
    for _ in range(runs):
        for name, exe in chains:
            times[name].append(latency(prefix, scenario, exe))
    return times


def print_latency(chains, times):
    launcher = statistics.median(times[chains[1][0]])
    print("\nStart-up latency: driver's CreateProcessW -> payload's wmain, %d runs each,"
          " interleaved" % len(times[chains[0][0]]))
    print("  %-36s %9s %9s %9s %12s" % ("chain", "median", "min", "max", "x launcher"))
    for name, _ in chains:
        t = times[name]
        print("  %-36s %7.0fms %7.0fms %7.0fms %11.2fx" % (
            name, statistics.median(t) * 1000, min(t) * 1000, max(t) * 1000,
            statistics.median(t) / launcher))
    wrapper = statistics.median(times[chains[3][0]])
    ratio = wrapper / launcher
    print("  VuqSetup / minimal launcher: %.2f (target <= %.2f): %s"
          % (ratio, LATENCY_TARGET, "met" if ratio <= LATENCY_TARGET else "MISSED"))
    print("  VuqSetup / split launcher: %.2f" % (wrapper / statistics.median(times[chains[2][0]])))


def measure_waiting(prefix, scenario, exe, runs):
    usages = []
    for _ in range(runs):
        run, usage = run_watched(prefix, scenario, '"%s"' % exe, exe, SLEEP, application=exe)
        if run.exit != 0 or usage is None:
            raise RuntimeError("%s not observed while waiting: %s" % (exe, run.describe()))
        usages.append(usage)
    return usages


def print_waiting(rows):
    print("\nWhile the payload sleeps 3 s: the program's Unix process (CPU: utime + stime,"
          " %d ms ticks)" % (1000 // os.sysconf("SC_CLK_TCK")))
    print("  %-36s %12s %12s %12s %14s" % ("program", "CPU median", "CPU max", "watched",
                                           "peak (VmHWM)"))
    for name, usages in rows:
        cpu = [u.cpu * 1000 for u in usages]
        print("  %-36s %10.0fms %10.0fms %11.1fs %11d kB" % (
            name, statistics.median(cpu), max(cpu), min(u.window for u in usages),
            max(u.peak_kb for u in usages)))
    worst = max(u.cpu * 1000 for u in rows[2][1])
    print("  VuqSetup's CPU while waiting: %.0f ms (target < %d ms): %s"
          % (worst, CPU_TARGET_MS, "met" if worst < CPU_TARGET_MS else "MISSED"))
    extra = max(u.peak_kb for u in rows[2][1]) - max(u.peak_kb for u in rows[0][1])
    print("  VuqSetup's peak above min_launcher's: %d kB (target <= %d kB): %s"
          % (extra, MEMORY_TARGET_KB, "met" if extra <= MEMORY_TARGET_KB else "MISSED"))


MIB = 1024 * 1024
PINNED_SIZES = (1, 100)  # MiB; make bench builds VuqSetupPinned<N>MiB.exe pinned to each


def pinned_scenario(prefix, mib):
    """The build pinned to a payload of mib MiB as VuqSetup.exe, the plain build beside it as
    VuqSetupPlain.exe, and that payload, made here as make bench made it to pin it."""
    s = Scenario(prefix, r"C:\e2e\bench%dmib" % mib, payloads=("VuqSetup.wzq",),
                 wrapper="VuqSetupPinned%dMiB" % mib)
    shutil.copy(prefix.exe, prefix.host_path(s.folder + "\\VuqSetupPlain.exe"))
    payload = prefix.host_path(s.folder + "\\VuqSetup64.wzq")
    shutil.copy(prefix.helper("fake_payload64"), payload)
    with open(payload, "ab") as f:
        while f.tell() < mib * MIB:
            f.write(bytes(min(MIB, mib * MIB - f.tell())))
    return s


def copy_and_hash(prefix, payload):
    """Seconds that CopyFileW of payload and its SHA-256 took, as copy_hash.exe timed them."""
    done = prefix.wine([prefix.helper("copy_hash"), payload, r"C:\windows\temp\vuq-bench.wzq"])
    if done.returncode != 0:
        raise RuntimeError("copy_hash: %s" % done.stderr.decode(errors="replace").strip())
    return float(done.stdout.decode().strip()) / 1000


def measure_pinned(prefix, runs):
    """{MiB: {"plain": [seconds], "pinned": [seconds], "copy and hash": [seconds]}}, or None
    without the pinned builds."""
    times = {}
    for mib in PINNED_SIZES:
        if not os.path.exists(prefix.helper("VuqSetupPinned%dMiB" % mib)):
            return None
        s = pinned_scenario(prefix, mib)
        chains = [("plain", s.folder + "\\VuqSetupPlain.exe"), ("pinned", s.exe)]
        times[mib] = {name: [] for name, _ in chains + [("copy and hash", None)]}
        latency(prefix, s, s.exe)  # warms the file cache
        for _ in range(runs):
            for name, exe in chains:
                times[mib][name].append(latency(prefix, s, exe))
            times[mib]["copy and hash"].append(
                copy_and_hash(prefix, s.folder + "\\VuqSetup64.wzq"))
        shutil.rmtree(prefix.host_path(s.folder))
    return times


def print_pinned(times, runs):
    if times is None:
        print("\nPinned build: not measured (make bench builds VuqSetupPinned1MiB and 100MiB)")
        return
    print("\nPinned build: start-up latency on a 64-bit payload, against the plain build in the"
          " same folder, %d runs each, interleaved; the minimum is the least disturbed" % runs)
    print("  %-10s %16s %16s %18s" % ("payload", "plain med/min", "pinned med/min",
                                      "check costs med/min"))
    extra = {}
    for mib, chains in sorted(times.items()):
        plain, pinned = chains["plain"], chains["pinned"]
        extra[mib] = min(pinned) - min(plain)
        print("  %-10s %8.0f/%4.0fms %9.0f/%4.0fms %11.0f/%4.0fms" % (
            "%d MiB" % mib, statistics.median(plain) * 1000, min(plain) * 1000,
            statistics.median(pinned) * 1000, min(pinned) * 1000,
            (statistics.median(pinned) - statistics.median(plain)) * 1000, extra[mib] * 1000))
    small, large = min(extra), max(extra)
    rate = (large - small) / max(extra[large] - extra[small], 1e-6)
    print("  copying and hashing rate (from the minima, %d MiB more): %.0f MiB/s"
          % (large - small, rate))
    chains = times[large]
    work = statistics.median(chains["copy and hash"])
    floor = statistics.median(chains["plain"]) + work
    ratio = statistics.median(chains["pinned"]) / floor
    print("  %d MiB: CopyFileW and SHA-256 alone %.0f ms (median); pinned start / (plain start +"
          " that) = %.2f (target <= %.2f): %s" % (large, work * 1000, ratio, PINNED_TARGET,
                                                  "met" if ratio <= PINNED_TARGET else "MISSED"))


def resource_bytes(path):
    """File size and the raw size of the .rsrc section of a PE file."""
    with open(path, "rb") as f:
        image = f.read()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    table = pe + 24 + optional_size
    rsrc = 0
    for i in range(sections):
        name, raw_size = struct.unpack_from("<8s8xI", image, table + 40 * i)
        if name.rstrip(b"\0") == b".rsrc":
            rsrc += raw_size
    return len(image), rsrc


def print_sizes(exe, bin_dir):
    size, rsrc = resource_bytes(exe)
    launcher, _ = resource_bytes(os.path.join(bin_dir, "min_launcher.exe"))
    print("\nSize of VuqSetup.exe")
    print("  %-36s %9d bytes" % ("file", size))
    print("  %-36s %9d bytes" % ("resources (.rsrc)", rsrc))
    print("  %-36s %9d bytes (target <= %d): %s" % (
        "code and data, without resources", size - rsrc, SIZE_TARGET,
        "met" if size - rsrc <= SIZE_TARGET else "MISSED"))
    print("  %-36s %9d bytes" % ("min_launcher.exe (C runtime)", launcher))
    split, _ = resource_bytes(os.path.join(bin_dir, "split_launcher.exe"))
    print("  %-36s %9d bytes" % ("split_launcher.exe (C runtime)", split))
    pinned = os.path.join(bin_dir, "VuqSetupPinned.exe")
    if os.path.exists(pinned):
        size, rsrc = resource_bytes(pinned)
        print("  %-36s %9d bytes (%d without resources)" % ("a pinned build (the tests')", size,
                                                            size - rsrc))


def print_machine():
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), "?")
    board = "/sys/class/dmi/id/product_version"
    machine = open(board).read().strip() if os.path.exists(board) else "not a VM"
    print("Machine: Linux %s, %d CPUs (%s), machine type %s; %s" % (
        platform.release(), os.cpu_count(), model, machine, wine))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    add_job_arguments(parser)
    parser.add_argument("--arch", default="win64", choices=["win64", "win32"])
    parser.add_argument("--runs", type=int, default=30, help="latency runs per chain")
    parser.add_argument("--cpu-runs", type=int, default=3, help="3 s waits per program")
    parser.add_argument("--pinned-runs", type=int, default=9, help="latency runs per pinned chain")
    args = parser.parse_args()

    print_machine()
    prefix = Prefix(args, args.arch)
    started = time.time()
    prefix.ensure()
    print("(prepared the %s prefix in %.0f s)" % (args.arch, time.time() - started))
    try:
        s = launcher_scenario(prefix)
        launcher, poller = s.folder + "\\min_launcher.exe", s.folder + "\\poll_launcher.exe"
        splitter = s.folder + "\\split_launcher.exe"
        chains = [("driver -> payload", s.folder + "\\VuqSetup64.wzq"),
                  ("driver -> min_launcher -> payload", launcher),
                  ("driver -> split_launcher -> payload", splitter),
                  ("driver -> VuqSetup -> payload", s.exe)]
        print_latency(chains, measure_latency(prefix, s, chains, args.runs))
        print_waiting([
            ("min_launcher", measure_waiting(prefix, s, launcher, args.cpu_runs)),
            ("split_launcher", measure_waiting(prefix, s, splitter, args.cpu_runs)),
            ("VuqSetup", measure_waiting(prefix, s, s.exe, args.cpu_runs)),
            ("poll_launcher (polls: the control)", measure_waiting(prefix, s, poller, 1))])
        print_pinned(measure_pinned(prefix, args.pinned_runs), args.pinned_runs)
    finally:
        prefix.stop()
    print_sizes(args.exe, args.bin)
    return 0


if __name__ == "__main__":
    sys.exit(run_main(main))

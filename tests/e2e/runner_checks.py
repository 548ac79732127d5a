"""The runner's own checks, on one Wine prefix: a broken expectation fails the run and names its
case, and so does a cases file that holds another number of cases than it declares, or another
number not here than it says; Ctrl+C puts back what the runner changed, and its next start puts
back what a killed run left, a value of 5,000 characters among them; a second runner refuses
while one runs; it makes links in a work folder whose name is not ASCII; it refuses while the
uninstall entry exists (and leaves it), unelevated, on a desktop nobody sees, in a work folder it
did not make or whose path holds VuqSetup, beside a record that is not whole, and with --only
naming no case."""

import os
import re
import shutil
import signal
import threading
import time

from winelab import registry_values, text_bytes, unix_pid

KIT = r"C:\e2e-kit"
RUNNER = KIT + r"\e2e_runner.exe"
CASES_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "cases.txt")
BROKEN_CASE = "refusals: renamed wrapper, missing payload"
STOP_WORK = r"C:\e2e-stop"
USER_KEY = r"Software\Vuq e2e runner check"
# A user's value longer than any buffer of the runner, which it must put back whole.
BIG_KEY = r"Software\Vuq e2e runner check big"
BIG_TEXT = "".join(chr(ord("a") + i % 26) for i in range(5000))
# A record of a stopped run that is not whole: a value's line, but not the end line.
PARTIAL_RECORD = ("e2e_runner: what a stopped run left, put back at the next start\n"
                  "value 0 1 5300 4e00  \n")
# A run that its payload keeps busy, while the runner has changed HKCU and the entry.
STOP_CASES = r"""cases 1

case runner stop: a run its payload keeps busy
  suite lab
  set-user-value |%s| Name sz |set by the runner| nul
  set-user-value |%s| Name sz |set by the runner| nul
  layout busy
  run |"{exe}"| limit=200
    entry 64 DisplayVersion sz |5.5.3 Beta| nul
    env VUQ_PAYLOAD_SLEEP_MS 120000
  expect record
""" % (USER_KEY, BIG_KEY)
# A run that lasts until the harness ends its payload, once a second runner has refused.
LOCK_CASES = r"""cases 1
%s

case runner lock: a run that lasts while a second runner starts
  suite lab
  layout lasts
  run |"{exe}"|
    env VUQ_PAYLOAD_SLEEP_MS 120000
  expect record
    payload |{folder}\{payload}| |/NoReset | |{work}| {bits}
    exit 0
"""
# Two cases not here under Wine: one the harness runs, one whose only run is Windows's; and one
# whose set-up for a run passed by must not reach the next run.
NOT_HERE_CASES = """cases 3
%s
case runner count: left to the harness
  suite lab
  wine-only |the harness runs it|

case runner count: a run for Windows only
  suite lab
  wine-specific |its run holds off Wine|
  windows: run |"{exe}"|
  windows: expect record

case runner count: what is set up for a run passed by is spent
  suite lab
  wine-specific |its first run holds off Wine|
  layout spent
  windows: run |"{exe}"|
    writes 64 DisplayVersion sz |1.0| nul
  windows: expect record
  run |"{exe}"|
  expect record
    payload |{folder}\{payload}| |/NoReset | |{work}| {bits}
    exit 0
"""

# A link made in a work folder whose name is not ASCII: Wine's shell gets its Unix path whole.
WIDE_WORK = "C:\\vuq-\u00e92e"
WIDE_CASES = """cases 1
%s

case runner wide: a link in a work folder whose name is not ASCII
  suite lab
  layout real
  link link real
  run |"{work}\\link\\VuqSetup.exe"| app=|{work}\\link\\VuqSetup.exe|
  expect record
    payload |{work}\\link\\{payload}| |/NoReset | |{work}| {bits}
    exit 0
"""


def not_here(count):
    """The header's lines that say how many cases are not here, on each kind of system."""
    return "\n".join("not-here %s %d" % (kind, count)
                     for kind in ("wine64", "wine32", "windows64", "windows32"))


def runner_section(name, arguments):
    """Lines of the checks' batch file: a section that runs the runner and shows its status."""
    return ["echo === " + name, "%s %s" % (RUNNER, arguments), "echo exit=%errorlevel%"]


def broken_copy(text):
    """The cases file with one expectation of BROKEN_CASE changed."""
    start = text.index("case " + BROKEN_CASE)
    at = text.index("|SearchExeName failed|", start)
    return text[:at] + "|SearchExeName failed!|" + text[at + len("|SearchExeName failed|"):]


def miscounted_copy(text):
    """The cases file declaring one case more than it holds."""
    declared = int(re.search(r"^cases (\d+)$", text, re.M).group(1))
    return re.sub(r"^cases \d+$", "cases %d" % (declared + 1), text, count=1, flags=re.M)


def write_kit_file(prefix, name, text, newline="\n"):
    with open(prefix.host_path(KIT + "\\" + name), "w", encoding="utf-8", newline=newline) as f:
        f.write(text)
    return KIT + "\\" + name


def check_broken_data(arch, broken, miscounted, runner_lines, record):
    """The broken expectation fails the run and its case; the count, a run of passing cases."""
    lines, _ = runner_lines(broken)
    said = [line for status, name, what, *_ in lines if status == "FAIL" and name == BROKEN_CASE
            for line in what]
    record("%s runner: a broken expectation fails the run and names its case" % arch,
           exit_of(broken) == 1 and any("SearchExeName failed!" in line for line in said),
           [broken])
    lines, others = runner_lines(miscounted)
    record("%s runner: a cases file that holds another number of cases than it declares fails"
           % arch, exit_of(miscounted) == 1 and [line[0] for line in lines] == ["ok"] and
           [line for line in others if "declares" in line] != [], [miscounted])


def second_runner(prefix):
    """A second runner started while the first runs: its output and exit status. Then the first's
    payload is ended, as the wrapper would see it end by itself."""
    payload = "VuqSetup64.wzq" if prefix.arch == "win64" else "VuqSetup.wzq"
    batch = write_kit_file(prefix, "second.bat", "@echo off\n%s --only no-such-case\n"
                           "echo exit=%%errorlevel%%\ntaskkill /f /im %s >nul\n"
                           % (RUNNER, payload), newline="\r\n")
    return prefix.wine(["cmd", "/c", batch], timeout=120).stdout.decode("utf-8", "replace")


def stop_runner(prefix, cases, number, first="", meanwhile=None):
    """Runs the runner on cases, after the batch line first, and sends its process the signal
    number (None: none, it ends by itself) once the payload runs, after meanwhile(prefix), whose
    result it returns too; returns the runner's output and exit status, and whether the payload
    was seen. Wine makes SIGINT the console's Ctrl+C, and SIGKILL kills the process outright."""
    log = prefix.host_path(STOP_WORK + r"\payload.log")
    if os.path.exists(log):
        os.remove(log)
    batch = write_kit_file(prefix, "stop.bat", "@echo off\n%s\n%s --cases %s --work %s\n"
                           "echo exit=%%errorlevel%%\n" % (first, RUNNER, cases, STOP_WORK),
                           newline="\r\n")
    results = []
    thread = threading.Thread(target=lambda: results.append(prefix.wine(
        ["cmd", "/c", batch], timeout=600)))
    thread.start()
    deadline, seen = time.time() + 300, False
    while thread.is_alive() and time.time() < deadline and not seen:
        try:
            with open(log) as f:
                seen = "start" in f.read()
        except OSError:
            pass
        time.sleep(0.2)
    said = meanwhile(prefix) if meanwhile and seen else ""
    pid = unix_pid(prefix, RUNNER) if number else None
    if pid:
        os.kill(pid, number)
    thread.join()
    return results[0].stdout.decode("utf-8", "replace"), seen, said


def run_checks_batch(prefix):
    """What a stopped run left, broken cases files, and the refusals, in one start of Wine: a
    batch file whose sections begin "=== NAME"."""
    with open(CASES_FILE, encoding="utf-8") as f:
        text = f.read()
    broken = write_kit_file(prefix, "broken-cases.txt", broken_copy(text))
    miscounted = write_kit_file(prefix, "miscounted-cases.txt", miscounted_copy(text))
    counted = write_kit_file(prefix, "not-here-cases.txt", NOT_HERE_CASES % not_here(2))
    not_counted = write_kit_file(prefix, "not-here-miscounted.txt", NOT_HERE_CASES % not_here(1))
    partial = prefix.host_path(r"C:\e2e-partial")
    shutil.rmtree(partial, ignore_errors=True)
    os.makedirs(partial)
    open(os.path.join(partial, "e2e_runner.mark"), "w").close()
    with open(os.path.join(partial, "pending-restore.txt"), "w") as f:
        f.write(PARTIAL_RECORD)
    entry = registry_values([("64", "DisplayVersion", 1, text_bytes("5.5.3 Beta"))])
    only = "--only no-such-case"
    hex_line = ('"%s" %s' % (RUNNER, only)).encode("utf-16-le").hex()
    lines = [
        "@echo off",
        "echo === stopped",
        r"%s\regtool.exe dump 64" % KIT,
        'reg query "HKCU\\%s" >nul 2>nul' % USER_KEY,
        "echo user-key=%errorlevel%",
        'reg query "HKCU\\%s" /v Name' % BIG_KEY,
    ] + runner_section("broken", '--cases %s --only "%s"' % (broken, BROKEN_CASE)) + \
        runner_section("miscounted", '--cases %s --only "%s"' % (miscounted, BROKEN_CASE)) + [
        "echo === entry",
        r"%s\regtool.exe set %s" % (KIT, entry),
        "%s %s" % (RUNNER, only),
        "echo exit=%errorlevel%",
        r"%s\regtool.exe dump 64" % KIT,
        r"%s\regtool.exe clear" % KIT,
    ] + runner_section("counted", "--cases " + counted) + \
        runner_section("notcounted", "--cases " + not_counted) + \
        runner_section("nomatch", only) + \
        runner_section("partial", r"--work C:\e2e-partial " + only) + [
        "echo === unprivileged",
        "set VUQ_DRIVER_APP=%s" % RUNNER,
        "set VUQ_DRIVER_CMDLINE_HEX=%s" % hex_line,
        "set VUQ_DRIVER_UNPRIVILEGED=1",
        r"%s\driver.exe" % KIT,
        "set VUQ_DRIVER_UNPRIVILEGED=",
        "echo === hidden",
        "set VUQ_DRIVER_HIDDEN=1",
        r"%s\driver.exe" % KIT,
        "set VUQ_DRIVER_HIDDEN=",
    ] + runner_section("unmarked", r"--work C:\e2e-unmarked " + only) + \
        runner_section("named", r"--work C:\VuqSetup-tests " + only)
    unmarked = prefix.host_path(r"C:\e2e-unmarked")
    os.makedirs(unmarked, exist_ok=True)
    with open(os.path.join(unmarked, "someone's.txt"), "w") as f:
        f.write("not the runner's\n")
    batch = write_kit_file(prefix, "checks.bat", "\n".join(lines) + "\n", newline="\r\n")
    output = prefix.wine(["cmd", "/c", batch], timeout=600).stdout.decode("utf-8", "replace")
    sections = dict(re.findall(r"^=== (\w+)\r?\n(.*?)(?=^=== |\Z)", output, re.M | re.S))
    return sections, output


def exit_of(text):
    """The first exit status a section of the batch shows: its own line, or the driver's."""
    found = re.findall(r"\bexit=(\d+)", text)
    return int(found[0]) if found else None


def whole_record(path):
    with open(path, "rb") as f:
        text = f.read()
    return text.startswith(b"e2e_runner: ") and text.endswith(b"\nend\n") and \
        not os.path.exists(path + ".new")


def check_runner(prefix, pattern, runner_lines, record):
    arch = prefix.arch
    shutil.rmtree(prefix.host_path(STOP_WORK), ignore_errors=True)
    cases = write_kit_file(prefix, "stop-cases.txt", STOP_CASES)
    record_path = prefix.host_path(STOP_WORK + r"\pending-restore.txt")

    # Killed, then started again, which puts back what the killed run left, and stopped by Ctrl+C
    # once it has changed the same again. The value of its own under HKCU must be gone at the end
    # (a next start that had found it there would take it for the user's, and put it back).
    # The big value is the user's own, there before the run.
    first = 'reg delete "HKCU\\%s" /f >nul 2>nul\nreg add "HKCU\\%s" /v Name /d %s /f >nul' % (
        USER_KEY, BIG_KEY, BIG_TEXT)
    killed, seen, _ = stop_runner(prefix, cases, signal.SIGKILL, first)
    record("%s runner: a killed run leaves its record of what to put back, whole" % arch,
           seen and os.path.exists(record_path) and whole_record(record_path),
           ["payload seen: %s; output:" % seen, killed])
    stopped, seen, _ = stop_runner(prefix, cases, signal.SIGINT)
    locked = write_kit_file(prefix, "lock-cases.txt", LOCK_CASES % not_here(0))
    first, seen, second = stop_runner(prefix, locked, None, meanwhile=second_runner)
    record("%s runner: a second runner refuses while one runs, naming the first, which passes"
           % arch, exit_of(second) == 2 and "another runner is running (process" in second and
           STOP_WORK in second and exit_of(first) == 0 and "ok   runner lock" in first,
           ["payload seen: %s; the second said:" % seen, second, "the first:", first])
    sections, output = run_checks_batch(prefix)
    after = sections.get("stopped", "")
    put_back = "missing" in after and "user-key=1" in after
    record("%s runner: the next start puts back what a killed run left" % arch,
           "put back what a stopped run left: the uninstall entry removed, 2 value" in stopped
           and put_back, [stopped, output])
    record("%s runner: a user's value of 5,000 characters is put back as it was" % arch,
           re.search(r"Name\s+REG_SZ\s+%s\s*$" % BIG_TEXT, after, re.M) is not None, [after])
    counted, not_counted = sections.get("counted", ""), sections.get("notcounted", "")
    record("%s runner: a case whose only run is another system's is not here, and counted; a "
           "run passed by spends its set-up" % arch,
           exit_of(counted) == 0 and counted.count("not-here runner count") == 2 and
           "ok   runner count: what is set up" in counted and
           exit_of(not_counted) == 1 and "not here on" in not_counted, [counted, not_counted])
    # Started by Wine itself: its arguments come from Linux as UTF-8, where cmd reads a batch
    # file in its own code page.
    wide_cases = write_kit_file(prefix, "wide-cases.txt", WIDE_CASES % not_here(0))
    wide = prefix.wine([RUNNER, "--work", WIDE_WORK, "--cases", wide_cases], timeout=300)
    said = wide.stdout.decode("utf-8", "replace")
    record("%s runner: a work folder whose name is not ASCII" % arch,
           wide.returncode == 0 and "ok   runner wide" in said, [said])
    record("%s runner: Ctrl+C puts back what it changed" % arch,
           seen and "stopped (Ctrl+C)" in stopped and not os.path.exists(record_path) and put_back,
           ["payload seen: %s; record left: %s; output:" % (seen, os.path.exists(record_path)),
            stopped, output])
    check_broken_data(arch, sections.get("broken", ""), sections.get("miscounted", ""),
                      runner_lines, record)
    # Each refusal: its section of the batch, and what it must say.
    for label, section, says in [
            ("--only naming no case refuses", "nomatch", "no case's name holds"),
            ("refuses a record of a stopped run that is not whole", "partial", "not whole"),
            ("refuses to run unelevated", "unprivileged", "not elevated"),
            ("refuses a desktop nobody sees", "hidden", "not on a desktop")]:
        said = sections.get(section, "")
        record("%s runner: %s" % (arch, label), exit_of(said) == 2 and says in said, [output])
    entry = sections.get("entry", "")
    record("%s runner: refuses while the uninstall entry exists, and leaves it" % arch,
           "refused: the uninstall entry" in entry and exit_of(entry) == 2 and
           "missing" not in entry, [output])
    record("%s runner: refuses a work folder it did not make, or one whose path holds VuqSetup"
           % arch, exit_of(sections.get("unmarked", "")) == 2 and
           "not a folder the runner made" in sections.get("unmarked", "") and
           exit_of(sections.get("named", "")) == 2 and "VuqSetup" in sections.get("named", ""),
           [output])

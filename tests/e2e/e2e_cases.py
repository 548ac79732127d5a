"""End-to-end cases: the real wrapper, the real Win32 calls, observed from outside."""

import os
import re
import shutil
import subprocess
import threading
import time

from winelab import (Scenario, clear_entry, dump_entry, launcher_scenario, read_installer_record,
                     registry_values, relay_calls, run_watched, run_wrapper, set_entry,
                     text_bytes, unescape_wine_string)

CASES = []
REG_SZ, REG_EXPAND_SZ = 1, 2
SETUP, WRAPPER = "VUQ Setup", "VUQ Setup Wrapper"
# Built pinned to the two fake payloads: starts them, and nothing else.
PINNED = "VuqSetupPinned"
# Windows refuses to start a program whose manifest it cannot use; Wine starts it anyway and
# says why on these channels (a dependency it cannot find, or XML it cannot parse, is a fixme).
ACTCTX_CHANNELS = ",err+actctx,fixme+actctx"


def case(name, suite, only=None):
    def register(function):
        CASES.append((name, suite, only, function))
        return function
    return register


class Check:
    def __init__(self):
        self.failures = []

    def equal(self, actual, expected, what):
        if actual != expected:
            self.failures.append("%s: got %r, want %r" % (what, actual, expected))

    def true(self, condition, what):
        if not condition:
            self.failures.append(what)


def payload_name(prefix):
    return "VuqSetup64.wzq" if prefix.is64 else "VuqSetup.wzq"


def expect_started(c, run, module, cmdline):
    c.equal(run.error, None, "driver error")
    c.equal(run.exit, 0, "wrapper exit status")
    c.equal(run.boxes, [], "message boxes")
    c.equal(len(run.payloads), 1, "payload starts")
    if run.payloads:
        c.equal(run.payloads[0]["module"], module, "payload started")
        c.equal(run.payloads[0]["cmdline"], cmdline, "payload command line")


def expect_refused(c, run, message, caption):
    c.equal(run.error, None, "driver error")
    c.equal(run.exit, 1, "wrapper exit status")
    c.equal(run.boxes, [(0, message, caption, 0x10)], "message boxes (owner, text, caption, style)")
    c.equal(len(run.payloads), 0, "payload starts")


# --- Launch -------------------------------------------------------------------------------

@case("typical run: payload for this system, /NoReset, wrapper's current directory; pinned too",
      "launch")
def typical_run(p, c):
    for wrapper in ("VuqSetup", PINNED):
        s = Scenario(p, r"C:\e2e\typical", wrapper=wrapper)
        run = run_wrapper(p, s, '"%s"' % s.exe, cwd=r"C:\e2e\elsewhere", channels=ACTCTX_CHANNELS)
        sub = Check()
        expect_started(sub, run, s.folder + "\\" + payload_name(p), "/NoReset ")
        sub.equal([line for line in run.stderr.splitlines() if ":actctx:" in line], [],
                  "activation-context reports")
        if run.payloads:
            sub.equal(run.payloads[0]["cwd"].rstrip("\\"), r"C:\e2e\elsewhere",
                      "payload's directory")
            sub.equal(run.payloads[0]["build"], "64" if p.is64 else "32", "payload build")
        c.failures += ["%s: %s" % (wrapper, f) for f in sub.failures]


# (folder, wrapper file name, command line with {exe} for the wrapper's path, payload command
# line): how the runtime cuts the argument text out of the process command line.
ARGUMENT_TEXTS = [
    (r"C:\e2e\blanks", "VuqSetup.exe", '"{exe}"   /S', "/S"),
    (r"C:\e2e\My Setup", "VuqSetup.exe", '"{exe}" /S', "/S"),
    (r"C:\e2e\plain", "VuqSetup.exe", '{exe} a "b c"', 'a "b c"'),
    (r"C:\e2e\tabs", "VuqSetup.exe", '"{exe}"\t/S\t', "/S\t"),
    (r"C:\e2e\mixed", "VuqSetup.exe", "{exe}\t \t/q  /v  ", "/q  /v  "),
    (r"C:\e2e\trailing", "VuqSetup.exe", '"{exe}"  \t ', "/NoReset "),
    (r"C:\e2e\quoted", "VuqSetup.exe", '"{exe}" "" "x"', '"" "x"'),
]


@case("argument text: blanks, tabs and quotes as the runtime cuts them", "launch")
def argument_texts(p, c):
    for folder, exe_name, template, expected in ARGUMENT_TEXTS:
        s = Scenario(p, folder, exe_name)
        run = run_wrapper(p, s, template.format(exe=s.exe))
        sub = Check()
        expect_started(sub, run, folder + "\\" + payload_name(p), expected)
        c.failures += ["%r: %s" % (template, f) for f in sub.failures]


@case("own path: folder-name fallback, file name first, case kept", "launch")
def own_paths(p, c):
    name = payload_name(p)
    fallback = Scenario(p, r"C:\e2e\fallback\VuqSetup", "Install.exe",
                        payload_folder=r"C:\e2e\fallback")
    run = run_wrapper(p, fallback, '"%s" /x' % fallback.exe)
    expect_started(c, run, "C:\\e2e\\fallback\\" + name, "/x")

    first = Scenario(p, r"C:\e2e\first\VuqSetup")
    run = run_wrapper(p, first, '"%s"' % first.exe)
    expect_started(c, run, "C:\\e2e\\first\\VuqSetup\\" + name, "/NoReset ")

    # Wine's file system ignores case, so the case of the path shows in what the wrapper asked for.
    upper = Scenario(p, r"C:\e2e\upper", payloads=())
    run = run_wrapper(p, upper, r'"C:\E2E\UPPER\VUQSETUP.EXE"', application=upper.exe)
    expect_refused(c, run, "Cannot start C:\\E2E\\UPPER\\%s\n" % name, SETUP)


@case("refusals: renamed wrapper, missing payload", "launch")
def refusals(p, c):
    renamed = Scenario(p, r"C:\e2e\renamed", "setup.exe")
    expect_refused(c, run_wrapper(p, renamed, '"%s" /S' % renamed.exe), "SearchExeName failed",
                   SETUP)
    missing = Scenario(p, r"C:\e2e\missing", payloads=())
    expect_refused(c, run_wrapper(p, missing, '"%s"' % missing.exe),
                   "Cannot start C:\\e2e\\missing\\%s\n" % payload_name(p), SETUP)


@case("trapped message box agrees with the relay trace", "launch")
def trapped_box(p, c):
    renamed = Scenario(p, r"C:\e2e\trapped", "Setup.exe")
    run = run_wrapper(p, renamed, '"%s"' % renamed.exe, trap_boxes=True, relay=False)
    expect_refused(c, run, "SearchExeName failed", SETUP)


@case("payload's exit code is not the wrapper's; the wrapper waits for the payload", "launch")
def waits_for_payload(p, c):
    s = Scenario(p, r"C:\e2e\waits")
    run = run_wrapper(p, s, '"%s" /S' % s.exe,
                      payload_env={"VUQ_PAYLOAD_EXIT": "7", "VUQ_PAYLOAD_SLEEP_MS": "2000"})
    expect_started(c, run, s.folder + "\\" + payload_name(p), "/S")
    c.true(run.elapsed is not None and run.elapsed >= 2.0,
           "wrapper ended after %s s, before its payload's 2 s" % run.elapsed)
    if run.payloads:
        c.true(run.payloads[0].get("end_qpc", 1 << 62) < run.ended_at,
               "payload had not ended when the wrapper did")


@case("on a 64-bit system the 64-bit payload is chosen even with both present", "launch",
      only="win64")
def chooses_64(p, c):
    s = Scenario(p, r"C:\e2e\both")
    run = run_wrapper(p, s, '"%s"' % s.exe)
    expect_started(c, run, s.folder + "\\VuqSetup64.wzq", "/NoReset ")


# --- Uninstall entry cleanup ---------------------------------------------------------------

def run_with_entry(p, folder, written_by_payload, before=(), wrapper="VuqSetup"):
    """The payload writes its entry at the end of its run, after a sleep: a wrapper that does
    not wait for it would clean before the values exist."""
    clear_entry(p)
    set_entry(p, before)
    s = Scenario(p, folder, wrapper=wrapper)
    env = {"VUQ_PAYLOAD_SLEEP_MS": "1000"}
    if written_by_payload:
        env["VUQ_PAYLOAD_REG"] = registry_values(written_by_payload)
    return run_wrapper(p, s, '"%s"' % s.exe, payload_env=env, relay=False)


def expect_entry(c, p, view, expected):
    c.equal(dump_entry(p, view), expected, "entry in the %s-bit view" % view)


UNTOUCHED = {
    "Publisher": (REG_SZ, text_bytes("Beta Labs")),
    "UninstallString": (REG_SZ, text_bytes(r"C:\Beta\uninstall.exe")),
}


def as_written(values):
    return [("64", name, kind, data) for name, (kind, data) in values.items()]


@case("the tag is cut from the three values; nothing else changes; pinned too", "cleanup")
def cuts_tag(p, c):
    before = dict(UNTOUCHED)
    before["DisplayVersion"] = (REG_SZ, text_bytes("5.5.3 Beta"))
    before["DisplayName"] = (REG_SZ, text_bytes("Touch Driver BETA 2 (x64)"))
    before["Comments"] = (REG_EXPAND_SZ, text_bytes("Beta"))
    after = dict(UNTOUCHED)
    after["DisplayVersion"] = (REG_SZ, text_bytes("5.5.3 "))
    after["DisplayName"] = (REG_SZ, text_bytes("Touch Driver "))
    after["Comments"] = (REG_SZ, b"\0\0")
    for wrapper in ("VuqSetup", PINNED):
        run = run_with_entry(p, r"C:\e2e\cleanup", as_written(before), wrapper=wrapper)
        c.equal(run.exit, 0, wrapper + " exit status")
        expect_entry(c, p, "64", after)


@case("values without the tag are not written; first of two tags cuts", "cleanup")
def leaves_untagged(p, c):
    before = {
        "DisplayVersion": (REG_EXPAND_SZ, text_bytes("5.5.3")),
        "DisplayName": (REG_SZ, text_bytes("Touch Betx Bet")),
        "Comments": (REG_SZ, text_bytes("one beta two BETA")),
    }
    run = run_with_entry(p, r"C:\e2e\untagged", as_written(before))
    c.equal(run.exit, 0, "wrapper exit status")
    after = dict(before)
    after["Comments"] = (REG_SZ, text_bytes("one "))
    expect_entry(c, p, "64", after)


@case("bad data: no terminator, odd size, larger than 1024 bytes", "cleanup")
def bad_data(p, c):
    before = {
        "DisplayVersion": (REG_SZ, ("v" * 508 + "BETA").encode("utf-16-le")),
        "DisplayName": (REG_SZ, "2.0 Beta".encode("utf-16-le") + b"x"),
        "Comments": (REG_SZ, text_bytes("a" * 600 + " Beta")),
    }
    run = run_with_entry(p, r"C:\e2e\baddata", as_written(before))
    c.equal(run.exit, 0, "wrapper exit status")
    after = dict(before)
    after["DisplayVersion"] = (REG_SZ, text_bytes("v" * 508))
    after["DisplayName"] = (REG_SZ, text_bytes("2.0 "))
    expect_entry(c, p, "64", after)


@case("no uninstall entry at all: status 0, nothing created", "cleanup")
def no_entry(p, c):
    run = run_with_entry(p, r"C:\e2e\noentry", [])
    c.equal(run.exit, 0, "wrapper exit status")
    c.equal(len(run.payloads), 1, "payload starts")
    expect_entry(c, p, "64", None)
    expect_entry(c, p, "32", None)


@case("an entry only in the 32-bit view is left alone", "cleanup", only="win64")
def only_32_bit_view(p, c):
    values = [("32", "DisplayVersion", REG_SZ, text_bytes("5.5.3 Beta"))]
    run = run_with_entry(p, r"C:\e2e\view32", values)
    c.equal(run.exit, 0, "wrapper exit status")
    expect_entry(c, p, "64", None)
    expect_entry(c, p, "32", {"DisplayVersion": (REG_SZ, text_bytes("5.5.3 Beta"))})


# (installer build, wrapper's arguments, what the installer recorded: (event, command line,
# parameters), its entry in the 64-bit view after the wrapper). The usual build parses as NSIS
# does, the first token taken for the program's name. Without a display Wine cannot create the
# wizard: the installer ends at once, without installing.
INSTALLER_RUNS = [
    ("nsis_payload", " /S /v", [("silent", "/S /v", "/v"), ("installed", "/S /v", "/v")], {
        "DisplayName": (REG_SZ, text_bytes("Vuq Touchscreen Driver ")),
        "DisplayVersion": (REG_SZ, text_bytes("5.5.3 ")),
        "Comments": (REG_SZ, b"\0\0"),
        "Publisher": (REG_SZ, text_bytes("Vuq Beta Devices")),
    }),
    ("nsis_payload", "", [("not silent", "/NoReset ", "")], None),
    ("nsis_payload_usual", " /S /x", [("not silent", "/S /x", "/x")], None),
]
# The README's /S check holds where NSIS's ${GetOptionsS} took the words after /S for its value.
INSTALLER_RUNS += [
    ("nsis_payload", arguments, [(event, arguments[1:], parameters)
                                 for event in ("silent", "installed")], INSTALLER_RUNS[0][3])
    for arguments, parameters in ((" /S extra", "extra"), (' /S "/x y"', '"/x y"'))]


@case("a real installer: what it gets, silent or not, its own entry in the right view",
      "cleanup")
def real_installer(p, c):
    if not os.path.exists(p.helper("nsis_payload")):
        c.failures.append("the NSIS payloads were not built: run 'sh tools/install-deps.sh nsis' "
                          "as root, then build again")
        return
    record = r"C:\e2e\logs\installer.txt"
    for build, arguments, records, entry in INSTALLER_RUNS:
        clear_entry(p)
        if os.path.exists(p.host_path(record)):
            os.remove(p.host_path(record))
        s = Scenario(p, r"C:\e2e\installer", payload=build)
        try:
            run = run_wrapper(p, s, '"%s"%s' % (s.exe, arguments), relay=False, timeout=120,
                              payload_env={"VUQ_NSIS_RECORD": record})
        except subprocess.TimeoutExpired:
            c.failures.append("%s%s: no end within 120 s (a wizard waiting for a click?)"
                              % (build, arguments))
            continue
        sub = Check()
        sub.equal(run.exit, 0, "wrapper exit status")
        sub.equal(read_installer_record(p.host_path(record)), records, "installer's record")
        expect_entry(sub, p, "64", entry)
        if p.is64:
            expect_entry(sub, p, "32", None)
        c.failures += ["%s%s: %s" % (build, arguments, f) for f in sub.failures]


# --- Faults and hostile input ----------------------------------------------------------------

@case("DLL search restricted to the system folder before anything else", "faults")
def restricts_dll_search(p, c):
    s = Scenario(p, r"C:\e2e\dllsearch")
    run = run_wrapper(p, s, '"%s"' % s.exe)
    calls = relay_calls(run.stderr, "SetDefaultDllDirectories")
    c.equal(calls, ["00000800"], "SetDefaultDllDirectories calls (LOAD_LIBRARY_SEARCH_SYSTEM32)")
    c.equal(run.exit, 0, "wrapper exit status")


@case("without SetDefaultDllDirectories the wrapper carries on silently", "faults")
def carries_on_without_dll_api(p, c):
    s = Scenario(p, r"C:\e2e\nodllapi", wrapper="VuqSetupWithoutDllApi")
    run = run_wrapper(p, s, '"%s" /S' % s.exe)
    calls = relay_calls(run.stderr, "SetDefaultDllDirectories")
    c.equal(calls, [], "SetDefaultDllDirectories calls")
    expect_started(c, run, s.folder + "\\" + payload_name(p), "/S")


# Wine's +loaddll and relay lines, with +pid, carry the process and thread that wrote them, in
# the order that thread ran: a DLL's load and the wrapper's own calls come out in sequence.
LOAD_TRACE = {"WINEDEBUG": "-all,+pid,+relay,+loaddll"}
_LOADED = re.compile(r'^([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"((?:[^"\\]|\\.)*)" '
                     r'at ([0-9a-f]+)')
_CALLED = re.compile(r'^([0-9a-f]+):[0-9a-f]+:Call [A-Za-z0-9]+\.(SetDefaultDllDirectories|'
                     r'LoadLibraryExW|WaitForSingleObject)\((?:[0-9a-f]+ L"((?:[^"\\]|\\.)*)"|'
                     r'[0-9a-f]+,([0-9a-f]+))?.* ret=([0-9a-f]+)$')
SYSTEM_FOLDER = "c:\\windows\\system32\\"


def wrapper_events(trace, exe):
    """The wrapper process's DLL loads and calls, in order: ("load", path), ("narrow", None),
    ("LoadLibraryExW", path), ("wait", timeout in hex); paths lower-cased. Calls count when they
    come from the wrapper's own code, not from a DLL in its process."""
    events, pid, base = [], None, 0
    for line in trace.splitlines():
        loaded, called = _LOADED.match(line), _CALLED.match(line)
        if called and not 0 <= int(called.group(5), 16) - base < 0x100000:
            called = None
        if loaded and pid is None and unescape_wine_string(loaded.group(2)).lower() == exe.lower():
            pid, base = loaded.group(1), int(loaded.group(3), 16)
        elif loaded and loaded.group(1) == pid:
            events.append(("load", unescape_wine_string(loaded.group(2)).lower()))
        elif called and called.group(1) == pid and called.group(2) == "SetDefaultDllDirectories":
            events.append(("narrow", None))
        elif called and called.group(1) == pid and called.group(2) == "WaitForSingleObject":
            events.append(("wait", called.group(4)))
        elif called and called.group(1) == pid:
            events.append(("LoadLibraryExW", unescape_wine_string(called.group(3) or "").lower()))
    return events


def check_dll_loads(c, events, shows_box, hashes=False):
    narrowed = events.index(("narrow", None)) if ("narrow", None) in events else len(events)
    before = [path for kind, path in events[:narrowed] if kind == "load"]
    c.true(narrowed < len(events), "SetDefaultDllDirectories was never called")
    c.equal([path for path in before if not path.startswith(SYSTEM_FOLDER)], [],
            "DLLs from outside the system folder before the search was narrowed")
    c.equal([path for path in before if path.rsplit("\\", 1)[1] in LOADED_LATER], [],
            "shcore, shell32 or user32 before the search was narrowed")
    c.true(("load", SYSTEM_FOLDER + "shcore.dll") in events[narrowed:],
           "shcore not loaded from the system folder after the search was narrowed")
    # shell32 would bring user32 and gdi32 with it, and a GUI thread; shcore needs neither. The
    # pinned build's crypto provider brings them all the same (crypt32 imports them).
    if not shows_box and not hashes:
        names = [path.rsplit("\\", 1)[1] for kind, path in events if kind == "load"]
        c.equal([name for name in names if name in ("user32.dll", "gdi32.dll")], [],
                "user32 or gdi32 in a run without a box")
    # A pinned build finds CryptoAPI in advapi32 at run time, by its full path too.
    asked = [path for kind, path in events if kind == "LoadLibraryExW"]
    want = ([SYSTEM_FOLDER + "shcore.dll"] + [SYSTEM_FOLDER + "advapi32.dll"] * hashes
            + [SYSTEM_FOLDER + "user32.dll"] * shows_box)
    c.equal(asked, want, "libraries the wrapper loads itself, by full path, each once")


LOADED_LATER = ("shcore.dll", "shell32.dll", "user32.dll")


@case("before the search is narrowed only system DLLs load; shcore after; user32 for a box only; "
      "the pinned build's crypto provider from the system folder", "faults")
def dll_loads(p, c):
    s = Scenario(p, r"C:\e2e\dllloads")
    run = run_wrapper(p, s, '"%s"' % s.exe, payload_env=LOAD_TRACE)
    expect_started(c, run, s.folder + "\\" + payload_name(p), "/NoReset ")
    events = wrapper_events(run.stderr, s.exe)
    check_dll_loads(c, events, shows_box=False)
    # Every payload here ends within seconds; a real installer may run for an hour.
    c.equal([timeout for kind, timeout in events if kind == "wait"], ["ffffffff"],
            "the wrapper's waits for its payload (INFINITE)")
    renamed = Scenario(p, r"C:\e2e\dllloadsbox", "setup.exe")
    run = run_wrapper(p, renamed, '"%s"' % renamed.exe, payload_env=LOAD_TRACE)
    expect_refused(c, run, "SearchExeName failed", SETUP)
    check_dll_loads(c, wrapper_events(run.stderr, renamed.exe), shows_box=True)
    # The pinned build's crypto provider too comes from the system folder, as everything else.
    pinned = Scenario(p, r"C:\e2e\dllloadspinned", wrapper=PINNED)
    run = run_wrapper(p, pinned, '"%s"' % pinned.exe, payload_env=LOAD_TRACE)
    expect_started(c, run, pinned.folder + "\\" + payload_name(p), "/NoReset ")
    events = wrapper_events(run.stderr, pinned.exe)
    check_dll_loads(c, events, shows_box=False, hashes=True)
    c.true(("load", SYSTEM_FOLDER + "rsaenh.dll") in events,
           "rsaenh.dll not from the system folder")
    outside = [path for kind, path in events
               if kind == "load" and not path.startswith(SYSTEM_FOLDER)]
    c.equal(outside, [], "pinned build: DLLs from outside the system folder")


@case("on a window station nobody sees: no box to wait on, status 1 at once", "faults")
def invisible_window_station(p, c):
    s = Scenario(p, r"C:\e2e\hidden", payloads=())
    run = run_wrapper(p, s, '"%s"' % s.exe, hidden=True, timeout=30)
    c.equal((run.error, run.exit, run.boxes), (None, 1, []), "driver error, exit status, boxes")
    c.true(run.elapsed is not None and run.elapsed < 5, "took %s s" % run.elapsed)


@case("without IsWow64Process the system counts as 32-bit", "faults")
def without_wow64_api(p, c):
    s = Scenario(p, r"C:\e2e\nowow64", wrapper="VuqSetupWithoutWow64Api")
    expect_started(c, run_wrapper(p, s, '"%s" /S' % s.exe), s.folder + "\\VuqSetup.wzq", "/S")


@case("without a splitter in shcore or shell32 the command line counts as unsplittable",
      "faults")
def without_split_api(p, c):
    s = Scenario(p, r"C:\e2e\nosplit", wrapper="VuqSetupWithoutSplitApi")
    expect_refused(c, run_wrapper(p, s, '"%s" /S' % s.exe), "GetCommandLineW failed", SETUP)


@case("payload that is not a program", "faults")
def payload_not_a_program(p, c):
    s = Scenario(p, r"C:\e2e\textpayload", payloads=())
    with open(p.host_path(s.folder + "\\" + payload_name(p)), "w") as f:
        f.write("this is not a program\n")
    expect_refused(c, run_wrapper(p, s, '"%s"' % s.exe),
                   "Cannot start %s\\%s\n" % (s.folder, payload_name(p)), SETUP)


@case("payload that crashes: status 0 and the cleanup still runs", "faults")
def payload_crashes(p, c):
    clear_entry(p)
    s = Scenario(p, r"C:\e2e\crash")
    values = registry_values([("64", "DisplayVersion", REG_SZ, text_bytes("1.0 Beta"))])
    run = run_wrapper(p, s, '"%s"' % s.exe, relay=False,
                      payload_env={"VUQ_PAYLOAD_CRASH": "1", "VUQ_PAYLOAD_REG": values})
    c.equal(run.exit, 0, "wrapper exit status")
    expect_entry(c, p, "64", {"DisplayVersion": (REG_SZ, text_bytes("1.0 "))})


def long_folder(length):
    """A folder part of exactly length units (with its final separator), names under 255."""
    parts, used = [], 3
    while used < length:
        size = min(200, length - used - 1)
        parts.append("d" * size)
        used += size + 1
    return "C:\\" + "".join(part + "\\" for part in parts)


@case("limits: own path, application path and command line at and past 512", "faults")
def limits(p, c):
    s = Scenario(p, r"C:\e2e\limits")
    name = payload_name(p)
    # Wine starts nothing from a path of 260 units or more, so the wrapper lies in a short
    # folder and takes the long own path from its command line's first element. The own path
    # ends in the bare name, so that it stays within its own 511 units on both systems.
    fits = long_folder(512 - len(name))
    run = run_wrapper(p, s, '"%sVuqSetup"' % fits, application=s.exe, trap_boxes=True,
                      relay=False)
    expect_refused(c, run, "Cannot start %s%s\n" % (fits, name), SETUP)
    c.equal(len(fits + name), 512, "application path length")

    over = long_folder(513 - len(name))
    run = run_wrapper(p, s, '"%sVuqSetup"' % over, application=s.exe, trap_boxes=True,
                      relay=False)
    expect_refused(c, run, "Execute path is too long.", WRAPPER)

    too_long_own = long_folder(600) + "VuqSetup.exe"
    run = run_wrapper(p, s, '"%s" /S' % too_long_own, application=s.exe, trap_boxes=True,
                      relay=False)
    expect_refused(c, run, "Execute path is too long.", WRAPPER)

    arguments = "/" + "a" * 511
    run = run_wrapper(p, s, '"%s" %s' % (s.exe, arguments), relay=False)
    expect_started(c, run, s.folder + "\\" + name, arguments)

    run = run_wrapper(p, s, '"%s" %s' % (s.exe, arguments + "b"), trap_boxes=True, relay=False)
    expect_refused(c, run, "Passed command line is too long.", WRAPPER)


# --- Pinned build ----------------------------------------------------------------------------

def flip_middle_byte(genuine, other):
    middle = len(genuine) // 2
    return genuine[:middle] + bytes([genuine[middle] ^ 1]) + genuine[middle + 1:]


# (what lies under this system's payload name, made from the genuine payload and the other
# system's, or None for nothing; whether another process holds it open for writing; the box).
NOT_MADE_FOR = "{} is not the file this setup was made for."
PLANTED = [
    ("one byte changed", flip_middle_byte, False, NOT_MADE_FOR),
    ("truncated", lambda genuine, other: genuine[:-1], False, NOT_MADE_FOR),
    ("bytes appended", lambda genuine, other: genuine + b"\0", False, NOT_MADE_FOR),
    ("the other system's payload", lambda genuine, other: other, False, NOT_MADE_FOR),
    ("held open for writing", lambda genuine, other: genuine, True,
     "{} is in use by another program."),
    ("missing", None, False, "Cannot start {}\n"),
]


@case("pinned build refuses each payload it was not made for; the entry is untouched", "faults")
def pinned_refusals(p, c):
    clear_entry(p)
    tagged = {"DisplayVersion": (REG_SZ, text_bytes("5.5.3 Beta"))}
    set_entry(p, as_written(tagged))
    s = Scenario(p, r"C:\e2e\planted", wrapper=PINNED)
    path = s.folder + "\\" + payload_name(p)
    other = s.folder + "\\" + ("VuqSetup.wzq" if p.is64 else "VuqSetup64.wzq")
    with open(p.host_path(path), "rb") as f, open(p.host_path(other), "rb") as g:
        genuine, others = f.read(), g.read()
    for what, plant, hold, message in PLANTED:
        if plant:
            with open(p.host_path(path), "wb") as f:
                f.write(plant(genuine, others))
        elif os.path.exists(p.host_path(path)):
            os.remove(p.host_path(path))
        sub = Check()
        run = run_wrapper(p, s, '"%s"' % s.exe, hold=path if hold else None)
        expect_refused(sub, run, message.format(path), SETUP)
        c.failures += ["%s: %s" % (what, f) for f in sub.failures]
    expect_entry(c, p, "64", tagged)


@case("pinned build without SHA-256 in CryptoAPI refuses the genuine payload", "faults")
def pinned_without_sha256(p, c):
    s = Scenario(p, r"C:\e2e\nosha256", wrapper="VuqSetupPinnedWithoutSha256")
    expect_refused(c, run_wrapper(p, s, '"%s"' % s.exe), "%s\\%s cannot be checked: this system "
                   "cannot compute SHA-256." % (s.folder, payload_name(p)), SETUP)


@case("pinned build holds its payload: mid-hash it cannot be written, deleted, renamed or "
      "overwritten", "faults")
def pinned_holds_payload(p, c):
    s = Scenario(p, r"C:\e2e\held", wrapper=PINNED)
    path = s.folder + "\\" + payload_name(p)
    with open(p.host_path(path), "rb") as f:
        genuine = f.read()
    run = run_wrapper(p, s, '"%s"' % s.exe, attack=path, relay=False)
    sharing_violation = 32
    c.equal(run.attack, dict.fromkeys(("write", "delete", "rename", "overwrite"),
                                      sharing_violation), "errors of the attempts mid-hash")
    expect_started(c, run, path, "/NoReset ")
    with open(p.host_path(path), "rb") as f:
        c.true(f.read() == genuine, "the payload on disk is no longer the genuine one")


def make_link(p, name, target):
    """C:\\e2e\\name as a Unix symbolic link to the folder C:\\e2e\\target, replaced in one step."""
    host = p.host_path("C:\\e2e\\" + name)
    os.symlink(target, host + ".new")
    os.replace(host + ".new", host)


def run_paused_at_hash(p, s, command_line, act, **options):
    """run_wrapper while the driver holds the wrapper at its first CryptHashData call until act()
    has run; the boxes are trapped."""
    marker = r"C:\e2e\logs\paused"
    if os.path.exists(p.host_path(marker)):
        os.remove(p.host_path(marker))
    runs = []
    thread = threading.Thread(target=lambda: runs.append(run_wrapper(
        p, s, command_line, payload_env={"VUQ_DRIVER_PAUSE": marker}, trap_boxes=True,
        relay=False, **options)))
    thread.start()
    while thread.is_alive():
        if os.path.exists(p.host_path(marker)):
            act()
            os.remove(p.host_path(marker))
        time.sleep(0.05)
    thread.join()
    return runs[0]


@case("pinned build starts the file it checked, though the link to its folder was retargeted "
      "mid-check; without GetFinalPathNameByHandleW (XP) the path as planned", "faults")
def pinned_starts_what_it_checked(p, c):
    name = payload_name(p)
    real = Scenario(p, r"C:\e2e\linkreal", wrapper=PINNED)
    planted = Scenario(p, r"C:\e2e\linkplanted", payloads=())
    other = r"C:\e2e\linkreal\%s" % ("VuqSetup.wzq" if p.is64 else "VuqSetup64.wzq")
    shutil.copy(p.host_path(other), p.host_path(planted.folder + "\\" + name))
    make_link(p, "link", "linkreal")
    exe = r"C:\e2e\link\VuqSetup.exe"
    run = run_paused_at_hash(p, real, '"%s"' % exe, lambda: make_link(p, "link", "linkplanted"),
                             application=exe)
    c.equal(run.attack, {"paused": 0}, "the harness's pause mid-hash")
    expect_started(c, run, real.folder + "\\" + name, "/NoReset ")
    if run.payloads:
        c.equal(run.payloads[0]["build"], "64" if p.is64 else "32", "payload build")
    make_link(p, "link", "linkreal")
    shutil.copy(p.helper("VuqSetupPinnedWithoutFinalPathApi"), p.host_path(real.exe))
    run = run_wrapper(p, real, '"%s"' % exe, application=exe, relay=False)
    expect_started(c, run, "C:\\e2e\\link\\" + name, "/NoReset ")


UNUSABLE = "{} cannot be started from this folder: copy the release to a local folder."


@case("pinned build started through a link to a folder x.: the genuine payload or a refusal, "
      "never the payload under x; without GetFinalPathNameByHandleW (XP) the path as planned",
      "faults")
def pinned_dotted_folder(p, c):
    name, other = payload_name(p), "VuqSetup.wzq" if p.is64 else "VuqSetup64.wzq"
    shutil.rmtree(p.host_path(r"C:\e2e\FD"), ignore_errors=True)
    genuine = Scenario(p, r"C:\e2e\FD\x.\VuqSetup", wrapper=PINNED)
    decoy = Scenario(p, r"C:\e2e\FD\x\VuqSetup", wrapper=PINNED)
    # Win32 reads x.\ as x\, where each system's name holds the other system's build.
    for swapped, original in ((name, other), (other, name)):
        shutil.copy(p.host_path(genuine.folder + "\\" + original),
                    p.host_path(decoy.folder + "\\" + swapped))
    make_link(p, r"FD\pkg", "x.")
    build = "64" if p.is64 else "32"
    exe = r"C:\e2e\FD\pkg\VuqSetup\VuqSetup.exe"
    for wrapper in (PINNED, "VuqSetupPinnedWithoutFinalPathApi"):
        shutil.copy(p.helper(wrapper), p.host_path(genuine.exe))
        run = run_wrapper(p, genuine, '"%s"' % exe, application=exe, trap_boxes=True, relay=False)
        sub = Check()
        sub.equal([r["build"] for r in run.payloads if r["build"] != build], [],
                  "builds started other than this system's (the payload under x)")
        planned = r"C:\e2e\FD\pkg\VuqSetup" + "\\" + name
        if wrapper != PINNED:
            expect_started(sub, run, planned, "/NoReset ")
        elif run.payloads:
            sub.equal((run.error, run.exit, run.boxes, len(run.payloads)), (None, 0, [], 1),
                      "driver error, exit status, boxes, payload starts")
        else:
            expect_refused(sub, run, UNUSABLE.format(planned), SETUP)
        c.failures += ["%s: %s" % (wrapper, f) for f in sub.failures]


@case("pinned build names its provider: a user's HKCU default for the type is not taken",
      "faults")
def pinned_names_provider(p, c):
    key = r"HKCU\Software\Microsoft\Cryptography\Provider Type 024"
    s = Scenario(p, r"C:\e2e\provider", wrapper=PINNED)
    p.wine(["reg", "add", key, "/v", "Name", "/d", "No Such Provider", "/f"]).check_returncode()
    try:
        run = run_wrapper(p, s, '"%s"' % s.exe)
    finally:
        p.wine(["reg", "delete", key, "/f"]).check_returncode()
    expect_started(c, run, s.folder + "\\" + payload_name(p), "/NoReset ")


# What the box and CryptoAPI load by bare name where the search is not narrowed, as Wine's loader
# shows it (+module): user32's imports and imm32, uxtheme; the provider's imports, bcrypt and
# crypt32, and what crypt32 brings; with the rest of the wrapper's lists (lpk and usp10, which
# user32 and gdi32 load on XP), where Wine has them.
PLANTED_DLLS = ("imm32", "lpk", "usp10", "uxtheme", "dwmapi", "rsaenh", "cryptsp", "cryptbase",
                "user32", "gdi32", "win32u", "version", "zlib1", "bcrypt", "crypt32")
# Before 8.1 the split brings user32 and gdi32 in, and with them what they load by bare name.
LOADED_BY_USER32 = ("imm32.dll", "lpk.dll", "usp10.dll")


@case("where SetDefaultDllDirectories is missing, no DLL planted beside the wrapper loads: "
      "with a box, and in a pinned run; imm32, lpk and usp10 load before the split", "faults")
def old_system_planted_dlls(p, c):
    system = "C:\\windows\\syswow64\\" if p.is64 else "C:\\windows\\system32\\"
    box = Scenario(p, r"C:\e2e\plantedbox", "setup.exe", wrapper="VuqSetupWithoutDllApi")
    pinned = Scenario(p, r"C:\e2e\plantedpinned", wrapper="VuqSetupPinnedWithoutDllApi")
    for s in (box, pinned):
        for dll in PLANTED_DLLS:
            if os.path.exists(p.host_path(system + dll + ".dll")):
                shutil.copy(p.host_path(system + dll + ".dll"),
                            p.host_path("%s\\%s.dll" % (s.folder, dll)))
    run = run_wrapper(p, box, '"%s"' % box.exe, payload_env=LOAD_TRACE)
    expect_refused(c, run, "SearchExeName failed", SETUP)
    events = wrapper_events(run.stderr, box.exe)
    # Asked for by full path before the splitter's DLL, and loaded from the system folder then
    # where the prefix has it (Wine 8 has no lpk).
    split = ("LoadLibraryExW", SYSTEM_FOLDER + "shcore.dll")
    before = events[:events.index(split)] if split in events else events
    c.equal([name for name in LOADED_BY_USER32
             if ("LoadLibraryExW", SYSTEM_FOLDER + name) not in before
             or os.path.exists(p.host_path(system + name))
             and ("load", SYSTEM_FOLDER + name) not in before], [],
            "not loaded by full path from the system folder before the splitter's DLL")
    pinned_run = run_wrapper(p, pinned, '"%s"' % pinned.exe, payload_env=LOAD_TRACE)
    expect_started(c, pinned_run, pinned.folder + "\\" + payload_name(p), "/NoReset ")
    events += wrapper_events(pinned_run.stderr, pinned.exe)
    c.true(("load", SYSTEM_FOLDER + "uxtheme.dll") in events, "uxtheme never loaded")
    c.true(("load", SYSTEM_FOLDER + "crypt32.dll") in events, "crypt32 never loaded")
    c.equal([path for kind, path in events if kind == "load" and path.startswith("c:\\e2e")], [],
            "DLLs loaded from the wrapper's folder")


# --- Waiting ---------------------------------------------------------------------------------

@case("the wrapper blocks while its payload runs: under 200 ms CPU in 3 s", "bench")
def blocks_while_waiting(p, c):
    s = launcher_scenario(p)
    # The polling launcher shows that the measurement sees a wrapper that does not block.
    for exe, polls in ((s.exe, False), (s.folder + "\\poll_launcher.exe", True)):
        run, usage = run_watched(p, s, '"%s"' % exe, exe, {"VUQ_PAYLOAD_SLEEP_MS": "3000"},
                                 application=exe)
        c.equal(run.exit, 0, exe + " exit status")
        if usage is None:
            c.true(False, exe + " was never seen while its payload ran")
            continue
        c.true(usage.window >= 2.0, "%s watched for only %.2f s" % (exe, usage.window))
        c.true((usage.cpu >= 0.2) == polls,
               "%s used %.0f ms CPU in %.1f s of waiting" % (exe, usage.cpu * 1000, usage.window))

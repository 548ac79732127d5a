"""The wrapper at work, as a user would run it: C:\\Setup holds VuqSetup.exe beside its two
payloads; it is started on a 64-bit and on a 32-bit Windows (Wine prefixes). A stand-in
payload 'installs' for a moment and leaves its uninstall entry with a Beta tag behind; with
--real, the tests' NSIS installer does, with its own values. With --pinned, a build pinned to
the two stand-in payloads runs instead; then one byte of the payload is changed, as a planted
file would be, and the wrapper is started once more. With --rehearse, the wrapper given is
pinned to the two payloads that lie beside it, and runs with those very files: what they
receive and leave behind is watched from outside, each run within a time limit."""

import argparse
import os
import shutil
import sys
import time

from winelab import (PAYLOAD_NAMES, Prefix, Scenario, add_job_arguments, clear_entry,
                     dump_entry, read_installer_record, registry_values, run_main, run_wrapper,
                     set_entry, text_bytes)

ENTRY = [
    ("Comments", 1, text_bytes("Beta build for early adopters")),
    ("DisplayName", 1, text_bytes("Vuq Touchscreen Driver Beta")),
    ("DisplayVersion", 1, text_bytes("5.5.3 Beta")),
    ("Publisher", 1, text_bytes("Vuq Devices Team")),
]
INSTALLER_ENTRY = [
    ("Comments", 1, text_bytes("BETA build")),
    ("DisplayName", 1, text_bytes("Vuq Touchscreen Driver Beta")),
    ("DisplayVersion", 1, text_bytes("5.5.3 beta 2")),
    ("Publisher", 1, text_bytes("Vuq Beta Devices")),
]
INSTALLER_RECORD = r"C:\e2e\logs\demo-installer.txt"
CLEANED = ["Comments", "DisplayName", "DisplayVersion"]
LIMIT_HIT = """Time limit:      the payload was still running after %d s; the rehearsal ended it.
                 Under Wine there is no display: an installer cannot show its window, and
                 one that waits for an answer all the same (a page of its wizard, a question)
                 waits until the limit. Rehearse it silent (ARGS=/S, or its own switch), or
                 give it longer (LIMIT=seconds)."""


def show_value(kind, data):
    if kind in (1, 2):
        return '"%s"' % data.decode("utf-16-le", "replace").rstrip("\0")
    return "type %d, %d bytes" % (kind, len(data))


def command_line(exe, arguments):
    return '"%s"%s' % (exe, " " + arguments if arguments else "")


def show_boxes(run):
    for box in run.boxes:
        print("Message box:     %r (caption %r)" % (box.text, box.caption))


def demo(prefix, arguments, real, wrapper):
    system = "64-bit" if prefix.is64 else "32-bit"
    print("\n=== %s Windows (Wine prefix %s) ===" % (system, prefix.arch))
    clear_entry(prefix)
    setup = Scenario(prefix, r"C:\Setup", wrapper=wrapper,
                     payload="nsis_payload" if real else "fake_payload")
    typed = command_line(setup.exe, arguments)
    entry = INSTALLER_ENTRY if real else ENTRY
    values = registry_values([("64", name, kind, data) for name, kind, data in ENTRY])
    env = {"VUQ_PAYLOAD_SLEEP_MS": "1500", "VUQ_PAYLOAD_REG": values}
    if real:
        env = {"VUQ_NSIS_RECORD": INSTALLER_RECORD}
        if os.path.exists(prefix.host_path(INSTALLER_RECORD)):
            os.remove(prefix.host_path(INSTALLER_RECORD))
    if wrapper != "VuqSetup":
        print("Wrapper:         built pinned to the two payloads beside it")
    print("Started as:      %s" % typed)
    print("in the folder:   %s (as Explorer starts a program)" % setup.folder)
    run = run_wrapper(prefix, setup, typed, cwd=setup.folder, relay=False, trap_boxes=True,
                      payload_env=env)
    show_boxes(run)
    records = read_installer_record(prefix.host_path(INSTALLER_RECORD)) if real else []
    if records:
        print("The NSIS installer received: %r" % records[0][1])
        print("It went through: %s" % ", ".join(event for event, _, _ in records))
        if "installed" not in [event for event, _, _ in records]:
            print("(without a display Wine cannot create its wizard: it ended without installing)")
    elif run.payloads:
        payload = run.payloads[0]
        print("Payload started: %s" % payload["module"])
        show_copy(prefix, payload["module"])
        print("It received:     %r" % payload["cmdline"])
        print("Its current dir: %s (inherited from the wrapper)" % payload["cwd"])
        if "end_qpc" in payload and run.frequency:
            ran = (payload["end_qpc"] - payload["qpc"]) / run.frequency
            print("It ran for:      %.2f s" % ran)
    else:
        print("No payload was started.")
    print("Wrapper ended:   exit status %s after %.2f s" % (run.exit, run.elapsed or 0))
    if not run.payloads and not records:
        return setup, typed
    after = dump_entry(prefix, "64") or {}
    print("Uninstall entry VuqTouchscreen, as the %s -> after the wrapper:"
          % ("installer writes it" if real else "payload left it"))
    for name, kind, data in entry:
        now = after.get(name)
        shown = show_value(*now) if now else "(missing)"
        print("  %-15s %s -> %s" % (name + ":", show_value(kind, data), shown))
    return setup, typed


def show_copy(prefix, started):
    """Whether the private copy a pinned build started is gone, as it should be by now."""
    folder = started.rsplit("\\", 1)[0]
    if "\\VuqSetup-" in folder:
        gone = not os.path.exists(prefix.host_path(folder))
        print("Private copy:    %s" % ("removed once the wrapper ended" if gone
                                       else "LEFT BEHIND in " + folder))


def plant(prefix, setup, typed):
    """Changes one byte of the payload the pinned build just started, and starts it again."""
    payload = setup.folder + "\\" + ("VuqSetup64.wzq" if prefix.is64 else "VuqSetup.wzq")
    with open(prefix.host_path(payload), "r+b") as f:
        f.seek(4096)
        byte = f.read(1)[0]
        f.seek(4096)
        f.write(bytes([byte ^ 1]))
    print("\nPlanted:         %s with one byte changed (offset 4096)" % payload)
    entry = [("64", name, kind, data) for name, kind, data in ENTRY]
    clear_entry(prefix)
    set_entry(prefix, entry)
    run = run_wrapper(prefix, setup, typed, cwd=setup.folder, relay=False, trap_boxes=True)
    show_boxes(run)
    print("Payload started: %s" % ("no" if not run.payloads else run.payloads[0]["module"]))
    print("Wrapper ended:   exit status %s" % run.exit)
    untouched = dump_entry(prefix, "64") == {name: (kind, data) for name, kind, data in ENTRY}
    print("Uninstall entry: %s" % ("untouched" if untouched else "CHANGED"))


def rehearse(prefix, arguments, limit):
    """The wrapper given, pinned to the payloads beside it, with those very files as payloads."""
    system = "64-bit" if prefix.is64 else "32-bit"
    print("\n=== %s Windows (Wine prefix %s) ===" % (system, prefix.arch))
    clear_entry(prefix)
    setup = Scenario(prefix, r"C:\Setup", payloads=())
    for name in PAYLOAD_NAMES:
        shutil.copy(os.path.join(os.path.dirname(prefix.exe), name),
                    prefix.host_path(setup.folder + "\\" + name))
    typed = command_line(setup.exe, arguments)
    print("Wrapper:         built pinned to the two payloads given, which lie beside it")
    print("Started as:      %s" % typed)
    print("in the folder:   %s (as Explorer starts a program)" % setup.folder)
    run = run_wrapper(prefix, setup, typed, cwd=setup.folder, relay=False, watch=True,
                      limit=limit, timeout=limit + 300)
    show_boxes(run)
    start, end = run.payload_start, run.payload_end
    if start and end:
        print("Payload started: %s" % start["application"])
        show_copy(prefix, start["application"])
        print("It received:     %r (as the wrapper handed it to CreateProcessW)"
              % start["cmdline"])
        if "payload" in run.limits:
            print(LIMIT_HIT % limit)
        else:
            print("It ran for:      %.2f s, exit code %d (the wrapper does not pass it on)"
                  % ((end["qpc"] - start["qpc"]) / run.frequency, end["exit"]))
    else:
        print("No payload was started.")
    if "wrapper" in run.limits:
        print("Time limit:      the wrapper %s; the rehearsal ended it."
              % ("had not ended 30 s after its payload" if end
                 else "had started no payload after %d s" % limit))
    print("Wrapper ended:   exit status %s after %.2f s" % (run.exit, run.elapsed or 0))
    if start and end:
        show_entry(prefix, run.entry_left, dump_entry(prefix, "64"))


def show_entry(prefix, left, after):
    print("Uninstall entry VuqTouchscreen, as the payload left it -> after the wrapper:")
    if left is None and after is None:
        print("  (missing in the 64-bit view, where the wrapper looks: nothing to cut)")
        if prefix.is64 and dump_entry(prefix, "32"):
            print("  It is in the 32-bit view: a 32-bit installer must write it after "
                  "SetRegView 64 (see the README).")
        return
    left, after = left or {}, after or {}
    for name in CLEANED + sorted((set(left) | set(after)) - set(CLEANED)):
        shown = [show_value(*values[name]) if name in values else "(missing)"
                 for values in (left, after)]
        print("  %-15s %s -> %s" % (name + ":", shown[0], shown[1]))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    add_job_arguments(parser)
    parser.add_argument("--args", default="", help="arguments given to VuqSetup.exe")
    parser.add_argument("--real", action="store_true",
                        help="the tests' NSIS installer as the payload, not the stand-in")
    parser.add_argument("--pinned", action="store_true",
                        help="run the build pinned to the stand-in payloads, then plant one")
    parser.add_argument("--rehearse", action="store_true",
                        help="run the payloads beside the wrapper given, which is pinned to them")
    parser.add_argument("--limit", type=int, default=120, help="seconds each rehearsal may take")
    args = parser.parse_args()
    if args.rehearse and (args.real or args.pinned):
        print("error: a rehearsal runs the payloads given: REAL=1 and PINNED=1 do not go with it",
              file=sys.stderr)
        return 1
    for arch in ("win64", "win32"):
        prefix = Prefix(args, arch)
        started = time.time()
        prefix.ensure()
        print("(prepared the %s prefix in %.0f s)" % (arch, time.time() - started))
        try:
            if args.rehearse:
                rehearse(prefix, args.args, args.limit)
                continue
            setup, typed = demo(prefix, args.args, args.real,
                                "VuqSetupPinned" if args.pinned else "VuqSetup")
            if args.pinned:
                plant(prefix, setup, typed)
        finally:
            prefix.stop()
    return 0


if __name__ == "__main__":
    sys.exit(run_main(main))

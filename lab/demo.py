"""The wrapper at work, as a user would run it: C:\\Setup holds VuqSetup.exe beside its two
payloads; it is started on a 64-bit and on a 32-bit Windows (Wine prefixes). A stand-in
payload 'installs' for a moment and leaves its uninstall entry with a Beta tag behind; with
--real, the tests' NSIS installer does, with its own values. With --pinned, a build pinned to
the two stand-in payloads runs instead; then one byte of the payload is changed, as a planted
file would be, and the wrapper is started once more."""

import argparse
import sys
import time

import os

from winelab import (Prefix, Scenario, add_job_arguments, clear_entry, dump_entry,
                     read_installer_record, registry_values, run_main, run_wrapper, set_entry,
                     text_bytes)

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


def show_value(kind, data):
    if kind in (1, 2):
        return '"%s"' % data.decode("utf-16-le", "replace").rstrip("\0")
    return "type %d, %d bytes" % (kind, len(data))


def command_line(exe, arguments):
    return '"%s"%s' % (exe, " " + arguments if arguments else "")


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
    run = run_wrapper(prefix, setup, typed, cwd=setup.folder, relay=False, payload_env=env)
    for box in run.boxes:
        print("Message box:     %r (caption %r)" % (box.text, box.caption))
    records = read_installer_record(prefix.host_path(INSTALLER_RECORD)) if real else []
    if records:
        print("The NSIS installer received: %r" % records[0][1])
        print("It went through: %s" % ", ".join(event for event, _, _ in records))
        if "installed" not in [event for event, _, _ in records]:
            print("(without a display Wine cannot create its wizard: it ended without installing)")
    elif run.payloads:
        payload = run.payloads[0]
        print("Payload started: %s" % payload["module"])
        print("It received:     %r" % payload["cmdline"])
        print("Its current dir: %s (inherited from the wrapper)" % payload["cwd"])
        if "end_qpc" in payload and run.frequency:
            ran = (payload["end_qpc"] - payload["qpc"]) / run.frequency
            print("It ran for:      %.2f s" % ran)
    else:
        print("No payload was started.")
    print("Wrapper ended:   exit status %s after %.2f s" % (run.exit, run.elapsed or 0))
    after = dump_entry(prefix, "64") or {}
    print("Uninstall entry VuqTouchscreen, as the %s -> after the wrapper:"
          % ("installer writes it" if real else "payload left it"))
    for name, kind, data in entry:
        now = after.get(name)
        shown = show_value(*now) if now else "(missing)"
        print("  %-15s %s -> %s" % (name + ":", show_value(kind, data), shown))
    return setup, typed


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
    run = run_wrapper(prefix, setup, typed, cwd=setup.folder)
    for box in run.boxes:
        print("Message box:     %r (caption %r)" % (box.text, box.caption))
    print("Payload started: %s" % ("no" if not run.payloads else run.payloads[0]["module"]))
    print("Wrapper ended:   exit status %s" % run.exit)
    untouched = dump_entry(prefix, "64") == {name: (kind, data) for name, kind, data in ENTRY}
    print("Uninstall entry: %s" % ("untouched" if untouched else "CHANGED"))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    add_job_arguments(parser)
    parser.add_argument("--args", default="", help="arguments given to VuqSetup.exe")
    parser.add_argument("--real", action="store_true",
                        help="the tests' NSIS installer as the payload, not the stand-in")
    parser.add_argument("--pinned", action="store_true",
                        help="run the build pinned to the stand-in payloads, then plant one")
    args = parser.parse_args()
    for arch in ("win64", "win32"):
        prefix = Prefix(args, arch)
        started = time.time()
        prefix.ensure()
        print("(prepared the %s prefix in %.0f s)" % (arch, time.time() - started))
        try:
            setup, typed = demo(prefix, args.args, args.real,
                                "VuqSetupPinned" if args.pinned else "VuqSetup")
            if args.pinned:
                plant(prefix, setup, typed)
        finally:
            prefix.stop()
    return 0


if __name__ == "__main__":
    sys.exit(run_main(main))

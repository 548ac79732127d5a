"""Runs the real VuqSetup.exe under Wine and observes it from outside.

A driver program starts the wrapper with an exact process command line; a fake payload
records how it was started; a registry tool reads the uninstall entry back with exact types
and bytes; message boxes are read from Wine's relay trace, or trapped by the driver when the
trace would cut their text.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

RELAY_FUNCTIONS = "user32.MessageBoxW"
PAYLOAD_NAMES = ("VuqSetup.wzq", "VuqSetup64.wzq")


STAGE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools",
                     "stage.sh")


class HarnessError(Exception):
    """A step of the Wine harness itself failed: what, and the last lines the tool printed."""

    def __init__(self, what, output=b""):
        lines = output.decode("utf-8", "replace").strip().splitlines()[-3:]
        super().__init__("\n".join([what] + ["  " + line for line in lines]))


class StageFailed(Exception):
    """A stage of set-up failed; tools/stage.sh has said which, and shown the end of its log."""


def run_tool(what, command, env, timeout):
    with tempfile.TemporaryFile() as err:
        try:
            code = subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=err,
                                  stdin=subprocess.DEVNULL, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            code = "no end after %d s" % timeout
        err.seek(0)
        if code != 0:
            raise HarnessError("%s failed (%s: exit %s); what it said last:"
                               % (what, command[0], code), err.read())


def add_job_arguments(parser):
    """The options wine-run.sh gives every script."""
    parser.add_argument("--exe", required=True, help="the VuqSetup.exe under test")
    parser.add_argument("--bin", required=True, help="folder of the helper programs")
    parser.add_argument("--prefix-root", required=True, help="where the Wine prefixes are kept")


def run_main(main):
    """Runs a script's main; a failing step of the harness ends it with a short message, not a
    traceback."""
    try:
        return main()
    except StageFailed:
        pass
    except HarnessError as error:
        print("error: %s" % error, file=sys.stderr)
    except FileNotFoundError as error:
        print("error: %s is missing: run 'sh tools/install-deps.sh wine' as root"
              % error.filename, file=sys.stderr)
    except subprocess.TimeoutExpired as error:
        print("error: %s did not end within %d s" % (error.cmd[0], error.timeout),
              file=sys.stderr)
    except subprocess.CalledProcessError as error:
        print("error: %s ended with status %d" % (" ".join(error.cmd), error.returncode),
              file=sys.stderr)
    return 1


class Prefix:
    """One Wine prefix, created once and kept; its wineserver runs while the tests do."""

    def __init__(self, args, arch):
        self.path = os.path.join(args.prefix_root, arch)
        self.arch = arch
        self.is64 = arch == "win64"
        self.bin_dir = args.bin
        self.exe = args.exe

    def env(self, extra=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith(("VUQ_", "WINE"))}
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        env.update(WINEPREFIX=self.path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        if not self.is64:
            env["WINEARCH"] = "win32"
        env.update(extra or {})
        return env

    def wine(self, args, extra_env=None, timeout=300):
        # Files, not pipes: Wine's own background processes inherit the output handles and
        # outlive the program, so a pipe would never reach its end.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run(["wine"] + args, env=self.env(extra_env), stdout=out,
                                  stderr=err, stdin=subprocess.DEVNULL, timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(args, code, out.read(), err.read())

    def ensure(self):
        # The mark is written last: a prefix whose creation was cut short is made anew.
        ready = os.path.join(self.path, "vuq-prefix-ready")
        if not os.path.exists(ready):
            shutil.rmtree(self.path, ignore_errors=True)
            os.makedirs(os.path.dirname(self.path), exist_ok=True)
            self.create()
            open(ready, "w").close()
        run_tool("starting the wineserver of " + self.path, ["wineserver", "-p"], self.env(), 60)

    def create(self):
        """A stage of set-up (tools/stage.sh): one line, wineboot's output in build/logs/."""
        in_vm = os.environ.get("VUQ_IN_VM") == "1"
        env = self.env({name: value for name, value in os.environ.items()
                        if name in ("VUQ_LOG_DIR", "VUQ_PROGRESS", "VUQ_STAGE_TAIL")})
        env["WINEARCH"] = self.arch
        stage = [STAGE, ("vm-" if in_vm else "") + "prefix-" + self.arch,
                 "creating the Wine prefix %s%s" % (self.arch, " in the VM" if in_vm else ""),
                 "1-4 min, once per machine" if in_vm else "10-20 s, once"]
        command = "timeout 1800 wine wineboot --init && timeout 600 wineserver -w"
        sys.stdout.flush()
        if subprocess.run(["sh"] + stage + ["sh", "-c", command], env=env,
                          stdin=subprocess.DEVNULL).returncode != 0:
            raise StageFailed()

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env(), timeout=60)

    def host_path(self, windows_path):
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.path, "drive_c", *windows_path[3:].split("\\"))

    def helper(self, name):
        """The wrapper under test as "VuqSetup", any other Windows program of the build by name."""
        return self.exe if name == "VuqSetup" else os.path.join(self.bin_dir, name + ".exe")


class Scenario:
    """A folder inside the prefix laid out as shipped: the wrapper beside its payloads."""

    def __init__(self, prefix, folder, exe_name="VuqSetup.exe", payloads=PAYLOAD_NAMES,
                 payload_folder=None, wrapper="VuqSetup", payload="fake_payload"):
        self.prefix = prefix
        self.folder = folder
        self.exe = folder + "\\" + exe_name
        self.log = "C:\\e2e\\logs\\" + re.sub(r"[^A-Za-z0-9]", "_", folder[7:]) + ".log"
        host = prefix.host_path(folder)
        shutil.rmtree(host, ignore_errors=True)
        os.makedirs(host)
        shutil.copy(prefix.helper(wrapper), prefix.host_path(self.exe))
        payload_host = prefix.host_path(payload_folder or folder)
        os.makedirs(payload_host, exist_ok=True)
        for name in payloads:
            # Two builds that differ, as the real payloads do: a pinned build tells them apart.
            built = payload
            if payload == "fake_payload" and name == "VuqSetup64.wzq":
                built = "fake_payload64"
            shutil.copy(prefix.helper(built), os.path.join(payload_host, name))
        log_host = prefix.host_path(self.log)
        os.makedirs(os.path.dirname(log_host), exist_ok=True)
        if os.path.exists(log_host):
            os.remove(log_host)


# The launchers start the payload here, at a path fixed when built.
LAUNCHER_FOLDER = r"C:\e2e\launcher"


def launcher_scenario(prefix):
    s = Scenario(prefix, LAUNCHER_FOLDER)
    for name in ("min_launcher", "poll_launcher", "split_launcher"):
        shutil.copy(prefix.helper(name), prefix.host_path("%s\\%s.exe" % (s.folder, name)))
    return s


class Run:
    def __init__(self, result, prefix, scenario, trapped):
        self.stdout = result.stdout.decode("utf-8", "replace")
        self.stderr = result.stderr.decode("utf-8", "replace")
        self.exit = None
        self.error = None
        self.elapsed = None
        self.trapped_boxes = []
        # Watched from outside (watch=True): the payload's start, end and the entry it left.
        self.payload_start = self.payload_end = None
        self.limits = set()  # what the time limit ended: "payload", "wrapper"
        entry = []
        started = ended = frequency = None
        for line in self.stdout.splitlines():
            fields = dict(f.split("=", 1) for f in line.split()[1:] if "=" in f)
            if line.startswith("payload "):
                self.payload_start = {"qpc": int(fields["qpc"]),
                                      "application": decode_hex_units(fields["application"]),
                                      "cmdline": decode_hex_units(fields["cmdline"])}
            elif line.startswith("payloadend "):
                self.payload_end = {"qpc": int(fields["qpc"]), "exit": int(fields["exit"])}
            elif line.startswith(("payloadlimit ", "limit ")):
                self.limits.add("payload" if line.startswith("payload") else "wrapper")
            elif line.startswith("entry "):
                entry.append(line[len("entry "):])
            elif line.startswith("started"):
                started = int(fields["qpc"])
            elif line.startswith("ended"):
                ended, frequency = int(fields["qpc"]), int(fields["frequency"])
                self.exit = int(fields["exit"])
            elif line.startswith("messagebox"):
                self.trapped_boxes.append(MessageBox(
                    int(fields["owner"], 16), decode_hex_units(fields["text"]),
                    decode_hex_units(fields["caption"]), int(fields["style"], 16)))
            elif line.startswith("error"):
                self.error = line
        if started is not None and ended is not None:
            self.elapsed = (ended - started) / frequency
        self.started_at, self.ended_at = started, ended
        self.frequency = frequency
        self.entry_left = parse_entry(entry) if entry else None
        self.boxes = self.trapped_boxes if trapped else relay_message_boxes(self.stderr)
        self.payloads = read_payload_log(prefix.host_path(scenario.log)) if scenario else []

    def describe(self):
        return "exit=%s error=%s boxes=%r payloads=%d" % (self.exit, self.error, self.boxes,
                                                          len(self.payloads))


class MessageBox(tuple):
    def __new__(cls, owner, text, caption, style):
        return tuple.__new__(cls, (owner, text, caption, style))

    owner = property(lambda self: self[0])
    text = property(lambda self: self[1])
    caption = property(lambda self: self[2])
    style = property(lambda self: self[3])


def run_wrapper(prefix, scenario, command_line, application=None, cwd=None, payload_env=None,
                trap_boxes=False, relay=False, timeout=300, watch=False, limit=None):
    """Starts the wrapper through the driver with exactly command_line as its command line.
    relay: Wine's relay trace shows the boxes (of the functions the prefix's RelayInclude names,
    RELAY_FUNCTIONS); watch: the driver watches the payload from outside, which traps the boxes;
    limit: seconds the run may take before the driver ends it."""
    log = prefix.host_path(scenario.log)
    if os.path.exists(log):
        os.remove(log)
    env = {
        "VUQ_DRIVER_APP": application or scenario.exe,
        "VUQ_DRIVER_CMDLINE_HEX": command_line.encode("utf-16-le").hex(),
        "VUQ_PAYLOAD_LOG": scenario.log,
    }
    if cwd:
        os.makedirs(prefix.host_path(cwd), exist_ok=True)
        env["VUQ_DRIVER_CWD"] = cwd
    if trap_boxes:
        env["VUQ_DRIVER_TRAP_BOXES"] = "1"
    if watch:
        env["VUQ_DRIVER_WATCH"] = "1"
        trap_boxes = True
    if limit:
        env["VUQ_DRIVER_LIMIT_MS"] = str(int(limit * 1000))
    env["WINEDEBUG"] = "-all" + (",+relay" if relay else "")
    env.update(payload_env or {})
    result = prefix.wine([prefix.helper("driver")], env, timeout=timeout)
    return Run(result, prefix, scenario, trap_boxes)


def unix_pid(prefix, windows_path):
    """The Unix process of a running Windows program: Wine puts its Windows path in argv[0].
    The prefix tells it from a program of the same path in another prefix."""
    wanted = windows_path.lower().encode()
    in_prefix = ("WINEPREFIX=" + prefix.path).encode()
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if f.read().split(b"\0")[0].lower() != wanted:
                    continue
            with open("/proc/%s/environ" % entry, "rb") as f:
                if in_prefix in f.read().split(b"\0"):
                    return int(entry)
        except OSError:  # it has just ended
            pass
    return None


def process_usage(pid):
    """(CPU seconds so far, user and system, all threads; peak resident kB) of a Unix process.
    GetProcessTimes on another process gives Wine's dummy values; the kernel's are real."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    with open("/proc/%d/status" % pid) as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK"), peak


class Usage:
    def __init__(self, cpu, window, peak_kb):
        self.cpu, self.window, self.peak_kb = cpu, window, peak_kb


def _payload_log_text(path):
    try:
        with open(path, encoding="ascii") as log:
            return log.read()
    except OSError:
        return ""


def run_watched(prefix, scenario, command_line, watched, payload_env, application=None):
    """run_wrapper, while the Unix process of the Windows program `watched` is sampled for as
    long as the payload runs: between a sample taken after the payload's start record appeared
    and one taken before its end record did. Returns the run and a Usage (CPU seconds and
    seconds between those samples, peak kB at the last), or None when it was never sampled."""
    log = prefix.host_path(scenario.log)
    if os.path.exists(log):
        os.remove(log)
    runs = []
    thread = threading.Thread(target=lambda: runs.append(run_wrapper(
        prefix, scenario, command_line, application=application, payload_env=payload_env,
        relay=False)))
    thread.start()
    pid = first = last = None
    while thread.is_alive():
        before = _payload_log_text(log)
        pid = pid or (unix_pid(prefix, watched) if "start" in before else None)
        try:
            sample = (time.monotonic(),) + process_usage(pid) if pid else None
        except (OSError, StopIteration):
            sample = None
        if sample and "start" in before and "end" not in _payload_log_text(log):
            first, last = first or sample, sample
        time.sleep(0.05)
    thread.join()
    usage = Usage(last[1] - first[1], last[0] - first[0], last[2]) if first else None
    return runs[0], usage


def decode_hex_units(text):
    return bytes.fromhex(text).decode("utf-16-le", "surrogatepass")


def read_payload_log(path):
    """One record per payload start: its module path, current directory and command line."""
    records = []
    if not os.path.exists(path):
        return records
    with open(path, encoding="ascii") as log:
        for line in log:
            kind, *fields = line.split()
            fields = dict(f.split("=", 1) for f in fields)
            if kind == "start":
                records.append({
                    "qpc": int(fields["qpc"]),
                    "build": fields["build"],
                    "module": decode_hex_units(fields["module"]),
                    "cwd": decode_hex_units(fields["cwd"]),
                    "cmdline": decode_hex_units(fields["cmdline"]),
                })
            elif kind == "end" and records:
                records[-1]["end_qpc"] = int(fields["qpc"])
                records[-1]["registry"] = fields["registry"]
    return records


def read_installer_record(path):
    """What the NSIS payload appended: (event, command line, parameters) per record."""
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        lines = f.read().decode("utf-16-le").split("\n")
    return [(lines[i], lines[i + 1][len("cmdline="):], lines[i + 2][len("parameters="):])
            for i in range(0, len(lines) - 3, 3)]


_RELAY_STRING = r'(?:[0-9a-f]+ L"((?:[^"\\]|\\.)*)"|([0-9a-f]+))'
_RELAY_BOX = re.compile(r"Call user32\.MessageBoxW\(([0-9a-f]+)," + _RELAY_STRING + ","
                        + _RELAY_STRING + r",([0-9a-f]+)\)")


def unescape_wine_string(text):
    """Undoes Wine's debugstr_w escaping: \\n, \\t, \\\\, \\" and \\xxxx for other units."""
    out, i = [], 0
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"', "a": "\a", "b": "\b",
              "f": "\f", "v": "\v", "e": "\x1b"}
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            if text[i + 1] in simple:
                out.append(simple[text[i + 1]])
                i += 2
                continue
            if text[i + 1] == "x":
                j = i + 2
                while j < len(text) and j < i + 6 and text[j] in "0123456789abcdefABCDEF":
                    j += 1
                out.append(chr(int(text[i + 2:j], 16)))
                i = j
                continue
            if text[i + 1] in "0123456789abcdef":
                out.append(chr(int(text[i + 1:i + 5], 16)))
                i += 5
                continue
        out.append(text[i])
        i += 1
    return "".join(out)


def relay_message_boxes(trace):
    boxes = []
    for match in _RELAY_BOX.finditer(trace):
        text = unescape_wine_string(match.group(2)) if match.group(2) is not None else None
        caption = unescape_wine_string(match.group(4)) if match.group(4) is not None else None
        boxes.append(MessageBox(int(match.group(1), 16), text, caption,
                                int(match.group(6), 16)))
    return boxes


def clear_entry(prefix):
    prefix.wine([prefix.helper("regtool"), "clear"]).check_returncode()


def set_entry(prefix, values):
    if values:
        prefix.wine([prefix.helper("regtool"), "set", registry_values(values)]).check_returncode()


def registry_values(values):
    """values: (view, name, type, bytes) tuples, as the fake payload and regtool take them."""
    return ";".join("%s,%s,%d,%s" % (view, name, kind, data.hex())
                    for view, name, kind, data in values)


def dump_entry(prefix, view):
    """The entry's values in one view: {name: (type, bytes)}, or None when it is missing."""
    out = prefix.wine([prefix.helper("regtool"), "dump", view]).stdout.decode("ascii")
    return parse_entry(out.splitlines())


def parse_entry(lines):
    """regtool's dump: {name: (type, bytes)}, or None for "missing"."""
    if [line.strip() for line in lines] == ["missing"]:
        return None
    values = {}
    for line in lines:
        name, kind, data = line.split("\t")
        values[decode_hex_units(name)] = (int(kind), bytes.fromhex(data))
    return values


def text_bytes(text, terminated=True):
    return (text + ("\0" if terminated else "")).encode("utf-16-le")


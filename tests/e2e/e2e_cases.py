"""The end-to-end cases that only Wine can show, which run here beside the runner: Wine's relay
trace as a second observer of the boxes the runner traps, and the CPU time of the wrapper's own
process read from Linux's /proc. Every other case is data, in cases.txt, which the runner runs;
its cases name these two as Wine's own."""

from winelab import Scenario, launcher_scenario, run_watched, run_wrapper

WINE_CASES = {}
SETUP = "VUQ Setup"


def wine_case(name):
    def register(function):
        WINE_CASES[name] = function
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


@wine_case("trapped message box agrees with the relay trace")
def relay_trace_box(p, c):
    renamed = Scenario(p, r"C:\e2e\trapped", "Setup.exe")
    run = run_wrapper(p, renamed, '"%s"' % renamed.exe, relay=True)
    c.equal(run.error, None, "driver error")
    c.equal(run.exit, 1, "wrapper exit status")
    c.equal(run.boxes, [(0, "SearchExeName failed", SETUP, 0x10)],
            "message boxes in the relay trace (owner, text, caption, style)")
    c.equal(len(run.payloads), 0, "payload starts")


@wine_case("the wrapper blocks while its payload runs: under 200 ms CPU in 3 s")
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


# Windows refuses to start a program whose manifest it cannot use; Wine starts it anyway and says
# why on these channels (a dependency it cannot find, or XML it cannot parse, is a fixme). The
# builds with a manifest run in the data's typical case, whose failures these join.
ACTCTX_CHANNELS = ",err+actctx,fixme+actctx"
MANIFEST_CASE = "typical run: payload for this system, /NoReset, wrapper's current directory; " \
    "pinned too"


def activation_context_reports(stderr):
    return ["activation-context report: " + line for line in stderr.splitlines()
            if ":actctx:" in line]

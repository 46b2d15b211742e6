#!/usr/bin/env python3
"""Times the installation of a large package by KRVLUP.EXE under Wine against
the platform's own copy of the same file, on the same machine in one run.

    bench.py --windows-dir DIR --flushcopy EXE --work DIR [--size-mib N] [--runs N]
             [--diagnose] [--keep]

Contenders, alternated in every round (the order turns from round to round):
  updater        KRVLUP.EXE installs the package: the confirmation box answered
                 Yes, the done box OK (by the end-to-end tests' box pilot);
                 timed from start to exit
  flushcopy      CopyFileA of the package under Wine, then FlushFileBuffers on
                 the copy (the updater flushes its copy too)
  copyfile       CopyFileA alone
  cp             cp on the Linux side
Before every timed run the previous copies are deleted and the file system
synced, untimed, so that no contender pays for another's write-back. The
package stays in the page cache for all of them (it is read once first).

Peak memory is the peak resident set size of the wine process that runs the
program (for cp: of cp), as /usr/bin/time reports it (%M, the "Maximum
resident set size" of `time -v`: the child's ru_maxrss from wait4).

Every contender has two warm-up runs, not counted, before the rounds. The
updater's run is also split at its boxes: start to the confirmation box
found, pressing Yes, Yes to the done box found (the installation), the done
box to exit.

With --diagnose (and by itself when the updater takes more than 1.2 times as
long as flushcopy), it also times where the updater's time could go: the
Wine start, the box pilot's own time to find and read a box, and the
updater's way of copying (a ReadFile/WriteFile loop of 16 KiB) with and
without the flush, and with larger chunks.

Python 3 standard library only; uses tests/e2e/rig.py for the display, the
prefix and the box pilot.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import e2e  # noqa: E402  (texts of the boxes)
import rig as rigmod  # noqa: E402
from rig import IDOK, IDYES, RigError  # noqa: E402

PACKAGE = "KRVLUP.TGP"
UPDATER = "KRVLUP.EXE"
RSS_DIR = None  # set in main: where /usr/bin/time leaves its figures


class BenchError(Exception):
    pass


def log(message):
    print("[bench] " + message, flush=True)


class Layout:
    """C:\\bench: Update\\ (the updater and the package), Games\\Korvalinth\\
    (the installed game, its DATA folder empty), the registry value."""

    def __init__(self, rig, windows_dir, size):
        self.rig = rig
        self.root = "C:\\bench"
        self.update = self.root + "\\Update"
        self.games = self.root + "\\Games"
        self.game = self.games + "\\Korvalinth"
        self.data = self.game + "\\DATA"
        self.unix_root = rig.unix_path(self.root)
        if os.path.exists(self.unix_root):
            shutil.rmtree(self.unix_root)
        os.makedirs(rig.unix_path(self.update))
        os.makedirs(rig.unix_path(self.data))
        shutil.copyfile(os.path.join(windows_dir, UPDATER), rig.unix_path(self.update + "\\" + UPDATER))
        with open(rig.unix_path(self.game + "\\" + e2e.GAME_EXE), "wb") as f:
            f.write(b"MZ game")
        rig.set_install_dir(self.games)
        self.package = self.update + "\\" + PACKAGE
        self.size = size
        log("writing a package of %d bytes" % size)
        with open(rig.unix_path(self.package), "wb") as f:
            left = size
            while left:
                block = os.urandom(min(left, 16 << 20))
                f.write(block)
                left -= len(block)
        os.sync()
        # Read once, so that every contender reads it from the page cache.
        with open(rig.unix_path(self.package), "rb") as f:
            while f.read(16 << 20):
                pass

    def target(self, name):
        return self.data + "\\" + name

    def clear(self):
        """Deletes every copy made so far and syncs, untimed."""
        data = self.rig.unix_path(self.data)
        for name in os.listdir(data):
            os.remove(os.path.join(data, name))
        game = self.rig.unix_path(self.game)
        for name in os.listdir(game):
            if name.upper().startswith("_TG"):
                os.remove(os.path.join(game, name))
        os.sync()

    def check_copy(self, name):
        path = self.rig.unix_path(self.target(name))
        if not os.path.exists(path) or os.path.getsize(path) != self.size:
            raise BenchError("%s was not copied whole" % name)


def spawn(args, env=None, cwd=None):
    """Starts args under /usr/bin/time, which reports the peak RSS of its
    child. Measured from here, a direct child of this Python process would
    carry Python's own peak (a child's address space starts as a copy of its
    parent's). Returns (process, start time, file of the RSS figure)."""
    rss_file = os.path.join(RSS_DIR, "rss-%d" % time.monotonic_ns())
    started = time.monotonic()
    proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", rss_file] + args, env=env, cwd=cwd,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return proc, started, rss_file


def wait_timed(spawned):
    """Waits for a spawned process; returns (exit code, seconds since its
    start, peak RSS in KiB)."""
    proc, started, rss_file = spawned
    code = proc.wait()
    elapsed = time.monotonic() - started
    with open(rss_file) as f:
        lines = f.read().split()
    os.remove(rss_file)
    # time puts "Command exited with non-zero status N" before the figure.
    return code, elapsed, int(lines[-1])


def run_wine(rig, args, cwd=None):
    return wait_timed(spawn(["wine"] + args, env=rig.env, cwd=cwd))


def peak_rss_now(time_pid):
    """VmHWM in KiB of the process that /usr/bin/time started, read from
    /proc while it runs (a cross-check of time's figure); 0 if unreadable."""
    try:
        with open("/proc/%d/task/%d/children" % (time_pid, time_pid)) as f:
            child = int(f.read().split()[0])
        with open("/proc/%d/status" % child) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, IndexError, ValueError):
        pass
    return 0


def find_box(rig, expected_text, timeout):
    code, out = rig.pilot("find", str(int(timeout * 1000)), UPDATER, timeout=timeout + 60)
    reports = rigmod._parse_report(out)
    if code != 0 or not reports:
        raise BenchError("no box of the updater within %d s" % timeout)
    box = rigmod.Box(rig, reports[0])
    if box.text != expected_text.encode("cp932"):
        raise BenchError("unexpected box: " + box.describe())
    return box


def run_updater(layout, time_pilot=False):
    """One installation; returns the times and the peak RSS. With
    time_pilot, also times how long the box pilot takes to find and read a
    box that is already up (the done box, a second time)."""
    rig = layout.rig
    exe = rig.unix_path(layout.update + "\\" + UPDATER)
    spawned = spawn(["wine", exe], env=rig.env, cwd=os.path.dirname(exe))
    proc, started, _ = spawned
    try:
        confirm = find_box(rig, e2e.CONFIRM_TEXT % (layout.game, e2e.PRODUCT), 120)
        confirm_seen = time.monotonic()
        confirm.press(IDYES)
        yes_pressed = time.monotonic()
        done = find_box(rig, e2e.DONE_TEXT, 900)
        done_seen = time.monotonic()
        hwm = peak_rss_now(proc.pid)
        pilot_read = 0.0
        if time_pilot:
            again = time.monotonic()
            done = find_box(rig, e2e.DONE_TEXT, 60)
            pilot_read = time.monotonic() - again
        done.press(IDOK)
    except Exception:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        raise
    code, elapsed, rss = wait_timed(spawned)
    if code != 0:
        raise BenchError("the updater ended with exit code %d" % code)
    layout.check_copy(PACKAGE)
    return {"total": elapsed, "to_confirm": confirm_seen - started, "answer_yes": yes_pressed - confirm_seen,
            "install": done_seen - yes_pressed, "after_done": elapsed - (done_seen - started), "rss": rss,
            "hwm_at_done": hwm, "pilot_read": pilot_read}


def run_flushcopy(layout, flushcopy, name, options):
    rig = layout.rig
    code, elapsed, rss = run_wine(rig, [flushcopy] + options + [layout.package, layout.target(name)])
    if code != 0:
        raise BenchError("flushcopy %s ended with exit code %d" % (" ".join(options), code))
    layout.check_copy(name)
    return {"total": elapsed, "rss": rss}


def run_cp(layout):
    rig = layout.rig
    code, elapsed, rss = wait_timed(spawn(["cp", rig.unix_path(layout.package),
                                           rig.unix_path(layout.target("cp.TGP"))]))
    if code != 0:
        raise BenchError("cp ended with exit code %d" % code)
    layout.check_copy("cp.TGP")
    return {"total": elapsed, "rss": rss}


def phases(result):
    if "install" not in result:
        return ""
    return " (to confirmation %.2f, Yes %.2f, installation %.2f, to exit %.2f)" % (
        result["to_confirm"], result["answer_yes"], result["install"], result["after_done"])


def rounds(layout, contenders, runs, warm_up=False):
    """Runs every contender `runs` times, alternating, after two uncounted
    warm-up rounds when asked; returns name -> list of results."""
    results = {name: [] for name, _ in contenders}
    # The first runs of a fresh prefix start slowly (Wine loading the GUI
    # and shell libraries for the first time): two of each are not counted.
    for _ in range(2 if warm_up else 0):
        for name, run in contenders:
            layout.clear()
            result = run()
            log("warm-up %-20s %7.2f s%s (not counted)" % (name, result["total"], phases(result)))
    for r in range(runs):
        order = contenders[r % len(contenders):] + contenders[:r % len(contenders)]
        for name, run in order:
            layout.clear()
            result = run()
            results[name].append(result)
            log("round %d %-22s %7.2f s%s" % (r + 1, name, result["total"], phases(result)))
    layout.clear()
    return results


def median(results, key="total"):
    return statistics.median(r[key] for r in results)


def report(results, baseline):
    print()
    print("%-22s %9s %9s %9s %10s %12s" % ("contender", "median s", "min s", "max s", "vs " + baseline,
                                          "peak RSS KiB"))
    base = median(results[baseline])
    for name, runs in results.items():
        totals = [r["total"] for r in runs]
        print("%-22s %9.2f %9.2f %9.2f %10.2f %12d" % (name, median(runs), min(totals), max(totals),
                                                     median(runs) / base, max(r["rss"] for r in runs)))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--windows-dir", required=True, help="folder with KRVLUP.EXE and boxpilot.exe")
    parser.add_argument("--flushcopy", required=True, help="flushcopy.exe")
    parser.add_argument("--work", required=True, help="folder for the rig (prefix, display)")
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--diagnose", action="store_true", help="always time where the updater's time goes")
    parser.add_argument("--keep", action="store_true", help="keep the package in the prefix afterwards")
    args = parser.parse_args(argv[1:])

    windows_dir = os.path.abspath(args.windows_dir)
    work = os.path.abspath(args.work)
    exe = os.path.join(windows_dir, UPDATER)
    global RSS_DIR
    RSS_DIR = work
    os.makedirs(work, exist_ok=True)
    print("executable: %s, %d bytes" % (exe, os.path.getsize(exe)))
    rigmod.setup(work, windows_dir)
    layout = None
    try:
        rig = rigmod.Rig(work)
        # flushcopy runs from inside the prefix, like the updater.
        tool = rig.unix_path("C:\\bench-tools\\flushcopy.exe")
        os.makedirs(os.path.dirname(tool), exist_ok=True)
        shutil.copyfile(args.flushcopy, tool)
        layout = Layout(rig, windows_dir, args.size_mib << 20)
        print("package: %d bytes (%d MiB), %d runs of each contender" % (layout.size, args.size_mib, args.runs))

        contenders = [
            ("updater", lambda: run_updater(layout)),
            ("flushcopy", lambda: run_flushcopy(layout, tool, "flushcopy.TGP", [])),
            ("copyfile", lambda: run_flushcopy(layout, tool, "copyfile.TGP", ["--no-flush"])),
            ("cp", lambda: run_cp(layout)),
        ]
        results = rounds(layout, contenders, args.runs, warm_up=True)
        report(results, "flushcopy")
        ratio = median(results["updater"]) / median(results["flushcopy"])
        u = results["updater"]
        print()
        print("updater phases (medians): start to confirmation box found %.2f s, pressing Yes %.2f s, "
              "Yes to done box found %.2f s, done box to exit %.2f s"
              % (median(u, "to_confirm"), median(u, "answer_yes"), median(u, "install"), median(u, "after_done")))
        print("updater peak RSS while its done box is up (VmHWM from /proc): max %d KiB"
              % max(r["hwm_at_done"] for r in u))
        print("updater / flushcopy = %.2f (limit 1.2)" % ratio)

        if args.diagnose or ratio > 1.2:
            print()
            print("where the time goes:")
            starts = [run_wine(rig, [tool])[1] for _ in range(args.runs)]
            print("  wine start and exit of a tool that ends at once: median %.2f s" % statistics.median(starts))
            reads = []
            for _ in range(args.runs):
                layout.clear()
                reads.append(run_updater(layout, time_pilot=True)["pilot_read"])
            layout.clear()
            print("  box pilot finding and reading a box already up: median %.2f s (twice per updater run)"
                  % statistics.median(reads))
            diag = [
                ("chunks 16 KiB + flush", ["--chunk", "16384"]),
                ("chunks 16 KiB, no flush", ["--chunk", "16384", "--no-flush"]),
                ("chunks 64 KiB + flush", ["--chunk", "65536"]),
                ("chunks 1 MiB + flush", ["--chunk", "1048576"]),
            ]
            more = [(name, (lambda o=options: run_flushcopy(layout, tool, "diag.TGP", o))) for name, options in diag]
            more.append(("flushcopy", lambda: run_flushcopy(layout, tool, "flushcopy.TGP", [])))
            report(rounds(layout, more, args.runs), "flushcopy")
    except (BenchError, RigError) as e:
        print("BENCH ERROR: %s" % e)
        return 1
    finally:
        if layout is not None and not args.keep:
            shutil.rmtree(layout.unix_root, ignore_errors=True)
        rigmod.teardown(work)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

"""Crash safety of the installation under Wine: KRVLUP.EXE is killed
(SIGKILL of its Wine process) at random moments while it installs a large
package over an older one, round after round. After every kill the target
must be the old file or the whole new one, and at most one temporary file
may be left behind.

The kill moments are drawn from a seeded generator, one in each of `rounds`
equal slices: two thirds of them while the data is copied (at a share of the
package, watched in the temporary file's size), one third after the last
byte was written, around the move (timed from a calibration run). The seed
is printed, and --seed repeats a run's moments.
"""

import os
import random
import signal
import time

from e2e import (IDYES, PACKAGE, Machine, expect_confirmation, expect_done, expect_installed,
                 temp_files)
from rig import CaseFailure, file_digest

OLD_SIZE = 1 << 20
WATCH_TIMEOUT = 60.0


def _log(message):
    print("[crash] " + message, flush=True)


def _write_random(path, size):
    with open(path, "wb") as f:
        left = size
        while left:
            piece = min(left, 8 << 20)
            f.write(os.urandom(piece))
            left -= piece


def _updater_pid(updater):
    """The pid of the updater's own Wine process: the `wine` command that the
    rig started has become the Windows process, whose command line is the
    executable's path."""
    pid = updater.proc.pid
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            cmdline = f.read()
    except OSError:
        cmdline = b""
    if b"KRVLUP.EXE" not in cmdline.upper():
        raise CaseFailure("process %d is not the updater: %r" % (pid, cmdline))
    return pid


class Watch:
    """What the installation has done so far, seen from outside: polled from
    the moment Yes was pressed, every half millisecond."""

    def __init__(self, temp, target, package_size):
        self.temp = temp
        self.target = target
        self.package_size = package_size
        self.old_inode = os.stat(target).st_ino
        self.start = time.monotonic()
        self.elapsed = 0.0
        self.temp_size = None  # None while no temporary file is there
        self.full_at = None    # when the temporary file held the whole package
        self.moved_at = None   # when the target became another file

    def poll(self):
        self.elapsed = time.monotonic() - self.start
        try:
            self.temp_size = os.stat(self.temp).st_size
        except FileNotFoundError:
            self.temp_size = None
        if self.full_at is None and (self.temp_size or 0) >= self.package_size:
            self.full_at = self.elapsed
        if self.moved_at is None:
            try:
                if os.stat(self.target).st_ino != self.old_inode:
                    self.moved_at = self.elapsed
            except FileNotFoundError:
                pass

    def until(self, done):
        while True:
            self.poll()
            if done(self) or self.elapsed > WATCH_TIMEOUT:
                return
            time.sleep(0.0005)


def _calibrate(rig, machine, temp, target, package_size):
    """One whole installation, watched: returns the times after Yes at which
    the temporary file held the whole package and at which the target was
    replaced."""
    updater = rig.start_updater(machine.update_folder)
    pressed = expect_confirmation(updater, machine.game_folder).click(IDYES)
    watch = Watch(temp, target, package_size)
    watch.until(lambda w: w.moved_at is not None)
    pressed()
    if watch.moved_at is None:
        raise CaseFailure("the target was not replaced within %.0f s" % WATCH_TIMEOUT)
    expect_done(updater)
    updater.expect_exit(0)
    expect_installed(machine, machine.game_folder)
    full_at = watch.full_at if watch.full_at is not None else watch.moved_at
    return full_at, watch.moved_at


# The phases of an installation in which kills come, with their share of the
# rounds.
COPY, TAIL, AFTER = "during the copy", "aimed between the last byte and the move", "after the move"
AFTER_MOVE_WINDOW = 0.05  # seconds after the move in which the AFTER kills come


def _moments(rng, rounds, tail):
    """(phase, value) for every round, one in each of `rounds` equal slices
    of [0, 1.5), shuffled: below 1 the share of the package copied when the
    kill comes; [1, 1.25) a time after the last byte written, up to one and a
    half calibrated tails (so that the move may come before or after it);
    [1.25, 1.5) a time after the move."""
    moments = []
    for i in range(rounds):
        u = 1.5 * (i + rng.random()) / rounds
        if u < 1:
            moments.append((COPY, u))
        elif u < 1.25:
            moments.append((TAIL, (u - 1) / 0.25 * 1.5 * tail))
        else:
            moments.append((AFTER, (u - 1.25) / 0.25 * AFTER_MOVE_WINDOW))
    rng.shuffle(moments)
    return moments


def _kill_at(watch, phase, value):
    """Polls until the moment comes; returns how to tell it."""
    if phase == COPY:
        threshold = int(value * watch.package_size)
        watch.until(lambda w: w.moved_at is not None or (w.temp_size or 0) >= threshold)
        if watch.moved_at is not None:
            return "aimed at %.0f%% of the copy, came after the move" % (value * 100)
        return "at %3.0f%% of the copy" % (watch.temp_size * 100.0 / watch.package_size)
    if phase == TAIL:
        watch.until(lambda w: w.moved_at is not None and w.full_at is None or
                    w.full_at is not None and w.elapsed >= w.full_at + value)
        return "%5.1f ms after the last byte" % (value * 1000)
    watch.until(lambda w: w.moved_at is not None and w.elapsed >= w.moved_at + value)
    return "%5.1f ms after the move" % (value * 1000)


def run(rig, windows_dir, rounds, seed, package_mib):
    if seed is None:
        seed = random.SystemRandom().randrange(1 << 32)
    rng = random.Random(seed)
    _log("seed %d (repeat with --seed %d), %d rounds, package %d MiB"
         % (seed, seed, rounds, package_mib))

    machine = Machine(rig, "crash", windows_dir)
    source = rig.unix_path(machine.package)
    package_size = package_mib << 20
    _write_random(source, package_size)
    new_digest = file_digest(source)
    machine.add_installed_game()
    folder = rig.unix_path(machine.game_folder)
    target = rig.unix_path(machine.game_folder + "\\DATA\\" + PACKAGE)
    temp = os.path.join(folder, "_TG00000.$$$")
    rig.set_install_dir(machine.games)

    def lay_old_target():
        os.remove(target)
        _write_random(target, OLD_SIZE)
        return file_digest(target)

    lay_old_target()
    full_at, moved_at = _calibrate(rig, machine, temp, target, package_size)
    # From the last byte written to the move: flush, time stamps, closing,
    # the move itself.
    tail = moved_at - full_at
    _log("calibration: whole package in the temporary file %.3f s after Yes, target replaced "
         "%.1f ms later" % (full_at, tail * 1000))

    outcomes = {}  # (phase, "old"/"new") -> count
    started = time.monotonic()
    for number, (phase, value) in enumerate(_moments(rng, rounds, tail), 1):
        old_digest = lay_old_target()
        updater = rig.start_updater(machine.update_folder)
        box = expect_confirmation(updater, machine.game_folder, quiet=True)
        pid = _updater_pid(updater)
        pressed = box.click(IDYES)
        watch = Watch(temp, target, package_size)
        moment = _kill_at(watch, phase, value)
        os.kill(pid, signal.SIGKILL)
        updater.proc.wait(timeout=30)
        pressed()
        where = "round %d, killed %s" % (number, moment)
        if watch.elapsed > WATCH_TIMEOUT:
            raise CaseFailure(where + ": the moment did not come within %.0f s" % WATCH_TIMEOUT)

        if not os.path.exists(target):
            raise CaseFailure(where + ": the target is missing")
        digest = file_digest(target)
        outcome = {old_digest: "old", new_digest: "new"}.get(digest)
        if outcome is None:
            raise CaseFailure(where + ": the target is neither the old file nor the whole new "
                              "one (%d bytes)" % os.path.getsize(target))
        left = temp_files(folder)
        _log("round %2d: killed %s, %.3f s after Yes: target %s, %d temporary file(s) left"
             % (number, moment, watch.elapsed, outcome, len(left)))
        # Before the move the temporary file is there and the old target
        # untouched; after it the new file stands whole in its place.
        if (outcome, len(left)) not in (("old", 1), ("new", 0)):
            raise CaseFailure(where + ": target %s with %d temporary file(s) left: %s"
                              % (outcome, len(left), left))
        outcomes[phase, outcome] = outcomes.get((phase, outcome), 0) + 1
        for name in left:
            os.remove(os.path.join(folder, name))
        rig.end_processes()

    old = sum(n for (_, o), n in outcomes.items() if o == "old")
    new = sum(n for (_, o), n in outcomes.items() if o == "new")
    _log("%d kills in %.0f s: %d before the move (old file kept, one temporary file left), "
         "%d after it (new file whole, none left)"
         % (rounds, time.monotonic() - started, old, new))
    for phase in (COPY, TAIL, AFTER):
        _log("  %-42s old %2d, new %2d" % (phase + ":", outcomes.get((phase, "old"), 0),
                                            outcomes.get((phase, "new"), 0)))
    if file_digest(source) != new_digest:
        raise CaseFailure("the package beside the updater changed")
    machine.remove()

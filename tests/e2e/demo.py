#!/usr/bin/env python3
"""The demo: KRVLUP.EXE updates the game on a demo machine under Wine.

    demo.py --out DIR --windows-dir DIR [--auto]

The demo machine lives in DIR: a Wine prefix with the Japanese locale
(DIR/prefix), whose drive D: is DIR/machine, holding the updater's folder
D:\\Update (KRVLUP.EXE and a sample KRVLUP.TGP) and the installed game
D:\\Games\\Korvalinth (KORVAL.EXE and an older DATA\\KRVLUP.TGP); the registry
value HKCU\\Software\\Quenmoor\\Korvalinth\\InstallDir is D:\\Games.

With a usable DISPLAY the updater's boxes come up there and you answer them.
Without one, or with --auto, the updater runs on a virtual display (Xvfb),
the demo answers every box itself (Yes, then OK), and saves a picture of
each one as DIR/box-N.png. Either way it tells at the end whether the package
was installed and matches its source.
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import time

import rig as rigmod
from rig import IDOK, IDYES, CaseFailure, RigError, file_digest

UPDATE_FOLDER = "D:\\Update"
GAMES = "D:\\Games"
GAME_FOLDER = GAMES + "\\Korvalinth"
PACKAGE = "KRVLUP.TGP"
PACKAGE_SIZE = 320 * 1024
BUTTONS = {1: "OK", 2: "Cancel", 3: "Abort", 4: "Retry", 5: "Ignore", 6: "Yes", 7: "No"}
ICONS = {"error": "error icon", "warning": "warning icon", "question": "question icon",
         "information": "information icon"}


def say(message=""):
    print("[demo] " + message if message else "", flush=True)


def shown(path):
    """A path as the user reads it: relative to the current folder when below it."""
    relative = os.path.relpath(path)
    return path if relative.startswith("..") else relative


def usable_display(display):
    if not display:
        return False
    try:
        return subprocess.run(["xdpyinfo", "-display", display], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def sample_package():
    """A few hundred KiB of generated data, the same on every run."""
    header = b"KRVLUP.TGP - sample update package of the Korvalinth updater demo\r\n"
    return header + random.Random(20240).randbytes(PACKAGE_SIZE - len(header))


def lay_out_machine(rig, out, windows_dir):
    machine = os.path.join(out, "machine")
    if os.path.exists(machine):
        shutil.rmtree(machine)
    os.makedirs(machine)
    drive = os.path.join(rig.prefix, "dosdevices", "d:")
    if os.path.lexists(drive):
        os.remove(drive)
    os.symlink(machine, drive)

    def write(windows_path, data, mtime=None):
        path = rig.unix_path(windows_path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        if mtime is not None:
            os.utime(path, (mtime, mtime))

    os.makedirs(rig.unix_path(UPDATE_FOLDER))
    shutil.copyfile(os.path.join(windows_dir, rigmod.UPDATER),
                    rig.unix_path(UPDATE_FOLDER + "\\" + rigmod.UPDATER))
    write(UPDATE_FOLDER + "\\" + PACKAGE, sample_package())
    write(GAME_FOLDER + "\\KORVAL.EXE", b"MZ stand-in for the game's executable\r\n")
    write(GAME_FOLDER + "\\DATA\\" + PACKAGE, b"KRVLUP.TGP - an older package\r\n" * 100,
          mtime=time.time() - 90 * 86400)
    rig.set_install_dir(GAMES)
    say("demo machine in %s: drive D: is %s" % (shown(out), shown(machine)))
    say("  D:\\Update\\            KRVLUP.EXE and KRVLUP.TGP (%d bytes)" % PACKAGE_SIZE)
    say("  D:\\Games\\Korvalinth\\  KORVAL.EXE and an older DATA\\KRVLUP.TGP")
    say("  registry: HKCU\\Software\\Quenmoor\\Korvalinth  InstallDir = D:\\Games")


def next_box(rig, updater, timeout=60):
    """The updater's next box, or None once it has ended."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        code, out = rig.pilot("find", "1000", rigmod.UPDATER, timeout=40)
        reports = rigmod._parse_report(out)
        if code == 0 and reports:
            return rigmod.Box(rig, reports[0])
        if updater.proc.poll() is not None:
            return None
    raise RigError("the updater showed no box and did not end within %d s" % timeout)


def answer_boxes(rig, updater, out):
    number = 0
    while True:
        box = next_box(rig, updater)
        if box is None:
            break
        number += 1
        if number > 10:
            raise RigError("more boxes than a run shows")
        picture = os.path.join(out, "box-%d.png" % number)
        rig.screenshot(picture, box.rect)
        answer = IDYES if IDYES in box.buttons else IDOK if IDOK in box.buttons else box.default
        buttons = "/".join(BUTTONS.get(b, str(b)) for b in box.buttons)
        say()
        say("box %d: 「%s」, %s, %s (default %s)"
            % (number, box.caption.decode("cp932"), ICONS.get(box.icon, box.icon + " icon"),
               buttons, BUTTONS.get(box.default, "none")))
        for line in box.text.decode("cp932").strip("\n").split("\n"):
            print("         " + line if line else "", flush=True)
        say("  answered %s; picture: %s" % (BUTTONS.get(answer, answer), shown(picture)))
        box.press(answer)
    updater.proc.wait(timeout=20)


def report(rig):
    source = rig.unix_path(UPDATE_FOLDER + "\\" + PACKAGE)
    target = rig.unix_path(GAME_FOLDER + "\\DATA\\" + PACKAGE)
    say()
    if file_digest(target) == file_digest(source):
        say("installed: %s\\DATA\\%s" % (GAME_FOLDER, PACKAGE))
        say("  = %s" % shown(os.path.realpath(target)))
        say("  matches its source byte for byte: SHA-256 %s" % file_digest(target))
        return True
    say("the package was not installed: %s\\DATA\\%s is still the older file" % (GAME_FOLDER, PACKAGE))
    return False


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True, help="the demo machine's folder")
    parser.add_argument("--windows-dir", required=True, help="the Windows build folder")
    parser.add_argument("--auto", action="store_true",
                        help="answer the boxes on a virtual display, even with a DISPLAY")
    args = parser.parse_args(argv[1:])
    out = os.path.abspath(args.out)
    windows_dir = os.path.abspath(args.windows_dir)
    display = os.environ.get("DISPLAY")
    interactive = not args.auto and usable_display(display)

    rigmod.QUIET = True
    for old in os.listdir(out) if os.path.isdir(out) else []:
        if old.startswith("box-") and old.endswith(".png"):
            os.remove(os.path.join(out, old))
    say("making a Wine prefix with the Japanese locale (%s)"
        % shown(os.path.join(out, "prefix")))
    try:
        rigmod.setup(out, windows_dir, display=display if interactive else None)
    except (RigError, OSError, subprocess.SubprocessError) as e:
        say("could not set up Wine: %s (logs in %s)" % (e, shown(out)))
        rigmod.teardown(out)
        return 1
    rig = rigmod.Rig(out)
    try:
        lay_out_machine(rig, out, windows_dir)
        updater = rig.start_updater(UPDATE_FOLDER)
        say()
        if interactive:
            say("KRVLUP.EXE is running on your display %s: answer its boxes there" % display)
            updater.proc.wait()
        else:
            say("KRVLUP.EXE is running on a virtual display; the demo answers its boxes")
            answer_boxes(rig, updater, out)
        installed = report(rig)
    except (CaseFailure, RigError, OSError, subprocess.SubprocessError) as e:
        say("the demo failed: %s" % e)
        installed = False
        interactive = False
    except KeyboardInterrupt:
        say("interrupted")
        installed = False
        interactive = False
    finally:
        rig.end_processes()
        rigmod.teardown(out)
    return 0 if installed or interactive else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))

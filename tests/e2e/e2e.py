#!/usr/bin/env python3
"""End-to-end cases of KRVLUP.EXE under Wine.

    e2e.py setup    --work DIR --windows-dir DIR   make the display and the prefix
    e2e.py teardown --work DIR                     stop them
    e2e.py list                                    print the case names
    e2e.py run NAME --work DIR --windows-dir DIR   run one case
    e2e.py demo --work DIR --windows-dir DIR --shot PNG
        show the updater's first box on a machine with the game installed,
        save a screenshot of it, answer it with its default button

Each case lays out its own machine in the prefix (C:\\kv\\NAME: the updater's
folder with KRVLUP.EXE and its package, the installed game, the registry
value), starts the updater, expects its boxes one by one, byte for byte,
answers them, and checks the exit code and what is left on disk.
"""

import argparse
import os
import shutil
import subprocess
import sys

import rig as rigmod
from rig import (CaseFailure, IDABORT, IDCANCEL, IDIGNORE, IDNO, IDOK, IDRETRY, IDYES,
                 RigError, compare_snapshots, snapshot)

PRODUCT = "コルヴァリンス"
CAPTION = "コルヴァリンスのアップデート"
GAME_EXE = "KORVAL.EXE"
PACKAGE = "KRVLUP.TGP"
BROWSE_TITLE = "インストール先の選択"

RUNNING_TEXT = "%s を実行中の場合は終了してください。\n" % PRODUCT
MISSING_TEXT = "アップデートデータファイルファイル %s が見つかりません。\n"
NO_INSTALL_INFO_TEXT = "%s のインストール情報が取得できません。\n" % PRODUCT
CHOOSE_FOLDER_TEXT = "%s のインストール先\n（ %s のあるフォルダ）\nを指定してください。\n" % (
    PRODUCT, GAME_EXE)
CONFIRM_TEXT = "\n%s\n\nの %s にアップデートをインストールします。\n\nよろしいですか？\n"
VERSION_HINT = ("\nアップデートファイルが正常に認識されているかは、\nゲーム起動後のウィンドウメニューから\n"
                "「バージョン」→「アプリケーションについて」\nを選択して、バージョン表記を確認してください。\n\n")
DONE_TEXT = "%s にアップデートをインストールしました。\n%s" % (PRODUCT, VERSION_HINT)


class Machine:
    """The files and registry of one case, under C:\\kv\\NAME."""

    def __init__(self, rig, name, windows_dir):
        self.rig = rig
        self.root = "C:\\kv\\" + name
        self.unix_root = rig.unix_path(self.root)
        self.update_folder = self.root + "\\Update"
        self.games = self.root + "\\Games"
        self.game_folder = self.games + "\\Korvalinth"
        if os.path.exists(self.unix_root):
            shutil.rmtree(self.unix_root)
        os.makedirs(rig.unix_path(self.update_folder))
        shutil.copyfile(os.path.join(windows_dir, rigmod.UPDATER),
                        rig.unix_path(self.update_folder + "\\" + rigmod.UPDATER))

    def write_file(self, windows_path, data):
        path = self.rig.unix_path(windows_path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def add_package(self, size=40000):
        data = bytes((i * 131 + (i >> 8)) & 0xFF for i in range(size))
        self.write_file(self.update_folder + "\\" + PACKAGE, data)
        return data

    def add_installed_game(self):
        """An installed game: the executable and an older package in DATA."""
        self.write_file(self.game_folder + "\\" + GAME_EXE, b"MZ game")
        self.write_file(self.game_folder + "\\DATA\\" + PACKAGE, b"older package")

    def snapshot(self):
        return snapshot(self.unix_root)


def expect_nothing_written(machine, before):
    changes = compare_snapshots(before, machine.snapshot())
    if changes:
        raise CaseFailure("files changed although nothing was to be written:\n  "
                          + "\n  ".join(changes))


def expect_running_box(updater):
    return updater.expect_box(RUNNING_TEXT, CAPTION, [IDABORT, IDRETRY, IDIGNORE],
                              default=IDRETRY, icon="warning")


def expect_confirmation(updater, install_folder):
    return updater.expect_box(CONFIRM_TEXT % (install_folder, PRODUCT), CAPTION,
                              [IDYES, IDNO], default=IDNO, icon="question")


def standard_machine(rig, name, windows_dir):
    """Package beside the updater, game installed, registry value set."""
    machine = Machine(rig, name, windows_dir)
    machine.add_package()
    machine.add_installed_game()
    rig.set_install_dir(machine.games)
    return machine


def expect_mutex(holder, answer, when):
    got = holder.acquire()
    if got != answer:
        raise CaseFailure("%s, a wait on the game's mutex gave %s, expected %s"
                          % (when, got, answer))


# ---------------------------------------------------------------------------
# The cases. Each takes (rig, windows_dir, name).

def case_free_start_confirm_no(rig, windows_dir, name):
    """No game running: the confirmation comes first; No ends the run with
    nothing written, and the mutex is left released, not abandoned."""
    machine = standard_machine(rig, name, windows_dir)
    watcher = rig.mutex_holder()
    before = machine.snapshot()
    updater = rig.start_updater(machine.update_folder)
    box = expect_confirmation(updater, machine.game_folder)
    expect_mutex(watcher, "timeout", "while the updater asks")
    box.press(IDNO)
    updater.expect_exit(0)
    expect_nothing_written(machine, before)
    expect_mutex(watcher, "object_0", "after the updater ended")


def case_running_game_abort(rig, windows_dir, name):
    """The game holds the mutex: Abort on the running-game box ends the run."""
    machine = standard_machine(rig, name, windows_dir)
    holder = rig.mutex_holder()
    holder.hold()
    before = machine.snapshot()
    updater = rig.start_updater(machine.update_folder)
    expect_running_box(updater).press(IDABORT)
    updater.expect_exit(0)
    expect_nothing_written(machine, before)


def case_running_game_ignore(rig, windows_dir, name):
    """Ignore goes on while the game still runs: the confirmation comes; No
    ends the run with nothing written and the game still owning the mutex."""
    machine = standard_machine(rig, name, windows_dir)
    holder = rig.mutex_holder()
    watcher = rig.mutex_holder()
    holder.hold()
    before = machine.snapshot()
    updater = rig.start_updater(machine.update_folder)
    expect_running_box(updater).press(IDIGNORE)
    expect_confirmation(updater, machine.game_folder).press(IDNO)
    updater.expect_exit(0)
    expect_nothing_written(machine, before)
    expect_mutex(watcher, "timeout", "after the updater ended, the game still running")


def case_running_game_retry(rig, windows_dir, name):
    """Retry while the game still runs brings the box back; Retry after the
    game quit goes on with the updater owning the mutex, which it releases
    at the end."""
    machine = standard_machine(rig, name, windows_dir)
    holder = rig.mutex_holder()
    holder.hold()
    before = machine.snapshot()
    updater = rig.start_updater(machine.update_folder)
    expect_running_box(updater).press(IDRETRY)
    box = expect_running_box(updater)
    holder.release()
    box.press(IDRETRY)
    box = expect_confirmation(updater, machine.game_folder)
    expect_mutex(holder, "timeout", "while the updater asks for confirmation")
    box.press(IDNO)
    updater.expect_exit(0)
    expect_nothing_written(machine, before)
    expect_mutex(holder, "object_0", "after the updater ended")


def case_abandoned_mutex_taken_over(rig, windows_dir, name):
    """A game that crashed left the mutex abandoned: the updater takes it over
    without any box and releases it at the end."""
    machine = standard_machine(rig, name, windows_dir)
    watcher = rig.mutex_holder()  # keeps the abandoned mutex alive
    game = rig.mutex_holder()
    game.hold()
    game.abandon()
    before = machine.snapshot()
    updater = rig.start_updater(machine.update_folder)
    box = expect_confirmation(updater, machine.game_folder)
    expect_mutex(watcher, "timeout", "while the updater asks")
    box.press(IDNO)
    updater.expect_exit(0)
    expect_nothing_written(machine, before)
    expect_mutex(watcher, "object_0", "after the updater ended")


def case_missing_package(rig, windows_dir, name):
    """Without KRVLUP.TGP beside the updater: the missing-package box, then
    the end, before the registry is looked at or anything is written."""
    machine = Machine(rig, name, windows_dir)
    machine.add_installed_game()
    rig.set_install_dir(machine.games)
    before = machine.snapshot()
    updater = rig.start_updater(machine.update_folder)
    updater.expect_box(MISSING_TEXT % PACKAGE, CAPTION, [IDOK], default=IDOK,
                       icon="error").press(IDOK)
    updater.expect_exit(0)
    expect_nothing_written(machine, before)


def case_picked_folder(rig, windows_dir, name):
    """No registry value: the install-information box; Ignore, the
    choose-folder box, the folder dialog with the program's title; the game
    folder picked there is confirmed as the installation folder."""
    machine = Machine(rig, name, windows_dir)
    machine.add_package()
    machine.add_installed_game()
    rig.set_install_dir(None)
    before = machine.snapshot()
    updater = rig.start_updater(machine.update_folder)
    updater.expect_box(NO_INSTALL_INFO_TEXT, CAPTION, [IDABORT, IDRETRY, IDIGNORE],
                       default=IDRETRY, icon="warning").press(IDIGNORE)
    updater.expect_box(CHOOSE_FOLDER_TEXT, CAPTION, [IDOK], default=IDOK,
                       icon="question").press(IDOK)
    browse = updater.expect_box(None, None, None, None, kind="browse")
    if BROWSE_TITLE.encode("cp932") not in browse.statics:
        raise CaseFailure("the folder dialog does not show %r: %s"
                          % (BROWSE_TITLE, [s.decode("cp932", "replace") for s in browse.statics]))
    browse.select_folder(machine.game_folder)
    browse.press(IDOK)
    expect_confirmation(updater, machine.game_folder).press(IDNO)
    updater.expect_exit(0)
    expect_nothing_written(machine, before)


def case_folder_dialog_cancel(rig, windows_dir, name):
    """Cancelling the folder dialog leads back to the registry read: the
    install-information box comes again, and Abort there ends the run."""
    machine = Machine(rig, name, windows_dir)
    machine.add_package()
    rig.set_install_dir(None)
    before = machine.snapshot()
    updater = rig.start_updater(machine.update_folder)
    no_info = (NO_INSTALL_INFO_TEXT, CAPTION, [IDABORT, IDRETRY, IDIGNORE])
    updater.expect_box(*no_info, default=IDRETRY, icon="warning").press(IDIGNORE)
    updater.expect_box(CHOOSE_FOLDER_TEXT, CAPTION, [IDOK], default=IDOK,
                       icon="question").press(IDOK)
    updater.expect_box(None, None, None, None, kind="browse").press(IDCANCEL)
    updater.expect_box(*no_info, default=IDRETRY, icon="warning").press(IDABORT)
    updater.expect_exit(0)
    expect_nothing_written(machine, before)


def install_case(game_installed):
    def case(rig, windows_dir, name):
        machine = Machine(rig, name, windows_dir)
        package = machine.add_package(size=50000)  # four chunks of the copy
        if game_installed:
            machine.add_installed_game()
        else:
            os.makedirs(rig.unix_path(machine.games))
        rig.set_install_dir(machine.games)
        before = machine.snapshot()
        updater = rig.start_updater(machine.update_folder)
        expect_confirmation(updater, machine.game_folder).press(IDYES)
        updater.expect_box(DONE_TEXT, CAPTION, [IDOK], default=IDOK,
                           icon="information").press(IDOK)
        updater.expect_exit(0)

        installed = "Games\\Korvalinth\\DATA\\" + PACKAGE
        expected = {"Games\\Korvalinth", "Games\\Korvalinth\\DATA", installed}
        changes = compare_snapshots(before, machine.snapshot())
        wanted = ["changed: " + installed] if game_installed else \
            sorted("added: " + p for p in expected)
        if sorted(c.replace("/", "\\") for c in changes) != wanted:
            raise CaseFailure("files changed: %s, expected %s" % (changes, wanted))
        source = rig.unix_path(machine.update_folder + "\\" + PACKAGE)
        target = rig.unix_path(machine.root + "\\" + installed)
        with open(target, "rb") as f:
            if f.read() != package:
                raise CaseFailure("the installed package differs from the source")
        # The copy carries the source's last-write time (100 ns resolution).
        if os.stat(source).st_mtime_ns // 100 != os.stat(target).st_mtime_ns // 100:
            raise CaseFailure("the installed package's time %d differs from the source's %d"
                              % (os.stat(target).st_mtime_ns, os.stat(source).st_mtime_ns))
    case.__doc__ = ("Yes on the confirmation installs the package into DATA, %s, "
                    "and the report says it is done." %
                    ("replacing the older copy" if game_installed
                     else "creating the game folder and DATA first"))
    return case


CASES = {
    "start.free_confirm_no": case_free_start_confirm_no,
    "start.running_game_abort": case_running_game_abort,
    "start.running_game_ignore": case_running_game_ignore,
    "start.running_game_retry": case_running_game_retry,
    "start.abandoned_mutex": case_abandoned_mutex_taken_over,
    "start.missing_package": case_missing_package,
    "location.picked_folder": case_picked_folder,
    "location.dialog_cancel": case_folder_dialog_cancel,
    "install.replaces_older": install_case(game_installed=True),
    "install.creates_folders": install_case(game_installed=False),
}


def demo(work, windows_dir, shot):
    """Runs the updater once on a machine with the game installed, shows what
    its first box says, and saves a screenshot of it."""
    rigmod.setup(work, windows_dir)
    try:
        rig = rigmod.Rig(work)
        machine = standard_machine(rig, "demo", windows_dir)
        updater = rig.start_updater(machine.update_folder)
        try:
            box = updater.expect_box(None, None, None, None)
            print("caption: " + box.caption.decode("cp932"))
            print("text:\n" + box.text.decode("cp932"))
            rig.screenshot(shot)
            print("screenshot: " + shot)
            box.press(box.default)
            updater.expect_exit(0)
        finally:
            rig.end_processes()
    finally:
        rigmod.teardown(work)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("action", choices=["setup", "teardown", "list", "run", "demo"])
    parser.add_argument("case", nargs="?")
    parser.add_argument("--work", help="folder of the rig (prefix, logs)")
    parser.add_argument("--windows-dir", help="the Windows build folder")
    parser.add_argument("--shot", help="where the demo saves its screenshot (PNG)")
    args = parser.parse_args(argv[1:])

    if args.action == "list":
        print(";".join(CASES))
        return 0
    if not args.work:
        parser.error("--work is needed")
    work = os.path.abspath(args.work)
    try:
        if args.action == "setup":
            rigmod.setup(work, os.path.abspath(args.windows_dir))
        elif args.action == "teardown":
            rigmod.teardown(work)
        elif args.action == "demo":
            demo(work, os.path.abspath(args.windows_dir), os.path.abspath(args.shot))
        else:
            if args.case not in CASES:
                parser.error("unknown case %r" % args.case)
            rig = rigmod.Rig(work)
            try:
                CASES[args.case](rig, os.path.abspath(args.windows_dir),
                                 args.case.replace(".", "_"))
            except CaseFailure:
                shot = os.path.join(work, args.case + ".failure.png")
                try:
                    rig.screenshot(shot)
                    print("screenshot of the display: " + shot)
                except (OSError, subprocess.SubprocessError):
                    pass
                raise
            finally:
                rig.end_processes()
            print("PASS " + args.case)
    except CaseFailure as e:
        print("FAIL %s: %s" % (args.case, e))
        return 1
    except RigError as e:
        print("RIG ERROR: %s" % e)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

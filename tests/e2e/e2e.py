#!/usr/bin/env python3
"""End-to-end cases of KRVLUP.EXE under Wine.

    e2e.py setup    --work DIR --windows-dir DIR   make the display and the prefix
    e2e.py teardown --work DIR                     stop them
    e2e.py list                                    print the case names
    e2e.py run NAME --work DIR --windows-dir DIR   run one case
    e2e.py crash --work DIR --windows-dir DIR [--rounds N] [--seed S] [--package-mib M]
        kill the updater at random moments of an installation (crash.py)

Each case lays out its own machine in the prefix (C:\\kv\\NAME: the updater's
folder with KRVLUP.EXE and its package, the installed game, the registry
value), starts the updater, expects its boxes one by one, byte for byte,
answers them, and checks the exit code and what is left on disk.
"""

import argparse
import fnmatch
import os
import shutil
import subprocess
import sys

import rig as rigmod
from rig import (CaseFailure, IDABORT, IDCANCEL, IDIGNORE, IDNO, IDOK, IDRETRY, IDYES,
                 RigError, compare_snapshots, file_digest, snapshot)

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
MANUAL_COPY_TEXT = ("\n%s\n\nのアップデートインストールに失敗しました。\n恐れ入りますが手動で、\n\n"
                    "%s を %s フォルダへ\nコピーしてください。\n")
FILE_IN_THE_WAY_TEXT = ("\n既に\n\n【%s】\n\nという名前のファイルが存在します。\n"
                        "ファイルを移動・削除するか、\nインストール先フォルダを変更してください。\n\n")

# The package's last-write time, a fixed date in the past
# (2001-02-03 04:05:06 UTC), so that a copy made now cannot carry it by chance.
PACKAGE_TIME = 981169506
# A folder name whose last character, ソ, ends in the byte 0x5C in code page 932.
TRAIL_5C_FOLDER = "ゲームソ"


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

    @property
    def package(self):
        return self.update_folder + "\\" + PACKAGE

    def add_package(self, size=40000, data=None):
        """KRVLUP.TGP beside the updater: `data`, or `size` bytes of a
        pattern; its last-write time is PACKAGE_TIME."""
        if data is None:
            data = bytes((i * 131 + (i >> 8)) & 0xFF for i in range(size))
        self.write_file(self.package, data)
        os.utime(self.rig.unix_path(self.package), (PACKAGE_TIME, PACKAGE_TIME))
        return data

    def add_installed_game(self, folder=None):
        """An installed game (in the game folder unless `folder` is given):
        the executable and an older package in DATA."""
        folder = folder or self.game_folder
        self.write_file(folder + "\\" + GAME_EXE, b"MZ game")
        self.write_file(folder + "\\DATA\\" + PACKAGE, b"older package")

    def snapshot(self):
        return snapshot(self.unix_root)

    def remove(self):
        """Takes the machine's files away (after a case with large files)."""
        shutil.rmtree(self.unix_root)


def temp_files(folder):
    """The names of the temporary files (_TG*.$$$) in a Linux folder."""
    return sorted(n for n in os.listdir(folder) if fnmatch.fnmatchcase(n, "_TG*.$$$"))


def expect_changes(machine, before, wanted):
    """What changed under the machine's root since `before` is exactly
    `wanted` ("added: Games\\Korvalinth", "changed: ..."): in particular no
    temporary file is left anywhere."""
    changes = sorted(c.replace("/", "\\") for c in compare_snapshots(before, machine.snapshot()))
    if changes != sorted(wanted):
        raise CaseFailure("files changed:\n  %s\nexpected:\n  %s"
                          % ("\n  ".join(changes) or "nothing", "\n  ".join(sorted(wanted)) or "nothing"))


def expect_installed(machine, game_folder):
    """DATA\\KRVLUP.TGP in the game folder has the package's content and its
    last-write time (Wine keeps times at 100 ns resolution)."""
    source = machine.rig.unix_path(machine.package)
    target = machine.rig.unix_path(game_folder + "\\DATA\\" + PACKAGE)
    if file_digest(target) != file_digest(source):
        raise CaseFailure("the installed package differs from the source (%d bytes, source %d)"
                          % (os.path.getsize(target), os.path.getsize(source)))
    got, wanted = os.stat(target).st_mtime_ns, os.stat(source).st_mtime_ns
    if got // 100 != wanted // 100:
        raise CaseFailure("the installed package's last-write time %d differs from the source's %d"
                          % (got, wanted))


def expect_done(updater):
    updater.expect_box(DONE_TEXT, CAPTION, [IDOK], default=IDOK, icon="information").press(IDOK)


def expect_nothing_written(machine, before):
    changes = compare_snapshots(before, machine.snapshot())
    if changes:
        raise CaseFailure("files changed although nothing was to be written:\n  "
                          + "\n  ".join(changes))


def expect_running_box(updater):
    return updater.expect_box(RUNNING_TEXT, CAPTION, [IDABORT, IDRETRY, IDIGNORE],
                              default=IDRETRY, icon="warning")


def expect_confirmation(updater, install_folder, quiet=False):
    return updater.expect_box(CONFIRM_TEXT % (install_folder, PRODUCT), CAPTION,
                              [IDYES, IDNO], default=IDNO, icon="question", quiet=quiet)


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


def expect_install_information(updater):
    return updater.expect_box(NO_INSTALL_INFO_TEXT, CAPTION, [IDABORT, IDRETRY, IDIGNORE],
                              default=IDRETRY, icon="warning")


def open_folder_dialog(updater):
    """The registry cannot be read: Ignore on the install-information box,
    OK on the choose-folder box; returns the folder dialog that follows."""
    expect_install_information(updater).press(IDIGNORE)
    updater.expect_box(CHOOSE_FOLDER_TEXT, CAPTION, [IDOK], default=IDOK,
                       icon="question").press(IDOK)
    return updater.expect_box(None, None, None, None, kind="browse")


def decline_holding_the_mutex(machine, watcher, before):
    """Runs the updater, which must hold the game's mutex while it asks for
    confirmation; No ends the run with nothing written and the mutex
    released, not abandoned."""
    updater = machine.rig.start_updater(machine.update_folder)
    box = expect_confirmation(updater, machine.game_folder)
    expect_mutex(watcher, "timeout", "while the updater asks")
    box.press(IDNO)
    updater.expect_exit(0)
    expect_nothing_written(machine, before)
    expect_mutex(watcher, "object_0", "after the updater ended")


# ---------------------------------------------------------------------------
# The cases. Each takes (rig, windows_dir, name).

def case_free_start_confirm_no(rig, windows_dir, name):
    """No game running: the confirmation comes first; No ends the run with
    nothing written, and the mutex is left released, not abandoned."""
    machine = standard_machine(rig, name, windows_dir)
    watcher = rig.mutex_holder()
    before = machine.snapshot()
    decline_holding_the_mutex(machine, watcher, before)


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
    """Retry while the game still runs brings the box back; the game quits
    while the box is up, and Retry goes on with the updater owning the mutex
    through the whole installation; it releases the mutex at the end."""
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
    box.press(IDYES)
    box = updater.expect_box(DONE_TEXT, CAPTION, [IDOK], default=IDOK, icon="information")
    expect_mutex(holder, "timeout", "while the updater reports")
    box.press(IDOK)
    updater.expect_exit(0)
    expect_mutex(holder, "object_0", "after the updater ended")
    expect_changes(machine, before, ["changed: Games\\Korvalinth\\DATA\\" + PACKAGE])
    expect_installed(machine, machine.game_folder)


def case_abandoned_mutex_taken_over(rig, windows_dir, name):
    """A game that crashed left the mutex abandoned: the updater takes it over
    without any box and releases it at the end."""
    machine = standard_machine(rig, name, windows_dir)
    watcher = rig.mutex_holder()  # keeps the abandoned mutex alive
    game = rig.mutex_holder()
    game.hold()
    game.abandon()
    before = machine.snapshot()
    decline_holding_the_mutex(machine, watcher, before)


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
    browse = open_folder_dialog(updater)
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
    open_folder_dialog(updater).press(IDCANCEL)
    expect_install_information(updater).press(IDABORT)
    updater.expect_exit(0)
    expect_nothing_written(machine, before)


def case_retry_after_value_written(rig, windows_dir, name):
    """No registry value: the install-information box; the value is written
    while the box is up, and Retry reads it: the confirmation names the game
    folder below it."""
    machine = Machine(rig, name, windows_dir)
    machine.add_package()
    machine.add_installed_game()
    rig.set_install_dir(None)
    before = machine.snapshot()
    updater = rig.start_updater(machine.update_folder)
    box = expect_install_information(updater)
    rig.set_install_dir(machine.games)
    box.press(IDRETRY)
    expect_confirmation(updater, machine.game_folder).press(IDNO)
    updater.expect_exit(0)
    expect_nothing_written(machine, before)


def case_install_new_game_folder(rig, windows_dir, name):
    """The typical run: the registry names a parent folder that exists; Yes
    creates the game folder and its DATA folder, installs the package byte
    for byte with the source's last-write time, and the report ends with the
    version hint. Nothing else is left behind."""
    machine = Machine(rig, name, windows_dir)
    machine.add_package(size=50000)  # four chunks of the copy
    os.makedirs(rig.unix_path(machine.games))
    rig.set_install_dir(machine.games)
    before = machine.snapshot()
    updater = rig.start_updater(machine.update_folder)
    expect_confirmation(updater, machine.game_folder).press(IDYES)
    expect_done(updater)
    updater.expect_exit(0)
    expect_changes(machine, before, ["added: Games\\Korvalinth", "added: Games\\Korvalinth\\DATA",
                                     "added: Games\\Korvalinth\\DATA\\" + PACKAGE])
    expect_installed(machine, machine.game_folder)


def replace_case(size, description):
    def case(rig, windows_dir, name):
        machine = Machine(rig, name, windows_dir)
        machine.add_package(data=os.urandom(size))
        machine.add_installed_game()
        rig.set_install_dir(machine.games)
        before = machine.snapshot()
        updater = rig.start_updater(machine.update_folder)
        expect_confirmation(updater, machine.game_folder).press(IDYES)
        expect_done(updater)
        updater.expect_exit(0)
        expect_changes(machine, before, ["changed: Games\\Korvalinth\\DATA\\" + PACKAGE])
        expect_installed(machine, machine.game_folder)
        machine.remove()
    case.__doc__ = ("An older DATA\\KRVLUP.TGP is replaced by a package of %s random bytes, "
                    "identical by hash, carrying the source's last-write time." % description)
    return case


def make_read_only(rig, windows_path):
    """attrib +r, then checks that Windows programs see the file read-only."""
    rig.wine(["cmd", "/c", "attrib", "+r", windows_path], timeout=60)
    code, out = rig.wine(["cmd", "/c", "attrib", windows_path], timeout=60)
    # attrib lists the attribute letters before the path: "A    R       C:\\..."
    lines = [line for line in out.splitlines() if windows_path in line]
    if code != 0 or not lines or "R" not in lines[0].split(windows_path)[0]:
        raise RigError("attrib +r did not make %s read-only: %r" % (windows_path, out))


def case_read_only_target(rig, windows_dir, name):
    """A read-only older package is left alone: after Yes the manual-copy box
    names the target, the file and its folder, then the report is the version
    hint alone; the old file is untouched and no temporary file is left."""
    machine = standard_machine(rig, name, windows_dir)
    target = machine.game_folder + "\\DATA\\" + PACKAGE
    make_read_only(rig, target)
    before = machine.snapshot()
    updater = rig.start_updater(machine.update_folder)
    expect_confirmation(updater, machine.game_folder).press(IDYES)
    updater.expect_box(MANUAL_COPY_TEXT % (target, "DATA\\" + PACKAGE, machine.game_folder + "\\DATA"),
                       CAPTION, [IDOK], default=IDOK, icon="warning").press(IDOK)
    updater.expect_box(VERSION_HINT, CAPTION, [IDOK], default=IDOK,
                       icon="information").press(IDOK)
    updater.expect_exit(0)
    expect_changes(machine, before, [])


def case_file_in_the_way(rig, windows_dir, name):
    """A file stands where the game folder should be: after Yes the
    file-in-the-way box names it, and the run ends without a report."""
    machine = Machine(rig, name, windows_dir)
    machine.add_package()
    machine.write_file(machine.game_folder, b"a file, not a folder")
    rig.set_install_dir(machine.games)
    before = machine.snapshot()
    updater = rig.start_updater(machine.update_folder)
    expect_confirmation(updater, machine.game_folder).press(IDYES)
    updater.expect_box(FILE_IN_THE_WAY_TEXT % machine.game_folder, PRODUCT, [IDOK], default=IDOK,
                       icon="error").press(IDOK)
    updater.expect_exit(0)  # a report box still up would fail here
    expect_changes(machine, before, [])


def case_trail_5c_registry(rig, windows_dir, name):
    """The registry value ends in ソ (0x83 0x5C): the game folder is its
    subfolder Korvalinth, shown byte for byte in the confirmation; the whole
    path is created and the package installed there."""
    machine = Machine(rig, name, windows_dir)
    machine.add_package()
    parent = machine.root + "\\" + TRAIL_5C_FOLDER
    game_folder = parent + "\\Korvalinth"
    rig.set_install_dir(parent)
    before = machine.snapshot()
    updater = rig.start_updater(machine.update_folder)
    expect_confirmation(updater, game_folder).press(IDYES)
    expect_done(updater)
    updater.expect_exit(0)
    added = [TRAIL_5C_FOLDER, TRAIL_5C_FOLDER + "\\Korvalinth", TRAIL_5C_FOLDER + "\\Korvalinth\\DATA",
             TRAIL_5C_FOLDER + "\\Korvalinth\\DATA\\" + PACKAGE]
    expect_changes(machine, before, ["added: " + p for p in added])
    expect_installed(machine, game_folder)


def case_trail_5c_picked(rig, windows_dir, name):
    """The game folder picked in the folder dialog ends in ソ (0x83 0x5C): it
    is confirmed byte for byte, and its older package is replaced (the
    temporary file lies in that folder, not beside it)."""
    machine = Machine(rig, name, windows_dir)
    machine.add_package()
    game_folder = machine.root + "\\" + TRAIL_5C_FOLDER
    machine.add_installed_game(game_folder)
    rig.set_install_dir(None)
    before = machine.snapshot()
    updater = rig.start_updater(machine.update_folder)
    browse = open_folder_dialog(updater)
    browse.select_folder(game_folder)
    browse.press(IDOK)
    expect_confirmation(updater, game_folder).press(IDYES)
    expect_done(updater)
    updater.expect_exit(0)
    expect_changes(machine, before, ["changed: %s\\DATA\\%s" % (TRAIL_5C_FOLDER, PACKAGE)])
    expect_installed(machine, game_folder)


CASES = {
    "start.free_confirm_no": case_free_start_confirm_no,
    "start.running_game_abort": case_running_game_abort,
    "start.running_game_ignore": case_running_game_ignore,
    "start.running_game_retry": case_running_game_retry,
    "start.abandoned_mutex": case_abandoned_mutex_taken_over,
    "start.missing_package": case_missing_package,
    "location.picked_folder": case_picked_folder,
    "location.dialog_cancel": case_folder_dialog_cancel,
    "location.retry_after_value_written": case_retry_after_value_written,
    "install.new_game_folder": case_install_new_game_folder,
    "install.replaces_older": replace_case(50000, "50000"),
    "install.large_package": replace_case(100 << 20, "100 MiB"),
    "install.read_only_target": case_read_only_target,
    "install.file_in_the_way": case_file_in_the_way,
    "install.trail_5c_registry": case_trail_5c_registry,
    "install.trail_5c_picked": case_trail_5c_picked,
}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("action", choices=["setup", "teardown", "list", "run", "crash"])
    parser.add_argument("case", nargs="?")
    parser.add_argument("--work", help="folder of the rig (prefix, logs)")
    parser.add_argument("--windows-dir", help="the Windows build folder")
    parser.add_argument("--rounds", type=int, default=30, help="crash: how many kills")
    parser.add_argument("--seed", type=int, help="crash: the seed of the kill moments")
    parser.add_argument("--package-mib", type=int, default=256, help="crash: the package's size")
    args = parser.parse_args(argv[1:])

    if args.action == "list":
        print(";".join(CASES))
        return 0
    if not args.work:
        parser.error("--work is needed")
    work = os.path.abspath(args.work)
    if args.action == "crash":
        import crash
        args.case = "crash"
        case = lambda rig, windows_dir, name: crash.run(rig, windows_dir, args.rounds, args.seed,
                                                       args.package_mib)
    elif args.action == "run":
        if args.case not in CASES:
            parser.error("unknown case %r" % args.case)
        case = CASES[args.case]
    try:
        if args.action == "setup":
            rigmod.setup(work, os.path.abspath(args.windows_dir))
        elif args.action == "teardown":
            rigmod.teardown(work)
        else:
            rig = rigmod.Rig(work)
            try:
                case(rig, os.path.abspath(args.windows_dir), args.case.replace(".", "_"))
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

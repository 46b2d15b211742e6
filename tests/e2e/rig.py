"""The Wine rig of the end-to-end tests: a display, a Japanese-locale Wine
prefix, and the means to lay out a machine in it, run the updater and read
and answer its boxes through the Win32 test tools.

The rig is made once per test run (`setup`) and torn down at the end
(`teardown`); the state between the two lives in WORK/rig.json. Every wait
has a time limit, so a box that never comes, or one that nobody expected,
fails the case instead of hanging it.

Python 3 standard library only.
"""

import hashlib
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

GAME_MUTEX = "__TIN_GECKO_SEMAPHORE_Q_MOOR_KORVALINTH__"
REGISTRY_KEY = r"HKCU\Software\Quenmoor\Korvalinth"
REGISTRY_VALUE = "InstallDir"
UPDATER = "KRVLUP.EXE"

# Button ids.
IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO = 1, 2, 3, 4, 5, 6, 7


class RigError(Exception):
    """The rig itself failed (as opposed to the program under test)."""


class CaseFailure(Exception):
    """The program under test did not do what the case expects."""


QUIET = False  # set by a program that tells its own story (the demo)


def _log(message):
    if not QUIET:
        print("[rig] " + message, flush=True)


def wine_environment(prefix, display):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("LC_") and k not in ("LANGUAGE", "WINEDEBUG", "WINEDLLOVERRIDES")}
    env.update({
        "WINEPREFIX": prefix,
        "WINEARCH": "win32",
        "DISPLAY": display,
        "LANG": "ja_JP.UTF-8",
        "WINEDEBUG": "-all",
        # No Mono or Gecko installer prompt in the fresh prefix.
        "WINEDLLOVERRIDES": "mscoree=;mshtml=",
    })
    return env


def run_logged(args, env, timeout, cwd=None):
    """Runs a command with its output in a temporary file, never a pipe:
    Wine may leave helper processes behind that would hold a pipe open.
    Returns (exit code, output text). A command that outlives `timeout`
    seconds is killed and raises RigError."""
    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen(args, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT)
        try:
            code = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise RigError("%s did not finish within %s s" % (" ".join(args), timeout))
        out.seek(0)
        return code, out.read().decode("utf-8", "replace")


# ---------------------------------------------------------------------------
# Setting up and tearing down: the display and the prefix.

def _state_path(work):
    return os.path.join(work, "rig.json")


def _is_our_xvfb(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return b"Xvfb" in f.read()
    except OSError:
        return False


def _start_xvfb(work):
    read_end, write_end = os.pipe()
    log = open(os.path.join(work, "xvfb.log"), "wb")
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-noreset", "-nolisten", "tcp",
         "-screen", "0", "1024x768x24"],
        pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log, stderr=log,
        start_new_session=True)
    os.close(write_end)
    log.close()
    number = b""
    deadline = time.monotonic() + 20
    while not number.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([read_end], [], [], left)[0]:
            break
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    if not number.strip().isdigit():
        proc.kill()
        raise RigError("Xvfb did not report its display (see xvfb.log)")
    return proc.pid, ":" + number.strip().decode()


def setup(work, tools_dir, display=None):
    """Starts Xvfb, makes a fresh prefix under WORK and configures it. With
    `display` (a person's X display) no Xvfb is started, windows stay managed
    by that display's window manager, and the pilot's self-test is left out:
    nothing but the updater's own boxes shows up there."""
    os.makedirs(work, exist_ok=True)
    if os.path.exists(_state_path(work)):
        _log("a previous rig was left behind; tearing it down first")
        teardown(work)
    prefix = os.path.join(work, "prefix")
    if os.path.exists(prefix):
        _log("removing the old prefix")
        shutil.rmtree(prefix)

    own_display = display is None
    xvfb_pid = None
    if own_display:
        _log("starting Xvfb")
        xvfb_pid, display = _start_xvfb(work)
    state = {"prefix": prefix, "display": display, "xvfb_pid": xvfb_pid, "tools": tools_dir}
    with open(_state_path(work), "w") as f:
        json.dump(state, f)
    _log("display %s (%s)" % (display, "Xvfb pid %d" % xvfb_pid if own_display else "given"))

    env = wine_environment(prefix, display)
    os.makedirs(prefix)
    log_path = os.path.join(work, "wine-setup.log")
    with open(log_path, "wb") as log:
        # A persistent wineserver keeps every later start quick.
        subprocess.run(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL,
                       stdout=log, stderr=log, timeout=60, check=True)
        _log("making the prefix (wineboot -i)")
        started = time.monotonic()
        subprocess.run(["wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                       stdout=log, stderr=log, timeout=300, check=True)
        _log("prefix made in %.1f s" % (time.monotonic() - started))
    rig = Rig(work)
    if own_display:
        # Unmanaged windows: no 2 s wait for a window manager after each box.
        rig.reg("add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")
    # A crash must end the process, not wait in a dialog.
    rig.reg("add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog",
            "/t", "REG_DWORD", "/d", "0", "/f")
    acp = rig.pilot("acp", timeout=30)[1].strip()
    if acp != "932":
        raise RigError("the prefix runs with ANSI code page %r, not 932: is the ja_JP.UTF-8 "
                       "locale generated?" % acp)
    if not own_display:
        _log("prefix ready, ANSI code page %s" % acp)
        return
    # The pilot reads a box of its own: exact bytes (second bytes 0x5C
    # included), buttons, default, icon, and the answer it gives. This also
    # brings up the display's fonts before the first case.
    code, out = rig.pilot("selftest", timeout=120)
    reports = _parse_report(out)
    box = Box(rig, reports[0]) if reports else None
    expected = "ソ表能十\n".encode("cp932")
    if (code != 0 or box is None or box.text != expected or box.buttons != [IDYES, IDNO]
            or box.default != IDNO or box.icon != "warning" or "answer=7" not in out.split()):
        raise RigError("the box pilot failed its self-test:\n" + out)
    _log("box pilot self-test passed")
    _log("prefix ready, ANSI code page %s" % acp)


def teardown(work):
    """Stops the prefix's wineserver and the rig's Xvfb."""
    path = _state_path(work)
    if not os.path.exists(path):
        _log("no rig to tear down")
        return
    with open(path) as f:
        state = json.load(f)
    env = wine_environment(state["prefix"], state["display"])
    _log("stopping the wineserver of %s" % state["prefix"])
    try:
        run_logged(["wineserver", "-k"], env, timeout=30)
    except RigError as e:
        _log(str(e))
    pid = state["xvfb_pid"]
    if pid is not None and _is_our_xvfb(pid):
        _log("stopping Xvfb (pid %d)" % pid)
        os.kill(pid, signal.SIGTERM)
        for _ in range(50):
            if not _is_our_xvfb(pid):
                break
            time.sleep(0.1)
        else:
            os.kill(pid, signal.SIGKILL)
    os.remove(path)


# ---------------------------------------------------------------------------
# Boxes as the pilot reports them.

BOX_TIMEOUT = 30.0  # seconds for an expected box to appear
EXIT_TIMEOUT = 20.0  # seconds for the updater to end after its last box


def _decode(data):
    return data.decode("cp932", "replace")


class Box:
    """One dialog as read by `boxpilot find`."""

    def __init__(self, rig, fields):
        self.rig = rig
        self.hwnd = fields["hwnd"]
        self.process = fields.get("process", "")
        self.kind = fields.get("kind", "")
        self.caption = bytes.fromhex(fields.get("caption", ""))
        self.text = bytes.fromhex(fields.get("text", ""))
        statics = fields.get("statics", "")
        self.statics = [bytes.fromhex(s) for s in statics.split(",")] if statics else []
        buttons = fields.get("buttons", "")
        self.buttons = [int(b) for b in buttons.split(",")] if buttons else []
        self.default = int(fields.get("default", "0"))
        self.focus = int(fields.get("focus", "0"))
        self.icon = fields.get("icon", "")
        rect = fields.get("rect", "")
        self.rect = tuple(int(v) for v in rect.split(",")) if rect else None

    def describe(self):
        return ("%s box of %s: caption %r, text %r, buttons %s, default %d, focus %d, icon %s"
                % (self.kind, self.process, _decode(self.caption), _decode(self.text),
                   self.buttons, self.default, self.focus, self.icon))

    def press(self, button):
        code, out = self.rig.pilot("press", self.hwnd, str(button), "5000", timeout=20)
        if code != 0:
            raise CaseFailure("pressing button %d of the box did not close it: %s"
                              % (button, out.strip()))

    def click(self, button):
        """Presses a button without waiting for the pilot: returns at once,
        with a function that waits for the pilot and checks that the box
        closed. For watching what the updater does from the first moment on."""
        log = tempfile.TemporaryFile()
        proc = subprocess.Popen(["wine", os.path.join(self.rig.tools, "boxpilot.exe"), "press",
                                 self.hwnd, str(button), "5000"], env=self.rig.env,
                                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)

        def finish():
            try:
                code = proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                code = None
            log.seek(0)
            out = log.read().decode("utf-8", "replace")
            log.close()
            if code != 0:
                raise CaseFailure("pressing button %d of the box did not close it: %s"
                                  % (button, out.strip()))
        return finish

    def select_folder(self, path):
        code, out = self.rig.pilot("select", self.hwnd, path, timeout=60)
        if code != 0:
            raise CaseFailure("could not select %s in the folder dialog: %s" % (path, out.strip()))


def _parse_report(output):
    boxes, fields = [], {}
    for line in output.splitlines():
        if line == "end":
            boxes.append(fields)
            fields = {}
        elif "=" in line:
            key, value = line.split("=", 1)
            fields[key] = value
    return boxes


# ---------------------------------------------------------------------------
# The rig as a case uses it.

class Rig:
    def __init__(self, work):
        with open(_state_path(work)) as f:
            state = json.load(f)
        self.work = work
        self.prefix = state["prefix"]
        self.display = state["display"]
        self.tools = state["tools"]
        self.env = wine_environment(self.prefix, self.display)
        self.drive_c = os.path.join(self.prefix, "drive_c")
        self.started = []  # updaters and mutex holders of this case

    def end_processes(self):
        """Ends what the case started and left running: an updater still in
        a box, mutex holders."""
        for process in reversed(self.started):
            process.close()
        self.started = []

    # -- plumbing ----------------------------------------------------------

    def wine(self, args, timeout, cwd=None):
        return run_logged(["wine"] + list(args), self.env, timeout, cwd=cwd)

    def reg(self, *args, check=True):
        """Runs `wine reg ARGS`; a failure raises RigError unless check is False."""
        code, out = self.wine(["reg"] + list(args), timeout=60)
        if check and code != 0:
            raise RigError("wine reg %s failed (%d): %s" % (" ".join(args), code, out.strip()))
        return code

    def pilot(self, *args, timeout):
        return self.wine([os.path.join(self.tools, "boxpilot.exe")] + list(args), timeout=timeout)

    def unix_path(self, windows_path):
        """C:\\a\\b -> PREFIX/drive_c/a/b, D:\\a -> PREFIX/dosdevices/d:/a.
        Wine keeps names as UTF-8 on the Linux side, so a name such as
        ゲームソ is the same str on both."""
        drive = windows_path[:3].upper()
        assert len(drive) == 3 and drive[0].isalpha() and drive[1:] == ":\\", windows_path
        parts = [p for p in windows_path[3:].split("\\") if p]
        if drive[0] == "C":
            return os.path.join(self.drive_c, *parts)
        return os.path.join(self.prefix, "dosdevices", drive[0].lower() + ":", *parts)

    # -- the machine -------------------------------------------------------

    def set_install_dir(self, value):
        """Sets HKCU\\...\\InstallDir, or removes the key when value is None."""
        if value is None:
            self.reg("delete", REGISTRY_KEY, "/f", check=False)
        else:
            self.reg("add", REGISTRY_KEY, "/v", REGISTRY_VALUE, "/t", "REG_SZ",
                     "/d", value, "/f")

    def boxes_now(self):
        code, out = self.pilot("list", timeout=30)
        return [Box(self, f) for f in _parse_report(out)]

    def start_updater(self, folder):
        updater = Updater(self, folder)
        self.started.append(updater)
        return updater

    def mutex_holder(self, name=GAME_MUTEX):
        holder = MutexHolder(self, name)
        self.started.append(holder)
        return holder

    def screenshot(self, path, rect=None):
        """Writes what the display shows as a PNG (needs xwd and convert);
        with rect (left, top, right, bottom) only that part of the screen."""
        xwd = subprocess.run(["xwd", "-root", "-silent", "-display", self.display],
                             stdout=subprocess.PIPE, timeout=30, check=True)
        crop = []
        if rect is not None:
            left, top, right, bottom = rect
            crop = ["-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top), "+repage"]
        subprocess.run(["convert", "xwd:-"] + crop + [path], input=xwd.stdout, timeout=30,
                       check=True)


class Updater:
    """KRVLUP.EXE running in the prefix."""

    def __init__(self, rig, folder):
        self.rig = rig
        self.log = tempfile.TemporaryFile()
        exe = rig.unix_path(folder + "\\" + UPDATER)
        self.proc = subprocess.Popen(["wine", exe], env=rig.env, cwd=os.path.dirname(exe),
                                     stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT)

    def expect_box(self, text, caption, buttons, default, icon=None, kind="msgbox",
                   timeout=BOX_TIMEOUT, quiet=False):
        """Waits for the updater's next box and checks it; text and caption
        are str, compared as code page 932 bytes. Returns the Box; `quiet`
        leaves out the line that tells a box came as expected."""
        code, out = self.rig.pilot("find", str(int(timeout * 1000)), UPDATER,
                                   timeout=timeout + 30)
        reports = _parse_report(out)
        if code != 0 or not reports:
            state = "still running" if self.proc.poll() is None else \
                "ended with exit code %s" % self.proc.returncode
            raise CaseFailure("no box within %.0f s (the updater %s); expected %r"
                              % (timeout, state, text))
        box = Box(self.rig, reports[0])
        problems = []
        if box.kind != kind:
            problems.append("kind %s, expected %s" % (box.kind, kind))
        if text is not None and box.text != text.encode("cp932"):
            problems.append("text %r\n      (%s),\n  expected %r\n      (%s)"
                            % (_decode(box.text), box.text.hex(), text,
                               text.encode("cp932").hex()))
        if caption is not None and box.caption != caption.encode("cp932"):
            problems.append("caption %r (%s), expected %r (%s)"
                            % (_decode(box.caption), box.caption.hex(), caption,
                               caption.encode("cp932").hex()))
        if buttons is not None and box.buttons != sorted(buttons):
            problems.append("buttons %s, expected %s" % (box.buttons, sorted(buttons)))
        if default is not None and box.default != default:
            problems.append("default button %d, expected %d" % (box.default, default))
        if icon is not None and box.icon != icon:
            problems.append("icon %s, expected %s" % (box.icon, icon))
        if problems:
            raise CaseFailure("unexpected box: " + box.describe() + "\n  " + "\n  ".join(problems))
        if not quiet:
            _log("box as expected: " + box.describe())
        return box

    def expect_exit(self, code=0, timeout=EXIT_TIMEOUT):
        """Waits for the updater to end with `code`; a box still up instead is
        a failure, and the updater is then stopped."""
        try:
            got = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            boxes = self.rig.boxes_now()
            self.kill()
            shown = "; ".join(b.describe() for b in boxes) or "no box"
            raise CaseFailure("the updater did not end within %.0f s (showing: %s)"
                              % (timeout, shown))
        if got != code:
            raise CaseFailure("the updater ended with exit code %d, expected %d" % (got, code))
        _log("updater ended with exit code %d" % got)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def close(self):
        self.kill()
        self.log.close()


class MutexHolder:
    """mutexholder.exe: a process with a handle to the named mutex, talking
    one command and one answer line at a time."""

    def __init__(self, rig, name):
        self.proc = subprocess.Popen(
            ["wine", os.path.join(rig.tools, "mutexholder.exe"), name], env=rig.env,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.pending = b""
        first = self._line(30)
        if not first.startswith("ready"):
            raise RigError("mutexholder did not start: %r" % first)

    def _line(self, timeout):
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise RigError("mutexholder gave no answer within %s s" % timeout)
            chunk = os.read(fd, 256)
            if not chunk:
                raise RigError("mutexholder ended unexpectedly")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode().strip()

    def command(self, command, timeout=20):
        self.proc.stdin.write((command + "\n").encode())
        self.proc.stdin.flush()
        return self._line(timeout)

    def acquire(self):
        """'object_0', 'abandoned', 'timeout' (someone else owns it) or 'failed ...'."""
        return self.command("acquire")

    def hold(self):
        answer = self.acquire()
        if answer != "object_0":
            raise RigError("mutexholder could not take the mutex: %s" % answer)

    def release(self):
        answer = self.command("release")
        if answer != "released":
            raise RigError("mutexholder could not release the mutex: %s" % answer)

    def abandon(self):
        self.command("abandon")
        self.proc.wait(timeout=20)

    def close(self):
        if self.proc.poll() is None:
            try:
                self.command("quit")
                self.proc.wait(timeout=20)
            except (RigError, OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


# ---------------------------------------------------------------------------
# What a case leaves on disk.

def file_digest(path):
    """SHA-256 of a file's content, read in pieces."""
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def snapshot(root):
    """Every file and folder under `root`: relative path -> (kind, size, mtime, digest)."""
    result = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs:
            path = os.path.join(folder, name)
            result[os.path.relpath(path, root)] = ("dir",)
        for name in files:
            path = os.path.join(folder, name)
            digest = file_digest(path)
            st = os.stat(path)
            result[os.path.relpath(path, root)] = ("file", st.st_size, st.st_mtime_ns, digest)
    return result


def compare_snapshots(before, after):
    """Lines describing what changed between two snapshots; empty when nothing did."""
    changes = []
    for path in sorted(set(before) | set(after)):
        if path not in after:
            changes.append("removed: " + path)
        elif path not in before:
            changes.append("added: " + path)
        elif before[path] != after[path]:
            changes.append("changed: " + path)
    return changes

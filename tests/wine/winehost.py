"""Runs ZEMLOUpdater.exe under Wine on a virtual display and records its boxes.

A throwaway prefix (32-bit, or 64-bit with the updater under WOW64), an Xvfb
display and a persistent wineserver are kept in a state folder so that many
runs can share them; `prepare` and `shutdown` start and stop them. Every
MessageBoxA call is recorded through Wine's relay trace with its exact bytes,
and each box is answered with xdotool once it has the keyboard focus.
"""

import contextlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

CAPTION = b"ZEMLO Updater"
COMMAND_KEY = r"HKEY_CLASSES_ROOT\ZEMLO.Project"
IDYES, IDNO = 6, 7

# The message table, typed independently of the program's sources.
TABLE = {
    "MsgNotInstalled": ("ゼムロ がインストールされていません。", 0x30),
    "MsgExeReadFailed": ("ZEMLO.exe の読み込みに失敗しました。", 0x10),
    "MsgScriptsReadFailed": ("Scripts.zmdata の読み込みに失敗しました。", 0x10),
    "MsgConfirmUpdate": ("ゼムロ のアップデートを実行しますか？", 0x24),
    "MsgScriptsWriteFailed": ("Scripts.zmdata の書き込みに失敗しました。", 0x10),
    "MsgExeWriteFailed": ("ZEMLO.exe の書き込みに失敗しました。", 0x10),
    "MsgUpdateDone": ("アップデートが終了しました。", 0x00),
    "MsgAlreadyUpdated": ("ゼムロ はすでにアップデートされています。", 0x30),
    "MsgUnrecognisedVersion": ("ゼムロ は未知のバージョンです。", 0x30),
    "MsgUpdaterDamaged": ("アップデータが破損しています。もう一度ダウンロードしてください。", 0x10),
}


# Calls recorded in every run's relay trace: the boxes, the process's own
# hardening, and the first steps of the run proper (for the order of things; the
# ANSI lookup is that of the benchmark's baseline programs).
RELAYED = ["user32.MessageBoxA", "user32.MessageBoxW",
           "advapi32.OpenProcessToken", "advapi32.GetTokenInformation",
           "advapi32.SetTokenInformation", "kernel32.SetErrorMode", "kernelbase.SetErrorMode",
           "kernel32.SetDefaultDllDirectories", "kernelbase.SetDefaultDllDirectories",
           "kernel32.SetDllDirectoryW", "kernelbase.SetDllDirectoryW",
           "advapi32.RegOpenKeyExA", "advapi32.RegOpenKeyExW",
           "kernel32.GetFileAttributesW", "msvcrt._wfopen", "kernel32.MoveFileExW",
           "kernel32.Sleep", "kernelbase.Sleep"]

# Boxes recorded and answered without a window manager, crashes that end instead
# of waiting in a debugger, the system's visual theme switched on as on Windows,
# and Japanese glyphs in the dialog font, as Windows' font linking gives them
# under any code page.
PREFIX_SETTINGS = [
    r"[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]", '"Tahoma"="Noto Sans CJK JP"',
    r"[HKEY_CURRENT_USER\Software\Wine\X11 Driver]", '"Managed"="N"',
    r"[HKEY_CURRENT_USER\Software\Wine\Debug]", f'"RelayInclude"="{";".join(RELAYED)}"',
    r"[HKEY_CURRENT_USER\Software\Wine\WineDbg]", '"ShowCrashDialog"=dword:00000000',
    r"[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\ThemeManager]",
    '"ThemeActive"="1"',
    r'"DllName"="C:\\windows\\resources\\themes\\light\\light.msstyles"',
    '"ColorName"="Blue"', '"SizeName"="NormalSize"',
]


def expected_box(name):
    text, kind = TABLE[name]
    return (text.encode("cp932"), CAPTION, kind)


class CannotMount(Exception):
    pass


class DisplayFailure(Exception):
    """Wine could not show a box at all (its display driver failed to start):
    a fault of the machine under load, not of the program."""


@dataclass
class Box:
    text: bytes     # code page 932; a MessageBoxW text encoded to it
    caption: bytes
    kind: int
    owner: int
    api: str = "A"  # MessageBoxA or MessageBoxW
    answer: int = None
    called_at: float = None    # Wine's clock, in seconds
    returned_at: float = None

    def utf8(self):
        return self.text.decode("cp932", errors="replace")


@dataclass
class Run:
    exit_code: int
    boxes: list = field(default_factory=list)
    log: str = ""
    first_box_after: float = None  # seconds from starting Wine to the first box's call
    first_box_shown_after: float = None  # ... to the first box on screen, taking keys

    def shown(self):
        return [(b.text, b.caption, b.kind) for b in self.boxes]

    def names(self):
        by_bytes = {expected_box(n): n for n in TABLE}
        return [by_bytes.get(s, repr(s)) for s in self.shown()]


# Relay lines, each optionally led by Wine's "+timestamp" clock ("5842.753:").
_STAMP = rb"^(?:(\d+\.\d+):)?[0-9a-fA-F]+:"
_CALL = re.compile(_STAMP + rb'Call user32\.MessageBox([AW])\(([0-9a-fA-F]{8}),[0-9a-fA-F]{8} '
                   rb'L?"((?:[^"\\]|\\.)*)",[0-9a-fA-F]{8} L?"((?:[^"\\]|\\.)*)",([0-9a-fA-F]{8})\)',
                   re.MULTILINE)
_RET = re.compile(_STAMP + rb"Ret  user32\.MessageBox[AW]\(\) retval=([0-9a-fA-F]{8})",
                  re.MULTILINE)


def _seconds(stamp):
    return float(stamp) if stamp else None


def unescape(text):
    """Undoes Wine's debugstr escaping: printable ASCII as is, the rest as \\xNN."""
    out = bytearray()
    i = 0
    simple = {ord("n"): 10, ord("r"): 13, ord("t"): 9, ord("\\"): 92, ord('"'): 34}
    while i < len(text):
        c = text[i]
        if c == 0x5C and i + 1 < len(text):
            n = text[i + 1]
            if n == ord("x"):
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
            if n in simple:
                out.append(simple[n])
                i += 2
                continue
        out.append(c)
        i += 1
    return bytes(out)


def unescape_wide(text):
    """Undoes Wine's escaping of a wide string: printable ASCII as is, the rest
    as a backslash and four hexadecimal digits."""
    out = []
    i = 0
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
    text = text.decode("ascii", "replace")
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            if text[i + 1] in simple:
                out.append(simple[text[i + 1]])
                i += 2
            else:
                out.append(chr(int(text[i + 1:i + 5], 16)))
                i += 5
            continue
        out.append(text[i])
        i += 1
    return "".join(out)


def _text(api, escaped):
    if api == b"A":
        return unescape(escaped)
    # Characters code page 932 lacks stay visible, and match no text of the table.
    return unescape_wide(escaped).encode("cp932", errors="backslashreplace")


def parse_boxes(log):
    """The boxes in a relay log, in order, with the answer each one returned."""
    events = []
    for m in _CALL.finditer(log):
        api = m.group(2)
        events.append((m.start(), Box(_text(api, m.group(4)), _text(api, m.group(5)),
                                      int(m.group(6), 16), int(m.group(3), 16), api.decode(),
                                      called_at=_seconds(m.group(1)))))
    for m in _RET.finditer(log):
        events.append((m.start(), (int(m.group(2), 16), _seconds(m.group(1)))))
    events.sort(key=lambda e: e[0])
    boxes = []
    for _, event in events:
        if isinstance(event, Box):
            boxes.append(event)
        elif boxes and boxes[-1].answer is None:
            boxes[-1].answer, boxes[-1].returned_at = event
    return boxes


class WatchFailed(RuntimeError):
    """What a run's watch raised, raised by the run once it has ended the run."""


# The environment variable that marks the processes of one run or one holder.
MARK = "ZEMLO_TEST_RUN"


class WineHost:
    def __init__(self, state_dir, windows):
        """windows: the Windows the prefix reports ("winxp", "win7", "win10"),
        always named (a new prefix of Wine 8 reports Windows 7 otherwise), with
        "-64" for a 64-bit Windows ("win10-64"), where the updater runs under WOW64
        and its Program Files folder is "Program Files (x86)"."""
        version, _, bits = windows.partition("-")
        if bits not in ("", "64"):
            raise ValueError(f"not a Windows of the prefixes: {windows}")
        self.win64 = bits == "64"
        self.program_files = r"C:\Program Files (x86)" if self.win64 else r"C:\Program Files"
        self.state_dir = Path(state_dir).resolve()
        self.settings = PREFIX_SETTINGS + [r"[HKEY_CURRENT_USER\Software\Wine]",
                                           f'"Version"="{version}"']
        if os.environ.get("ZEMLO_WINE_RELAY_EVERY_CALL"):
            # Every call traced, which makes a run several times slower: the
            # scenarios' verdicts must not change (tests/wine/slowed_passes).
            self.settings = [line for line in self.settings if not line.startswith('"RelayInclude"')]
            self.settings += [r"[HKEY_CURRENT_USER\Software\Wine\Debug]", '"RelayInclude"=-']
        self.prefix = self.state_dir / "prefix"
        self.drive_c = self.prefix / "drive_c"
        self.state_file = self.state_dir / "state.json"
        self.log_name = "run"  # runs are logged as <log_name>-<n>.log in the state folder
        self.runs = 0
        self.holds = 0
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": str(self.prefix),
            "WINEARCH": "win64" if self.win64 else "win32",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "LANG": "ja_JP.UTF-8",
            "LC_ALL": "ja_JP.UTF-8",
            "WINEDEBUG": "-all",
        })
        self.env.pop("WINELOADER", None)
        state = self._load_state()
        if state.get("display"):
            self.env["DISPLAY"] = state["display"]

    # ---- lifecycle ----------------------------------------------------------

    def _load_state(self):
        try:
            return json.loads(self.state_file.read_text())
        except (OSError, ValueError):
            return {}

    def _save_state(self, state):
        self.state_dir.mkdir(parents=True, exist_ok=True)
        self.state_file.write_text(json.dumps(state))

    def wine(self, *args, timeout=300, check=True, env=None):
        log = self.state_dir / "wine-command.log"
        with open(log, "ab") as out:  # a file, never a pipe: Wine services inherit it
            result = subprocess.run(["wine", *args], env=env or self.env, stdout=out,
                                    stderr=out, stdin=subprocess.DEVNULL, timeout=timeout)
        if check and result.returncode != 0:
            raise RuntimeError(f"wine {' '.join(args)} failed with {result.returncode}")
        return result.returncode

    def prepare(self):
        """Starts the display and wineserver, creating the prefix when needed."""
        self.state_dir.mkdir(parents=True, exist_ok=True)
        state = self._load_state()
        if not _alive(state.get("xvfb_pid")):
            state = self._start_display()
        self.env["DISPLAY"] = state["display"]
        fresh = not (self.prefix / "system.reg").exists()
        if fresh:
            env = dict(self.env)
            env.pop("DISPLAY", None)  # no windows while the prefix is made
            subprocess.run(["wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                           stdout=open(self.state_dir / "wineboot.log", "ab"),
                           stderr=subprocess.STDOUT, timeout=600, check=True)
            subprocess.run(["wineserver", "-w"], env=env, timeout=300)
            if (self.drive_c / "windows" / "syswow64").is_dir() != self.win64:
                raise RuntimeError(f"{self.prefix} is not the {self.env['WINEARCH']} prefix asked for")
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        state = self._load_state()
        if state.get("settings") != self.settings:
            self.import_reg(self.settings)
            state["settings"] = self.settings
            self._save_state(state)
        if not _alive(state.get("idle_pid")):
            # One process that stays keeps the desktop and services up between runs,
            # so that no run waits for them or finds them failing to start.
            idle = subprocess.Popen(["wine", str(self.helper_exe()), "idle"], env=self.env,
                                    stdin=subprocess.DEVNULL, start_new_session=True,
                                    stdout=open(self.state_dir / "idle.log", "ab"),
                                    stderr=subprocess.STDOUT)
            state["idle_pid"] = idle.pid
            self._save_state(state)

    def _start_display(self):
        read_fd, write_fd = os.pipe()
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdin=subprocess.DEVNULL,
            stdout=open(self.state_dir / "xvfb.log", "ab"), stderr=subprocess.STDOUT,
            start_new_session=True)
        os.close(write_fd)
        number = b""
        with os.fdopen(read_fd, "rb") as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(1)
                if not chunk:
                    raise RuntimeError("Xvfb did not start; see xvfb.log")
                number += chunk
        state = {"xvfb_pid": xvfb.pid, "display": ":" + number.decode().strip()}
        self._save_state(state)
        return state

    def shutdown(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        state = self._load_state()
        for started in ("xvfb_pid", "guard_pid"):
            if _alive(state.get(started)) and state[started] != os.getpid():
                os.kill(state[started], signal.SIGTERM)
        self._save_state({})

    def start_guard(self, command, owner):
        """Starts command (a Python script's arguments) as the prefix's guard: a
        process of its own that calls guard(owner) and so shuts the prefix down
        once owner has ended, however it ended."""
        state = self._load_state()
        if _alive(state.get("guard_pid")):
            os.kill(state["guard_pid"], signal.SIGTERM)
        guard = subprocess.Popen([sys.executable, *command, str(owner), str(_started_at(owner))],
                                 stdin=subprocess.DEVNULL, start_new_session=True,
                                 stdout=open(self.state_dir / "guard.log", "ab"),
                                 stderr=subprocess.STDOUT)
        state["guard_pid"] = guard.pid
        self._save_state(state)

    def guard(self, owner, owner_started):
        """Waits until the process owner (a test run: CTest, say) has ended, then
        ends what still uses the prefix (the scenario drivers, each ending its own
        runs, and whatever they started) and shuts it down: display, wineserver,
        the Windows services and the helper that keeps them up. A test run ended
        from outside (Ctrl-C, a kill, a time-out) leaves nothing running."""
        while _started_at(owner) == owner_started:
            time.sleep(0.5)
        users = self._users()
        for pid in users:
            _signal_quietly(pid, signal.SIGTERM)
        deadline = time.monotonic() + 15
        while any(_alive(pid) for pid in users) and time.monotonic() < deadline:
            time.sleep(0.1)
        for pid in users:
            _signal_quietly(pid, signal.SIGKILL)
        self.shutdown()

    def _users(self):
        """The processes, other than this one, started with this prefix's state
        folder as their --state: the scenario drivers and the signed-build test."""
        users = []
        for pid, words in _each_process("cmdline"):
            for at, word in enumerate(words[:-1]):
                if (pid != os.getpid() and word == b"--state"
                        and Path(os.fsdecode(words[at + 1])).resolve() == self.state_dir):
                    users.append(pid)
        return users

    # ---- the installation -------------------------------------------------------

    def host_path(self, windows_path):
        """The Linux path of a C: path in the prefix."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return self.drive_c.joinpath(*windows_path[3:].split("\\"))

    def install_editor(self, exe_path, exe_bytes, scripts_bytes):
        """Writes the editor's files under C:, creating their folders; a file given
        as None is left out. Returns the Linux paths of the two files."""
        exe_file = self.host_path(exe_path)
        scripts_file = exe_file.parent / "System" / "Data" / "Scripts.zmdata"
        exe_file.parent.mkdir(parents=True, exist_ok=True)
        if exe_bytes is not None:
            exe_file.write_bytes(exe_bytes)
        if scripts_bytes is not None:
            scripts_file.parent.mkdir(parents=True, exist_ok=True)
            scripts_file.write_bytes(scripts_bytes)
        return exe_file, scripts_file

    def import_reg(self, lines):
        """Imports registry lines in UTF-16, as the registry holds them: names in
        any script, whatever the code page."""
        reg = self.state_dir / "import.reg"
        reg.write_text("Windows Registry Editor Version 5.00\n\n" + "\n".join(lines) + "\n",
                       encoding="utf-16")
        self.wine("reg", "import", str(reg))

    def set_association(self, command=None, kind="REG_SZ", stored=None):
        """Replaces the editor's open command (None: no association at all);
        stored: the REG_SZ value's exact UTF-16LE bytes instead, with or without
        a terminator."""
        lines = [f"[-{COMMAND_KEY}]"]
        if command is not None or stored is not None:
            data = stored if stored is not None else (command + "\0").encode("utf-16-le")
            code = {"REG_SZ": 1, "REG_EXPAND_SZ": 2}[kind]
            lines += [f"[{COMMAND_KEY}\\shell\\open\\command]", f"@=hex({code}):{data.hex(',')}"]
        self.import_reg(lines)

    @contextlib.contextmanager
    def holding(self, windows_path, how="read"):
        """Keeps windows_path open in another Windows process until the block ends
        or the function it yields is called: how="read" as a running editor keeps
        its executable (readable, but neither writable nor replaceable), "share" as
        a scanner that lets others read and write, "write" as a program writing it."""
        self.holds += 1
        marker = self.drive_c / f"held-{self.holds}.marker"
        marker.unlink(missing_ok=True)
        holder = subprocess.Popen(
            ["wine", str(self.helper_exe()), "hold", windows_path, f"C:\\{marker.name}", how],
            env={**self.env, MARK: f"{self.mark_prefix()}hold-{self.holds}"},
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def release():
            """Lets go, and returns once the holder has let go: the helper closes
            the file when its standard input closes, and then ends."""
            if not holder.stdin.closed:
                holder.stdin.close()
            holder.wait(timeout=120)

        try:
            for _ in range(600):
                if marker.exists() or holder.poll() is not None:
                    break
                time.sleep(0.1)
            if not marker.exists():
                raise RuntimeError(f"helper.exe could not hold {windows_path}")
            yield release
        finally:
            try:
                release()
            except subprocess.TimeoutExpired:
                holder.kill()
                holder.wait()
            marker.unlink(missing_ok=True)

    def helper_exe(self):
        """Builds the small Windows helper of the scenarios."""
        return self._build("WineHelper.c", "helper.exe")

    def planted_library(self):
        """Builds the library that the scenarios plant under system libraries' names."""
        return self._build("PlantedLibrary.c", "planted.dll", "-shared")

    def _build(self, source_name, output_name, *flags):
        source = Path(__file__).with_name(source_name)
        output = self.state_dir / output_name
        if not output.exists() or output.stat().st_mtime < source.stat().st_mtime:
            subprocess.run(["i686-w64-mingw32-gcc", "-O2", "-s", *flags, str(source), "-o",
                            str(output)], check=True)
        return output

    @contextlib.contextmanager
    def small_drive(self, letter, mount, size):
        """A tmpfs of the given size mounted at mount and seen by Wine as drive
        letter; CannotMount where this machine does not allow the mount."""
        mount = Path(mount)
        mount.mkdir(parents=True, exist_ok=True)
        subprocess.run(["umount", str(mount)], stderr=subprocess.DEVNULL)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs",
                                  str(mount)], capture_output=True, text=True)
        if mounted.returncode != 0:
            raise CannotMount(f"cannot mount a tmpfs here: {mounted.stderr.strip()}")
        link = self.prefix / "dosdevices" / letter
        try:
            link.unlink(missing_ok=True)
            link.symlink_to(mount)
            yield mount
        finally:
            link.unlink(missing_ok=True)
            subprocess.run(["umount", str(mount)], stderr=subprocess.DEVNULL)

    # ---- running the updater ----------------------------------------------------

    def run(self, exe, answers=(), timeout=180, screenshot_dir=None, env=None, args=(),
            debug="", cwd=None, watch=None):
        """Runs exe in cwd (default drive C:'s folder) and answers each Yes/No box
        from answers (default No) and each OK box with Enter. Returns the exit
        code and the boxes shown; debug adds Wine debug channels to the log
        (",+loaddll", say).
        watch, given the run under way (a Running), follows its progress from a
        thread of its own while the boxes are answered, and may hold it still, let
        it go on or end it. What it raises ends the run at once, held still or
        not, and run raises it as WatchFailed, before any timeout of the run.
        A box answered by a key not sent for it (Wine gives keys to the box it
        made foreground, another run's maybe) ends the run at once."""
        answers = list(answers)
        self.runs += 1
        log_path = self.state_dir / f"{self.log_name}-{self.runs}.log"
        env = {**self.env, **(env or {})}
        env["WINEDEBUG"] = "+timestamp,+relay" + debug
        # Wine 10 starts the program as a process of its own, not a child of the one
        # started here: this run's processes are those that carry its mark.
        env[MARK] = f"{self.mark_prefix()}{self.runs}"
        with open(log_path, "wb") as log:
            process = subprocess.Popen(["wine", str(Path(exe).resolve()), *args], env=env, stdin=subprocess.DEVNULL,
                                       stdout=log, stderr=log, cwd=cwd or self.drive_c)
        running = Running(self, env[MARK], log_path, process)
        watch_failed = []

        def follow():
            try:
                watch(running)
            except Exception as failure:  # noqa: BLE001 (raised below, in the run's thread)
                watch_failed.append(failure)

        def raise_if_watch_failed():
            if watch_failed:
                raise WatchFailed(f"while following {exe}: {watch_failed[0]}") from watch_failed[0]
        follower = threading.Thread(target=follow, daemon=True)
        if watch is not None:
            follower.start()
        started = time.monotonic()
        deadline = started + timeout
        first_box_after = None
        seen_at = {}  # when each box was first seen, by its index
        first_box_shown_after = None
        answered = 0
        try:
            while process.poll() is None:
                raise_if_watch_failed()
                if time.monotonic() > deadline:
                    raise TimeoutError(f"{exe} did not finish within {timeout} s")
                boxes = parse_boxes(running.traced())
                if boxes and first_box_after is None:
                    first_box_after = time.monotonic() - started
                for index in range(len(seen_at), len(boxes)):
                    seen_at[index] = time.monotonic()
                if len(boxes) > answered and boxes[answered].answer not in (None, 0, 0xFFFFFFFF):
                    raise RuntimeError(f"box {answered + 1} of {exe} was answered "
                                       f"({boxes[answered].answer}) by a key not sent for it")
                if len(boxes) > answered and boxes[answered].answer is None:
                    box = boxes[answered]
                    yes_no = (box.kind & 0x0F) == 0x04
                    if yes_no:
                        key = "y" if answers and answers.pop(0) else "n"
                    else:
                        key = "Return"
                    shot = None
                    if screenshot_dir is not None:
                        shot = Path(screenshot_dir) / f"box-{answered + 1}.png"
                    index = answered
                    shown = self._answer(key, lambda: parse_boxes(running.traced())[index].answer
                                         is not None, process, env[MARK], deadline,
                                         shot, seen_at[index], raise_if_watch_failed)
                    if shown is not None and first_box_shown_after is None:
                        first_box_shown_after = shown - started
                    answered += 1
                    continue
                time.sleep(0.01)
        finally:
            if process.poll() is None:
                running.end()
                process.kill()
            running.thaw()  # a run that failed while held still must not stay so
            process.wait()
            if watch is not None:
                follower.join(timeout=60)
            # A watch that failed first is why the run did not finish: its error,
            # not the timeout that followed, is the one reported.
            raise_if_watch_failed()
        log = log_path.read_bytes()
        boxes = parse_boxes(log)
        if b"nodrv_CreateWindow" in log or any(b.answer in (0, 0xFFFFFFFF) for b in boxes):
            raise DisplayFailure(f"a box could not be shown; see {log_path}")
        return Run(process.returncode, boxes, log.decode("utf-8", "replace"), first_box_after,
                   first_box_shown_after)

    @staticmethod
    def processes_of(mark):
        """The processes of the run with this mark: its program and, under Wine 10,
        the launcher that started it."""
        return WineHost.processes_marked(lambda value: value == mark)

    @staticmethod
    def processes_marked(wanted):
        """The processes whose mark (the value of MARK in their environment) is one
        that wanted(value) accepts."""
        found = []
        for pid, variables in _each_process("environ"):
            for variable in variables:
                name, _, value = variable.partition(b"=")
                if name == MARK.encode() and wanted(value.decode("utf-8", "replace")):
                    found.append(pid)
        return found

    def mark_prefix(self):
        """What the marks of this driver's runs and holders start with."""
        return f"{os.getpid()}-{self.state_dir.name}-"

    def end_every_run(self):
        """Ends every program and holder this driver started in the prefix, held
        still or not: a driver ended from outside leaves none behind."""
        prefix = self.mark_prefix()
        for pid in self.processes_marked(lambda value: value.startswith(prefix)):
            _signal_quietly(pid, signal.SIGKILL)
            _signal_quietly(pid, signal.SIGCONT)

    def _box_windows(self, mark=None):
        """The boxes of the processes of the run with this mark (Wine gives each
        window its process's id), or of every process."""
        def search(*terms):
            return subprocess.run(["xdotool", "search", "--all", *terms, "--name",
                                   "^ZEMLO Updater$"], env=self.env, capture_output=True,
                                  text=True).stdout.split()
        if mark is None:
            return search()
        return [window for pid in self.processes_of(mark) for window in search("--pid", str(pid))]

    def _focus(self):
        return subprocess.run(["xdotool", "getwindowfocus"], env=self.env, capture_output=True,
                              text=True).stdout.strip()

    def _bring_forward(self, window):
        """Wine gives keys to the window it made foreground, whatever has the X
        focus: a click on the box's text, raised above any other run's box, makes
        it the foreground one and gives it the focus."""
        geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                                  env=self.env, capture_output=True, text=True).stdout
        size = dict(line.split("=") for line in geometry.split() if "=" in line)
        if "WIDTH" in size and "HEIGHT" in size:
            subprocess.run(["xdotool", "windowraise", window, "mousemove", "--window", window,
                            str(int(size["WIDTH"]) // 2), str(int(size["HEIGHT"]) // 3),
                            "click", "1", "windowfocus", window], env=self.env,
                           stderr=subprocess.DEVNULL)
            time.sleep(0.1)

    def _answer(self, key, answered, process, mark, deadline, screenshot, seen_at,
                raise_if_watch_failed):
        """Sends key to the box once it has the keyboard focus, bringing it forward
        if it has not taken the focus by itself within 2 s of being seen or another
        run's box is up too, and sends again if the key was lost. Returns when the
        box first had the focus (time.monotonic), if it did."""
        windows, focus, focused_at, forced = [], "", None, False
        while time.monotonic() < deadline:
            raise_if_watch_failed()
            if answered() or process.poll() is not None:
                return focused_at  # the box went away by itself: run() tells why
            windows, focus = self._box_windows(mark), self._focus()
            if focus not in windows:
                if windows and time.monotonic() - seen_at > 2:
                    self._bring_forward(windows[-1])
                    forced = True
                time.sleep(0.02)
                continue
            focused_at = focused_at or time.monotonic()
            if time.monotonic() - seen_at < 1:
                time.sleep(0.3)  # let the box finish drawing before it takes the key
            if screenshot is not None:
                self.screenshot(screenshot, focus)
                screenshot = None
            if forced or len(self._box_windows()) > len(windows):
                self._bring_forward(focus)  # another run's box may be foreground
            subprocess.run(["xdotool", "key", key], env=self.env, check=True)
            for _ in range(50):
                raise_if_watch_failed()
                if answered():
                    return focused_at
                time.sleep(0.1)
        raise TimeoutError(f"the message box was never answered (windows named like a box: "
                           f"{windows}, focus: {focus!r})")

    def screenshot(self, path, window="root"):
        """Saves the virtual screen, or one window of it, as PNG."""
        Path(path).parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["import", "-display", self.env["DISPLAY"], "-window", window, str(path)],
                       env=self.env, check=True, timeout=60)


class Running:
    """A run under way, as a scenario's watch sees it: its log so far, and the
    means to hold it still (as a machine too busy to run it would), let it go on,
    or end it (as a power cut or the task manager does). The updater counts its
    patience with a refusal in the pauses it asks for, not in the time that
    passes, so a run held still while it waits one out spends none of it."""

    def __init__(self, host, mark, log_path, process):
        self.host, self.mark, self.log_path, self.process = host, mark, log_path, process
        self.held = False
        self._lock = threading.Lock()
        self._read = 0          # bytes of the log read so far
        self._partial = b""     # the start of a line not yet complete
        self._lines = []        # the traced functions' lines among them

    def traced(self):
        """The relay lines of the functions in RELAYED, as the log holds them so far.
        Only what was added since the last look is read: a run that traces every
        call writes tens of megabytes, too many to read again each time."""
        with self._lock:
            with open(self.log_path, "rb") as log:
                log.seek(self._read)
                added = log.read()
            self._read += len(added)
            complete, _, self._partial = (self._partial + added).rpartition(b"\n")
            self._lines += [line for line in complete.split(b"\n") if _is_traced(line)]
            return b"\n".join(self._lines) + b"\n"

    def log(self):
        """What traced() holds, as text: enough to follow the traced calls."""
        return self.traced().decode("utf-8", "replace")

    def ended(self):
        return self.process.poll() is not None

    def _signal(self, number):
        for pid in self.host.processes_of(self.mark):
            _signal_quietly(pid, number)

    def hold_still(self):
        self._signal(signal.SIGSTOP)
        self.held = True

    def thaw(self):
        if self.held:
            self._signal(signal.SIGCONT)
            self.held = False

    def end(self):
        self._signal(signal.SIGKILL)


_TRACED = {name.lower().encode() for name in RELAYED}


def _is_traced(line):
    for marker in (b":Call ", b":Ret  "):
        at = line.find(marker)
        if at >= 0:
            end = line.find(b"(", at)
            return end > 0 and line[at + len(marker):end].lower() in _TRACED
    return False


def wait_for(condition, what, timeout=120):
    """Waits until condition() is true; a TimeoutError names what never happened.
    The timeout only ends a run that would never finish: no verdict depends on it."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError(f"{what} did not happen within {timeout} s")
        time.sleep(0.01)


def _each_process(what):
    """(pid, its /proc/<pid>/<what> split at NULs) for every process that is there."""
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                yield int(entry.name), (entry / what).read_bytes().split(b"\0")
            except OSError:
                continue  # ended meanwhile


def _started_at(pid):
    """When process pid started (clock ticks since boot), or None when there is no
    such process: a pid that is used again starts at another time."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return int(stat[stat.rindex(")") + 2:].split()[19])


def _signal_quietly(pid, number):
    try:
        os.kill(pid, number)
    except OSError:
        pass  # ended meanwhile


def _alive(pid):
    if not pid:
        return False
    try:
        os.kill(pid, 0)
        return True
    except OSError:
        return False


def throwaway(state_dir, windows="win10"):
    """A fresh prefix in state_dir, whatever was there before, ready to run."""
    require_tools()
    host = WineHost(state_dir, windows)
    host.shutdown()
    if host.state_dir.exists():
        shutil.rmtree(host.state_dir)
    print(f"Making a throwaway Wine prefix in {host.prefix} ...", flush=True)
    host.prepare()
    return host


def require_tools():
    missing = [t for t in ("wine", "wineboot", "wineserver", "Xvfb", "xdotool") if not shutil.which(t)]
    if missing:
        raise RuntimeError("missing: " + ", ".join(missing) + " (run scripts/setup)")

#!/usr/bin/env python3
"""End-to-end scenarios: the real ZEMLOUpdater.exe under Wine.

    scenarios.py --state DIR prepare
    scenarios.py --state DIR --exe EXE --standins DIR --release-exe F --release-scripts F run NAME
    scenarios.py --state DIR shutdown
    scenarios.py list

prepare leaves a guard behind that shuts the prefix down once the process that
ran prepare (CTest) has ended, however it ended. A driver ended from outside
(SIGTERM, SIGINT, SIGHUP), or one that reaches its --deadline, ends every
program and holder it started, held still or not, and fails.

Each scenario installs a stand-in editor in the shared prefix (files under its
drive_c, the association through the registry), runs the updater, answers its
boxes and compares the recorded MessageBoxA calls byte for byte.
"""

import argparse
import contextlib
import datetime
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import zoneinfo
from pathlib import Path

import winehost
from winehost import expected_box

INSTALLED_TAIL = r"\Kestramoor\ZEMLO\ZEMLO.exe"  # under the Program Files folder of the prefix
TOOLS_EXE = r"C:\Tools\ZEMLO\ZEMLO.exe"
# ソ and 表 hold a backslash byte in Shift-JIS.
JAPANESE_FOLDER = r"C:\ソフト表示"

SCENARIOS = {}
IN_ONE_PREFIX = set()  # scenarios that run in one prefix only, with a program of their own
SKIPPED = 77  # CTest's SKIP_RETURN_CODE: the machine cannot set the scenario up


def scenario(function):
    SCENARIOS[function.__name__] = function
    return function


def scenario_in_one_prefix(function):
    IN_ONE_PREFIX.add(function.__name__)
    return scenario(function)


class Failure(Exception):
    pass


class Skipped(Exception):
    pass


class EndedFromOutside(BaseException):
    """A signal ended the driver: no scenario code may take it for its own failure."""


def end_runs_on_signals(host):
    """A driver ended from outside, or past its deadline (SIGALRM), ends every run
    and holder it started before it unwinds, so that none is left stopped or
    running: threads of a scenario may have runs under way too."""
    def ended(number, _frame):
        host.end_every_run()
        raise EndedFromOutside(signal.Signals(number).name)
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGALRM):
        signal.signal(number, ended)


class Context:
    def __init__(self, host, exe, standins, release_exe, release_scripts):
        self.host = host
        self.exe = exe
        self.standins = Path(standins)
        self.new_exe = Path(release_exe).read_bytes()
        self.new_scripts = Path(release_scripts).read_bytes()
        # Where the installer puts the editor: the folder a 32-bit program gets.
        self.default_exe = host.program_files + INSTALLED_TAIL

    def standin(self, name):
        return (self.standins / name).read_bytes()

    def clean(self):
        """No editor anywhere: no association, no folders."""
        for folder in (self.host.program_files + r"\Kestramoor", r"C:\Tools", r"C:\Victim",
                       r"C:\Downloads", r"C:\Apps", JAPANESE_FOLDER):
            remove_tree(self.host.host_path(folder))
        self.host.set_association(None)

    def install(self, exe_path, exe_bytes, scripts_bytes, associate=True):
        """Puts the editor at exe_path with its script archive (None: missing)."""
        self.clean()
        exe_file, _ = self.host.install_editor(exe_path, exe_bytes, scripts_bytes)
        if associate:
            self.host.set_association(f'"{exe_path}" "%1"')
        return exe_file

    def scripts_file(self, exe_path):
        return self.host.host_path(exe_path).parent / "System" / "Data" / "Scripts.zmdata"

    def run(self, *expected, answers=(), env=None, exe=None, api="A", **options):
        """Runs the updater (or exe) and checks its boxes, shown through
        MessageBox<api>, and its exit code; options go to WineHost.run."""
        result = self.host.run(exe or self.exe, answers=answers, env=env, **options)
        wanted = [expected_box(name) for name in expected]
        if result.shown() != wanted:
            raise Failure(f"boxes shown: {result.names()}\n          wanted: {list(expected)}\n"
                          f"          bytes: {[b.text for b in result.boxes]}")
        for box in result.boxes:
            if box.owner != 0:
                raise Failure(f"box has owner window {box.owner:#x}")
            if box.api != api:
                raise Failure(f"box shown with MessageBox{box.api}, wanted MessageBox{api}")
        if result.exit_code != 0:
            raise Failure(f"exit code {result.exit_code}")
        return result


def remove_tree(path):
    if path.exists():
        subprocess.run(["chattr", "-R", "-i", str(path)], stderr=subprocess.DEVNULL)
        shutil.rmtree(path)


def check_same(path, expected, what):
    actual = Path(path).read_bytes() if Path(path).exists() else None
    if actual != expected:
        size = None if actual is None else len(actual)
        raise Failure(f"{what} is not as expected ({size} bytes, wanted {len(expected)})")


def listing(folder):
    return sorted(p.name for p in Path(folder).iterdir())


def check_only(folder, names):
    """The folder holds exactly these names: no temporary file was left behind."""
    present = listing(folder)
    if present != sorted(names):
        raise Failure(f"{folder} holds {present}, wanted {sorted(names)}")


def make_unwritable(path):
    """Read-only attribute (no write bits) and, since Wine as root ignores that,
    immutable as well, as Windows would refuse it."""
    os.chmod(path, 0o444)
    if subprocess.run(["chattr", "+i", str(path)], stderr=subprocess.DEVNULL).returncode != 0:
        raise Skipped(f"cannot make {path} immutable (chattr +i) on this file system")


def check_updated(ctx, exe_file, scripts_file):
    """Both files hold the new images, stamped in UTC, and nothing else is left."""
    check_release_in_place(exe_file, scripts_file, ctx.new_exe, ctx.new_scripts)


def check_release_in_place(exe_file, scripts_file, new_exe, new_scripts, who="the updater"):
    """Both files hold these bytes, stamped in UTC, and nothing else is left: what
    any updater of this release, ours or another, must leave."""
    check_stamped(exe_file, "UTC")
    check_stamped(scripts_file, "UTC")
    check_same(exe_file, new_exe, f"{who}'s ZEMLO.exe")
    check_same(scripts_file, new_scripts, f"{who}'s Scripts.zmdata")
    check_only(exe_file.parent, ["ZEMLO.exe", "System"])
    check_only(scripts_file.parent, ["Scripts.zmdata"])


def release_stamp_seconds(zone):
    """25 January 2008 00:00 local time in zone, as seconds since 1970."""
    local = datetime.datetime(2008, 1, 25, tzinfo=zoneinfo.ZoneInfo(zone))
    return int(local.timestamp())


def check_stamped(path, zone):
    # Times first: reading the contents would move the access time.
    info = os.stat(path)
    wanted = release_stamp_seconds(zone)
    if (int(info.st_mtime), int(info.st_atime)) != (wanted, wanted):
        raise Failure(f"{path.name}: write/access times {int(info.st_mtime)}/{int(info.st_atime)},"
                      f" wanted {wanted} (2008-01-25 00:00 in {zone})")


# ---- version check --------------------------------------------------------------

@scenario
def not_installed(ctx):
    ctx.clean()
    ctx.run("MsgNotInstalled")


@scenario
def program_files_fallback(ctx):
    ctx.install(ctx.default_exe, ctx.new_exe, ctx.standin("scripts-old.zmdata"),
                associate=False)
    ctx.run("MsgAlreadyUpdated")


@scenario
def association_to_another_program_falls_back(ctx):
    ctx.install(ctx.default_exe, ctx.standin("editor-unknown.exe"),
                ctx.standin("scripts-old.zmdata"), associate=False)
    other = ctx.host.host_path(r"C:\Tools\Other\Other.exe")
    other.parent.mkdir(parents=True, exist_ok=True)
    other.write_bytes(ctx.new_exe)
    ctx.host.set_association(r'"C:\Tools\Other\Other.exe" "%1"')
    ctx.run("MsgUnrecognisedVersion")


@scenario
def outdated_answer_no(ctx):
    old_exe = ctx.standin("editor-outdated.exe")
    old_scripts = ctx.standin("scripts-old.zmdata")
    exe_file = ctx.install(TOOLS_EXE, old_exe, old_scripts)
    ctx.run("MsgConfirmUpdate", answers=[False])
    check_same(exe_file, old_exe, "ZEMLO.exe")
    check_same(ctx.scripts_file(TOOLS_EXE), old_scripts, "Scripts.zmdata")


@scenario
def already_current(ctx):
    ctx.install(TOOLS_EXE, ctx.new_exe, ctx.standin("scripts-old.zmdata"))
    ctx.run("MsgAlreadyUpdated")


@scenario
def unrecognised(ctx):
    ctx.install(TOOLS_EXE, ctx.standin("editor-unknown.exe"), ctx.standin("scripts-old.zmdata"))
    ctx.run("MsgUnrecognisedVersion")


@scenario
def unquoted_association(ctx):
    ctx.install(TOOLS_EXE, ctx.new_exe, ctx.standin("scripts-old.zmdata"),
                associate=False)
    ctx.host.set_association(TOOLS_EXE + ' "%1"')
    ctx.run("MsgAlreadyUpdated")


@scenario
def expandable_association_is_ignored(ctx):
    ctx.install(TOOLS_EXE, ctx.new_exe, ctx.standin("scripts-old.zmdata"),
                associate=False)
    ctx.host.set_association(f'"{TOOLS_EXE}" "%1"', kind="REG_EXPAND_SZ")
    ctx.run("MsgNotInstalled")


@scenario
def scripts_missing(ctx):
    ctx.install(TOOLS_EXE, ctx.new_exe, None)
    ctx.run("MsgScriptsReadFailed")


@scenario
def exe_unreadable(ctx):
    # Something named ZEMLO.exe exists but cannot be opened as a file: a folder.
    ctx.install(TOOLS_EXE, None, ctx.standin("scripts-old.zmdata"))
    ctx.host.host_path(TOOLS_EXE).mkdir()
    ctx.run("MsgExeReadFailed")


# ---- the update itself ---------------------------------------------------------

def update_in_zone(ctx, zone):
    exe_file = ctx.install(TOOLS_EXE, ctx.standin("editor-outdated.exe"),
                           ctx.standin("scripts-old.zmdata"))
    scripts_file = ctx.scripts_file(TOOLS_EXE)
    ctx.run("MsgConfirmUpdate", "MsgUpdateDone", answers=[True], env={"TZ": zone})
    check_stamped(exe_file, zone)
    check_stamped(scripts_file, zone)
    check_same(exe_file, ctx.new_exe, "ZEMLO.exe")
    check_same(scripts_file, ctx.new_scripts, "Scripts.zmdata")
    check_only(exe_file.parent, ["ZEMLO.exe", "System"])
    check_only(scripts_file.parent, ["Scripts.zmdata"])
    ctx.run("MsgAlreadyUpdated", env={"TZ": zone})


@scenario
def update_yes_tokyo(ctx):
    update_in_zone(ctx, "Asia/Tokyo")


@scenario
def update_yes_new_york(ctx):
    update_in_zone(ctx, "America/New_York")


@scenario_in_one_prefix
def every_earlier_release_is_updated(ctx):
    """A program made for every earlier release (old-release-<n>.exe among the
    stand-ins, each with its script archive): each one installed is asked about,
    updated and then found current. A release it was not made for is still an
    unknown version."""
    earlier = sorted(ctx.standins.glob("old-release-*.exe"))
    if not earlier:
        raise Failure("no earlier release among the stand-ins")
    for exe in earlier:
        print(f"{exe.name}: {len(exe.read_bytes())} bytes")
        exe_file = ctx.install(TOOLS_EXE, exe.read_bytes(), exe.with_suffix(".zmdata").read_bytes())
        ctx.run("MsgConfirmUpdate", "MsgUpdateDone", answers=[True], env={"TZ": "UTC"})
        check_updated(ctx, exe_file, ctx.scripts_file(TOOLS_EXE))
        ctx.run("MsgAlreadyUpdated")
    ctx.install(TOOLS_EXE, ctx.standin("editor-unknown.exe"), ctx.standin("scripts-old.zmdata"))
    ctx.run("MsgUnrecognisedVersion")


@scenario
def update_over_longer_files(ctx):
    exe_file = ctx.install(ctx.default_exe, ctx.standin("editor-outdated-long.exe"),
                           ctx.standin("scripts-old.zmdata") * 3)
    ctx.run("MsgConfirmUpdate", "MsgUpdateDone", answers=[True])
    check_same(exe_file, ctx.new_exe, "ZEMLO.exe")
    check_same(ctx.scripts_file(ctx.default_exe), ctx.new_scripts, "Scripts.zmdata")


@scenario
def damaged_updater_installs_nothing(ctx):
    """A copy of the updater with one byte of its script archive changed, as a bad
    disk or a broken download leaves it, run on the release to update: its own
    box in place of the question, nothing opened for writing, nothing changed."""
    program = Path(ctx.exe).read_bytes()
    at = program.find(ctx.new_scripts)
    if at < 0:
        raise Failure("the script archive is not in the program file byte for byte")
    damaged = bytearray(program)
    damaged[at + len(ctx.new_scripts) // 2] ^= 0x01
    old_exe, old_scripts = ctx.standin("editor-outdated.exe"), ctx.standin("scripts-old.zmdata")
    exe_file = ctx.install(TOOLS_EXE, old_exe, old_scripts)
    scripts_file = ctx.scripts_file(TOOLS_EXE)
    written_at = [f.stat().st_mtime for f in (exe_file, scripts_file)]  # reading moves atime
    copy = ctx.host.host_path(r"C:\Downloads\ZEMLOUpdater.exe")
    copy.parent.mkdir()
    copy.write_bytes(damaged)
    log = ctx.run("MsgUpdaterDamaged", exe=copy).log
    opened = [args for args, _, _ in relay_results(log, "msvcrt._wfopen")]
    writing = [args for args in opened if not args.endswith('L"rb"')]
    moves = relay_results(log, "kernel32.MoveFileExW")
    if writing or moves or len(opened) != 2:
        raise Failure(f"opened {opened}, moved {moves}: wanted the two reads alone")
    if [f.stat().st_mtime for f in (exe_file, scripts_file)] != written_at:
        raise Failure("the editor's files were written")
    check_same(exe_file, old_exe, "ZEMLO.exe")
    check_same(scripts_file, old_scripts, "Scripts.zmdata")
    check_only(exe_file.parent, ["ZEMLO.exe", "System"])
    check_only(scripts_file.parent, ["Scripts.zmdata"])


def update_at(ctx, exe_path, env=None, api="A"):
    """The editor at exe_path, associated, is found and updated; a second run
    finds it up to date."""
    exe_file = ctx.install(exe_path, ctx.standin("editor-outdated.exe"),
                           ctx.standin("scripts-old.zmdata"))
    scripts_file = ctx.scripts_file(exe_path)
    env = {"TZ": "UTC", **(env or {})}
    ctx.run("MsgConfirmUpdate", "MsgUpdateDone", answers=[True], env=env, api=api)
    check_updated(ctx, exe_file, scripts_file)
    ctx.run("MsgAlreadyUpdated", env=env, api=api)


def path_of(prefix, words, length):
    """prefix, a folder of each word repeated, then ZEMLO.exe: length characters."""
    tail = "\\ZEMLO.exe"
    room = length - len(prefix) - len(tail)  # for the folders and their backslashes
    sizes = [room // len(words) - 1] * len(words)
    sizes[-1] += room - sum(n + 1 for n in sizes)
    path = prefix + "".join("\\" + (w * room)[:n] for w, n in zip(words, sizes)) + tail
    assert len(path) == length, path
    return path


@scenario
def long_path_installation(ctx):
    r"""A folder so deep that the executable's path has 249 characters and the
    script archive's 266: past the 248 from which paths go in their \\?\ form,
    past the 259 of the plain form."""
    update_at(ctx, path_of(r"C:\Tools", "LLLM", 249))


@scenario
def path_of_420_bytes(ctx):
    update_at(ctx, path_of(r"C:\Tools", "AB", 420))


@scenario
def path_of_272_japanese_characters(ctx):
    """Four folders of Japanese names: 774 bytes of UTF-8."""
    update_at(ctx, path_of(r"C:\Apps\長いフォルダ", ["ソフト表示", "編集データ", "作業場所"], 272))


@scenario
def folder_named_outside_code_page_932(ctx):
    """Hangul and an accented letter: neither is in code page 932."""
    update_at(ctx, r"C:\Apps\한글 Café\ZEMLO\ZEMLO.exe")


@scenario
def japanese_folder_under_code_page_1252(ctx):
    update_at(ctx, JAPANESE_FOLDER + r"\ZEMLO\ZEMLO.exe", env=western(), api="W")


@scenario
def editor_on_a_drive_letter_the_updater_lacks(ctx):
    r"""The association names M:\..., a letter the user mapped to a share. An
    elevated updater does not have the letters its user mapped (here the prefix
    has no drive M:), but the user's persistent mapping, HKCU\Network\M, names
    the share, which Wine serves as \\fileserver\apps: the editor there is
    updated, and the next run finds it current."""
    ctx.clean()
    share = ctx.host.state_dir / "share-apps"
    remove_tree(share)
    exe_file = share / "Kestramoor" / "ZEMLO" / "ZEMLO.exe"
    scripts_file = exe_file.parent / "System" / "Data" / "Scripts.zmdata"
    scripts_file.parent.mkdir(parents=True)
    exe_file.write_bytes(ctx.standin("editor-outdated.exe"))
    scripts_file.write_bytes(ctx.standin("scripts-old.zmdata"))
    served = ctx.host.prefix / "dosdevices" / "unc" / "fileserver" / "apps"
    letter = ctx.host.prefix / "dosdevices" / "m:"
    mapping = r"[HKEY_CURRENT_USER\Network\M]"
    try:
        letter.unlink(missing_ok=True)
        served.parent.mkdir(parents=True, exist_ok=True)
        served.unlink(missing_ok=True)
        served.symlink_to(share)
        ctx.host.import_reg([mapping, r'"RemotePath"="\\\\fileserver\\apps"',
                             '"ConnectionType"=dword:00000001'])
        ctx.host.set_association(r'"M:\Kestramoor\ZEMLO\ZEMLO.exe" "%1"')
        ctx.run("MsgConfirmUpdate", "MsgUpdateDone", answers=[True], env={"TZ": "UTC"})
        check_updated(ctx, exe_file, scripts_file)
        ctx.run("MsgAlreadyUpdated")
    finally:
        ctx.host.import_reg(["[-" + mapping[1:]])
        ctx.host.set_association(None)
        served.unlink(missing_ok=True)


@scenario
def exe_path_too_long_for_its_scripts_falls_back(ctx):
    """An executable path of 990 bytes leaves its script archive's no room in the
    program's 1000-byte buffer: refused, and Program Files is looked in."""
    ctx.install(ctx.default_exe, ctx.new_exe, ctx.standin("scripts-old.zmdata"), associate=False)
    too_long = path_of(r"C:\Tools", "ABCDE", 990)
    ctx.host.install_editor(too_long, ctx.standin("editor-outdated.exe"),
                            ctx.standin("scripts-old.zmdata"))
    ctx.host.set_association(f'"{too_long}" "%1"')
    ctx.run("MsgAlreadyUpdated")


@scenario
def registry_value_fits_in_utf8(ctx):
    """The association is read in UTF-16 and handed on in UTF-8 within the 1000
    bytes the program offers: a value of 999 bytes and a terminator is used, one
    of 1000 is refused, with or without a terminator, counted in UTF-8 bytes
    whatever the UTF-16 form takes; a value that is not valid UTF-16 is refused."""
    japanese_exe = JAPANESE_FOLDER + r"\ZEMLO\ZEMLO.exe"
    ctx.install(TOOLS_EXE, ctx.new_exe, ctx.standin("scripts-old.zmdata"), associate=False)
    ctx.host.install_editor(japanese_exe, ctx.new_exe, ctx.standin("scripts-old.zmdata"))

    def padded(command, filler, size):
        text = command + filler * ((size - len(command.encode())) // len(filler.encode()))
        return text + "p" * (size - len(text.encode()))

    rows = []
    for exe_path, filler in ((TOOLS_EXE, "p"), (japanese_exe, "あ")):
        command = f'"{exe_path}" "%1" '
        for size, terminated, found in ((999, True, True), (999, False, True),
                                        (1000, False, False), (1000, True, False)):
            rows.append((f"{exe_path}, {filler!r} to {size} UTF-8 bytes, terminated: {terminated}",
                         padded(command, filler, size).encode("utf-16-le") + b"\0\0" * terminated,
                         found))
    rows.append(("a lone surrogate after the command",
                 f'"{japanese_exe}" "%1" '.encode("utf-16-le") + b"\x00\xd8\0\0", False))
    for what, stored, found in rows:
        ctx.host.set_association(stored=stored)
        print(f"{what}: {len(stored) // 2} UTF-16 units")
        ctx.run("MsgAlreadyUpdated" if found else "MsgNotInstalled")


@scenario
def readonly_exe_then_asks_again(ctx):
    old_exe = ctx.standin("editor-outdated.exe")
    exe_file = ctx.install(TOOLS_EXE, old_exe, ctx.standin("scripts-old.zmdata"))
    make_unwritable(exe_file)
    ctx.run("MsgConfirmUpdate", "MsgExeWriteFailed", answers=[True])
    check_same(exe_file, old_exe, "ZEMLO.exe")
    check_same(ctx.scripts_file(TOOLS_EXE), ctx.new_scripts, "Scripts.zmdata")
    check_only(exe_file.parent, ["ZEMLO.exe", "System"])
    ctx.run("MsgConfirmUpdate", answers=[False])


@scenario
def readonly_scripts_changes_nothing(ctx):
    old_exe = ctx.standin("editor-outdated.exe")
    old_scripts = ctx.standin("scripts-old.zmdata")
    exe_file = ctx.install(TOOLS_EXE, old_exe, old_scripts)
    scripts_file = ctx.scripts_file(TOOLS_EXE)
    make_unwritable(scripts_file)
    ctx.run("MsgConfirmUpdate", "MsgScriptsWriteFailed", answers=[True])
    check_same(exe_file, old_exe, "ZEMLO.exe")
    check_same(scripts_file, old_scripts, "Scripts.zmdata")
    check_only(scripts_file.parent, ["Scripts.zmdata"])


@scenario
def exe_in_use(ctx):
    """The editor is running: its executable is held open against writers for
    longer than any scanner would hold it."""
    old_exe = ctx.standin("editor-outdated.exe")
    exe_file = ctx.install(TOOLS_EXE, old_exe, ctx.standin("scripts-old.zmdata"))
    with ctx.host.holding(TOOLS_EXE):
        result = ctx.run("MsgConfirmUpdate", "MsgExeWriteFailed", answers=[True])
    check_same(exe_file, old_exe, "ZEMLO.exe")
    check_same(ctx.scripts_file(TOOLS_EXE), ctx.new_scripts, "Scripts.zmdata")
    check_only(exe_file.parent, ["ZEMLO.exe", "System"])
    # What the program adds by waiting is its pauses, read from the trace; the
    # rest of the time is the machine's, whatever its speed.
    question, failed = result.boxes
    paused = pauses_asked(result.log)
    print(f"from Yes to the write-failed box: {failed.called_at - question.returned_at:.2f} s, "
          f"of which {paused} ms of pauses")
    if paused != 2000:
        raise Failure(f"the program paused {paused} ms for the executable in use, wanted its "
                      "patience of 2000 ms")


_RELAY = re.compile(r"^(\d+\.\d+):[0-9a-fA-F]+:(Call|Ret)  ?(\w+)\.(\w+)\(([^)]*)\)"
                    r"(?: retval=([0-9a-fA-F]{8}))?", re.MULTILINE)


def relay_results(log, function):
    """Each call of function ("kernel32.MoveFileExW") in a relay log, in order, as
    (arguments, value returned, Wine's clock when it returned)."""
    calls, pending = [], []
    for m in _RELAY.finditer(log):
        if f"{m.group(3)}.{m.group(4)}".lower() != function.lower():
            continue
        if m.group(2) == "Call":
            pending.append(m.group(5))
        elif pending:
            calls.append((pending.pop(), int(m.group(6), 16), float(m.group(1))))
    return calls


def returned(log, function, *named):
    """What each call of function ("kernel32.MoveFileExW") whose arguments name
    all of named has returned so far, in order."""
    return [value for arguments, value, _ in relay_results(log, function)
            if all(part in arguments for part in named)]


def was_refused(log, function, *named):
    return 0 in returned(log, function, *named)


def pauses_asked(log):
    """The milliseconds of the pauses (Sleep) the program has asked for so far:
    what it has spent of its patience with refusals."""
    calls = relay_results(log, "kernel32.Sleep") or relay_results(log, "kernelbase.Sleep")
    return sum(int(arguments, 16) for arguments, _, _ in calls)


def update_while_a_scanner_holds(ctx, held_name, how, refused_call):
    """A scanner holds one of the editor's files from before the run until the
    hold has refused the program (refused_call: the function, and what its
    arguments name, as the trace shows them). Then the run is held still while
    the scanner lets go, as a busy machine may leave it, so that on any machine
    the hold ends within the program's patience: the update waits it out and
    completes."""
    exe_file = ctx.install(TOOLS_EXE, ctx.standin("editor-outdated.exe"),
                           ctx.standin("scripts-old.zmdata"))
    scripts_file = ctx.scripts_file(TOOLS_EXE)
    held = TOOLS_EXE[:-len("ZEMLO.exe")] + held_name
    function, *named = refused_call
    spent = []

    with ctx.host.holding(held, how=how) as release:
        def let_go_once_refused(running):
            winehost.wait_for(lambda: running.ended() or
                              was_refused(running.log(), function, *named), "a refusal")
            running.hold_still()
            spent.append(pauses_asked(running.log()))
            try:
                release()
            finally:
                running.thaw()
        result = ctx.run("MsgConfirmUpdate", "MsgUpdateDone", answers=[True], env={"TZ": "UTC"},
                         watch=let_go_once_refused)
    check_updated(ctx, exe_file, scripts_file)
    values = returned(result.log, function, *named)
    print(f"{function} of {named[0]}: {len(values)} tries, {values.count(0)} refused while held; "
          f"the scanner let go after {spent[0] if spent else None} ms of the program's pauses")
    if values.count(0) == 0 or values[-1] == 0:
        raise Failure(f"{function} of {named} returned {values}: the hold was not seen")


@scenario
def exe_held_by_a_scanner_for_a_moment(ctx):
    """Shared for reading and writing, as indexers hold files: the probe passes,
    and the move over the executable is what the hold refuses."""
    update_while_a_scanner_holds(ctx, "ZEMLO.exe", "share", ("kernel32.MoveFileExW",
                                                             'ZEMLO.exe"'))


@scenario
def scripts_held_by_a_scanner_for_a_moment(ctx):
    """Shared for reading only, as scanners hold files: the probe is refused."""
    update_while_a_scanner_holds(ctx, r"System\Data\Scripts.zmdata", "read",
                                 ("msvcrt._wfopen", 'Scripts.zmdata"', '"r+b"'))


@scenario
def two_updaters_while_a_scanner_holds_the_exe(ctx):
    """Two updaters on one installation, both answered Yes. A scanner sharing
    reading and writing holds the executable, so each one's move over it is
    refused and retried. The second starts once the first's move has been
    refused, its temporary file still open while it waits: the second's clean-up
    must pass over that file and take the next name. Each updater is held still
    from its first refused move, as a busy machine may leave it, and the scanner
    lets go once both have been refused: both complete on any machine, and
    nothing is left. One box is up at a time: Wine gives a key to the box it
    made foreground, which may be the other updater's."""
    exe_file = ctx.install(TOOLS_EXE, ctx.standin("editor-outdated.exe"),
                           ctx.standin("scripts-old.zmdata"))
    scripts_file = ctx.scripts_file(TOOLS_EXE)
    first_waits = threading.Event()
    held_first, second = [], {}

    def refused_move(running):
        return running.ended() or was_refused(running.log(), "kernel32.MoveFileExW", 'ZEMLO.exe"')

    with ctx.host.holding(TOOLS_EXE, how="share") as release:
        def hold_first(running):
            try:
                winehost.wait_for(lambda: refused_move(running), "the first updater's refused move")
                running.hold_still()
                held_first.append(running)
            finally:
                first_waits.set()

        def let_go_once_both_wait(running):
            try:
                winehost.wait_for(lambda: refused_move(running), "the second updater's refused move")
                running.hold_still()
                release()
            finally:
                running.thaw()

        def run_second():
            try:
                first_waits.wait()
                second["run"] = ctx.run("MsgConfirmUpdate", "MsgUpdateDone", answers=[True],
                                        env={"TZ": "UTC"}, watch=let_go_once_both_wait)
            except (Failure, RuntimeError, TimeoutError) as failure:
                second["failure"] = failure
            finally:
                for first in held_first:  # goes on once the second has ended
                    first.thaw()

        thread = threading.Thread(target=run_second)
        thread.start()
        failures = []
        try:
            first = ctx.run("MsgConfirmUpdate", "MsgUpdateDone", answers=[True],
                            env={"TZ": "UTC"}, watch=hold_first)
        except (Failure, RuntimeError, TimeoutError) as failure:
            failures.append(f"the first updater: {failure}")
        finally:
            first_waits.set()
            thread.join()
    if "failure" in second:
        failures.append(f"the second updater: {second['failure']}")
    if failures:
        raise Failure("; ".join(failures))
    for name, run in (("first", first), ("second", second["run"])):
        moves = [(re.search(r'L"(?:[^"]*\\\\)?([^"\\]*)"', arguments).group(1), value)
                 for arguments, value, _ in relay_results(run.log, "kernel32.MoveFileExW")
                 if 'ZEMLO.exe"' in arguments]
        print(f"the {name} updater's moves over the executable (from, returned): {moves}")
        if not any(value == 0 for _, value in moves):
            raise Failure(f"the {name} updater's move over the executable was never refused")
    if not any("ZEMLO.exe.zemlo-new-2" in arguments for arguments, _, _ in
               relay_results(second["run"].log, "kernel32.MoveFileExW")):
        raise Failure("the second updater did not pass over the first one's temporary file "
                      "to the next name")
    check_updated(ctx, exe_file, scripts_file)


@scenario
def a_watch_that_fails_ends_its_run_at_once(ctx):
    """The runner's own rule, with a stand-in watch that fails on purpose while it
    holds the run still at its first box: the run is ended at once and reported
    with the watch's own error, not as a run that never finished, and none of
    its processes is left, stopped or running."""
    ctx.install(TOOLS_EXE, ctx.standin("editor-outdated.exe"), ctx.standin("scripts-old.zmdata"))
    held = {}

    def hold_then_fail(running):
        winehost.wait_for(lambda: running.ended() or winehost.parse_boxes(running.traced()),
                          "the first box")
        running.hold_still()
        held["mark"], held["at"] = running.mark, time.monotonic()
        raise Failure("the stand-in watch failed on purpose")
    try:
        ctx.host.run(ctx.exe, answers=[False], timeout=120, watch=hold_then_fail)
    except winehost.WatchFailed as failure:
        if "the stand-in watch failed on purpose" not in str(failure) or "at" not in held:
            raise Failure(f"the run reported {failure!r}, not the watch's error") from failure
    else:
        raise Failure("the run passed although its watch failed")
    took = time.monotonic() - held["at"]
    left = winehost.WineHost.processes_of(held["mark"])
    print(f"reported {took:.1f} s after the watch failed; processes of the run left: {left}")
    if took > 15:
        raise Failure(f"the watch's failure was reported {took:.0f} s after it happened")
    if left:
        raise Failure(f"processes of the run are left: {left}")


@scenario
def full_disk_while_writing_exe(ctx):
    """The installation on a small file system, mapped as drive F:, that holds
    the new script archive but not a second executable."""
    mount = ctx.host.state_dir / "full-disk"
    ctx.clean()
    try:
        with ctx.host.small_drive("f:", mount, "2m"):
            old_exe = ctx.standin("editor-outdated.exe")
            folder = mount / "ZEMLO"
            data = folder / "System" / "Data"
            data.mkdir(parents=True)
            (folder / "ZEMLO.exe").write_bytes(old_exe)
            (data / "Scripts.zmdata").write_bytes(ctx.standin("scripts-old.zmdata"))
            ctx.host.set_association(r'"F:\ZEMLO\ZEMLO.exe" "%1"')
            ctx.run("MsgConfirmUpdate", "MsgExeWriteFailed", answers=[True])
            check_same(folder / "ZEMLO.exe", old_exe, "ZEMLO.exe")
            check_same(data / "Scripts.zmdata", ctx.new_scripts, "Scripts.zmdata")
            check_only(folder, ["ZEMLO.exe", "System"])
            check_only(data, ["Scripts.zmdata"])
    except winehost.CannotMount as refused:
        raise Skipped(str(refused)) from refused
    finally:
        ctx.host.set_association(None)


# ---- safe to run elevated from a shared folder ---------------------------------------

# The libraries the program loads from the system folder before anything else,
# typed here independently of its sources.
PRELOADED = ["uxtheme.dll", "dwmapi.dll", "msimg32.dll", "version.dll", "cryptbase.dll",
             "cryptsp.dll", "profapi.dll", "userenv.dll", "propsys.dll", "sspicli.dll",
             "apphelp.dll", "oleacc.dll", "ntmarta.dll", "wintypes.dll", "windows.storage.dll",
             "kernel.appcore.dll", "textshaping.dll", "coremessaging.dll",
             "coreuicomponents.dll", "textinputframework.dll"]
# Wine's own libraries import these, so Wine loads them before a program's first
# instruction and nothing a program does changes where they come from: not planted.
LOADED_BY_WINE_AT_START = {"version.dll"}


def libraries_loaded_from(log, folder):
    """The libraries that a +loaddll trace shows loaded from folder (a C: path)."""
    paths = (p.replace("\\\\", "\\") for p in re.findall(r'Loaded L"([^"]+)"', log))
    return [p for p in paths if p.lower().startswith(folder.lower() + "\\")
            and p.lower().endswith(".dll")]


PLANTED_RECORD = r"C:\planted.log"  # where a planted library writes its path


def plant_libraries(ctx, folder):
    """Puts the planted library in folder under each preloaded name that Wine does
    not load itself, and removes its record. Returns the names, and the library
    overrides that take them from a program's own folder first, as Windows does."""
    names = [n for n in PRELOADED if n not in LOADED_BY_WINE_AT_START]
    for name in names:
        shutil.copy(ctx.host.planted_library(), folder / name)
    ctx.host.host_path(PLANTED_RECORD).unlink(missing_ok=True)
    overrides = "mscoree,mshtml=;" + ",".join(n[:-len(".dll")] for n in names) + "=n,b"
    return names, overrides


@scenario
def planted_libraries_are_not_loaded(ctx):
    """Started from a download folder that also holds libraries named like those
    that boxes and the shell load by name (and is the current folder), the
    updater loads none of them; a program without its care, there, does."""
    exe_file = ctx.install(ctx.default_exe, ctx.standin("editor-outdated.exe"),
                           ctx.standin("scripts-old.zmdata"), associate=False)
    downloads = ctx.host.host_path(r"C:\Downloads")
    downloads.mkdir()
    _, overrides = plant_libraries(ctx, downloads)
    shutil.copy(ctx.exe, downloads / "ZEMLOUpdater.exe")
    shutil.copy(ctx.host.helper_exe(), downloads / "control.exe")
    record = ctx.host.host_path(PLANTED_RECORD)
    options = {"env": {"WINEDLLOVERRIDES": overrides}, "debug": ",+loaddll", "cwd": downloads}

    control = ctx.host.run(downloads / "control.exe", args=["box"], **options)
    if not libraries_loaded_from(control.log, r"C:\Downloads") or not record.exists():
        raise Failure("the control program loaded no planted library: the test cannot see "
                      f"planting (exit code {control.exit_code})")
    record.unlink()

    result = ctx.run("MsgConfirmUpdate", "MsgUpdateDone", answers=[True],
                     exe=downloads / "ZEMLOUpdater.exe", **options)
    planted = libraries_loaded_from(result.log, r"C:\Downloads")
    if planted or record.exists():
        raise Failure(f"planted libraries loaded: {planted}, record: "
                      f"{record.read_text() if record.exists() else None}")
    check_same(exe_file, ctx.new_exe, "ZEMLO.exe")


VICTIM = r"C:\Victim\precious.bin"
VICTIM_BYTES = b"not the updater's to write " * 1000


# Each plant_* puts something at a temporary name and returns what must still be
# true of it afterwards.
def plant_symlink(ctx, path):
    path.symlink_to(ctx.host.host_path(VICTIM))
    return lambda: path.is_symlink()


def plant_symlink_to_a_leftover(ctx, path):
    """A link to a file that holds the first bytes of the image, as a leftover of
    the updater's does: Windows would show the link as a reparse point, Wine shows
    the file it points to, whose name is not the temporary name."""
    image = ctx.new_exe if path.name.startswith("ZEMLO.exe") else ctx.new_scripts
    target = ctx.host.host_path(VICTIM).with_name(path.name + ".part")
    target.write_bytes(image[:4096])
    path.symlink_to(target)
    return lambda: path.is_symlink() and target.read_bytes() == image[:4096]


def plant_hard_link(ctx, path):
    os.link(ctx.host.host_path(VICTIM), path)
    return lambda: path.samefile(ctx.host.host_path(VICTIM))


def plant_stale_file(ctx, path):
    path.write_bytes(b"left by an interrupted run")
    os.utime(path, (1e9, 1e9))
    return lambda: (path.read_bytes(), path.stat().st_mtime) == (b"left by an interrupted run", 1e9)


def left_alone(check):
    try:
        return check()
    except OSError:
        return False


def update_with_temporary_names_taken(ctx, plant, writing=False):
    """Something already has each file's usual temporary name; it is left exactly as
    it is, and the update completes under other names."""
    exe_file = ctx.install(TOOLS_EXE, ctx.standin("editor-outdated.exe"),
                           ctx.standin("scripts-old.zmdata"))
    scripts_file = ctx.scripts_file(TOOLS_EXE)
    victim = ctx.host.host_path(VICTIM)
    victim.parent.mkdir()
    victim.write_bytes(VICTIM_BYTES)
    taken = [f.with_name(f.name + ".zemlo-new") for f in (exe_file, scripts_file)]
    intact = [plant(ctx, path) for path in taken]
    with contextlib.ExitStack() as holds:
        if writing:
            for path in (TOOLS_EXE, TOOLS_EXE[:-len("ZEMLO.exe")] + r"System\Data\Scripts.zmdata"):
                holds.enter_context(ctx.host.holding(path + ".zemlo-new", how="write"))
        ctx.run("MsgConfirmUpdate", "MsgUpdateDone", answers=[True], env={"TZ": "UTC"})
    check_stamped(exe_file, "UTC")
    check_stamped(scripts_file, "UTC")
    check_same(exe_file, ctx.new_exe, "ZEMLO.exe")
    check_same(scripts_file, ctx.new_scripts, "Scripts.zmdata")
    check_same(victim, VICTIM_BYTES, "the file outside the installation")
    touched = [path.name for path, check in zip(taken, intact) if not left_alone(check)]
    if touched:
        raise Failure(f"what was at {touched} was not left as it was")
    check_only(exe_file.parent, ["ZEMLO.exe", "System", taken[0].name])
    check_only(scripts_file.parent, ["Scripts.zmdata", taken[1].name])
    ctx.run("MsgAlreadyUpdated")


@scenario
def temporary_names_are_symlinks(ctx):
    update_with_temporary_names_taken(ctx, plant_symlink)


@scenario
def temporary_names_are_symlinks_to_leftovers(ctx):
    update_with_temporary_names_taken(ctx, plant_symlink_to_a_leftover)


@scenario
def temporary_names_are_hard_links(ctx):
    update_with_temporary_names_taken(ctx, plant_hard_link)


@scenario
def temporary_names_are_stale_files(ctx):
    update_with_temporary_names_taken(ctx, plant_stale_file)


@scenario
def temporary_names_held_by_a_writer(ctx):
    update_with_temporary_names_taken(ctx, plant_stale_file, writing=True)


@scenario
def leftovers_of_interrupted_updates_are_removed(ctx):
    """Two updates cut off (the process killed) while a scanner holds a file that
    is to be replaced: each leaves that file's finished temporary file behind.
    Earlier updates cut off while writing left a part of an image and an empty
    file, and another program's file has a temporary name too. The next update
    removes what the updater provably left and nothing else."""
    exe_file = ctx.install(TOOLS_EXE, ctx.standin("editor-outdated.exe"),
                           ctx.standin("scripts-old.zmdata"))
    scripts_file = ctx.scripts_file(TOOLS_EXE)
    scripts_path = TOOLS_EXE[:-len("ZEMLO.exe")] + r"System\Data\Scripts.zmdata"
    for held_path, held in ((TOOLS_EXE, exe_file), (scripts_path, scripts_file)):
        def cut_at_the_refused_move(running, target=held.name + '"'):
            winehost.wait_for(lambda: running.ended() or
                              was_refused(running.log(), "kernel32.MoveFileExW", target),
                              f"a refused move over {held.name}")
            running.end()
        with ctx.host.holding(held_path, how="share"):
            cut = ctx.host.run(ctx.exe, answers=[True], watch=cut_at_the_refused_move)
        if cut.names() != ["MsgConfirmUpdate"] or not was_refused(
                cut.log, "kernel32.MoveFileExW", held.name + '"'):
            raise Failure(f"the update was not cut off at the move over {held.name}: {cut.names()}")
        print(f"cut off at the move over {held.name}, after {pauses_asked(cut.log)} ms of the "
              "program's 2000 ms of patience")
    exe_file.with_name("ZEMLO.exe.zemlo-new-2").write_bytes(ctx.new_exe[:100000])
    scripts_file.with_name("Scripts.zmdata.zemlo-new-2").write_bytes(b"")
    theirs = exe_file.with_name("ZEMLO.exe.zemlo-new-3")
    theirs.write_bytes(ctx.new_exe[:99999] + b"not the updater's")
    os.utime(theirs, (1e9, 1e9))
    print(f"after the cut-off updates: {listing(exe_file.parent)}, {listing(scripts_file.parent)}")

    ctx.run("MsgConfirmUpdate", "MsgUpdateDone", answers=[True], env={"TZ": "UTC"})
    print(f"after the next update: {listing(exe_file.parent)}, {listing(scripts_file.parent)}")
    check_stamped(exe_file, "UTC")
    check_stamped(scripts_file, "UTC")
    check_same(exe_file, ctx.new_exe, "ZEMLO.exe")
    check_same(scripts_file, ctx.new_scripts, "Scripts.zmdata")
    if theirs.stat().st_mtime != 1e9:
        raise Failure(f"{theirs.name} was touched")
    check_same(theirs, ctx.new_exe[:99999] + b"not the updater's", theirs.name)
    check_only(exe_file.parent, ["ZEMLO.exe", "System", theirs.name])
    check_only(scripts_file.parent, ["Scripts.zmdata"])
    ctx.run("MsgAlreadyUpdated")


@scenario
def seam_rules(ctx):
    """The Windows seam's own rules where a whole run cannot see them, checked by
    ZEMLOSeamTest.exe (built beside the updater) against this prefix: each
    registry value handed on in UTF-8 as a reference conversion says, with nothing
    written past the bytes offered, and the form each path takes; and the branches
    for systems this prefix is not: the library lock without default directories
    (run from a folder of planted libraries, each then loaded by name from the
    system folder), the entry check without the name query, and the switch on a
    token that has file virtualization on."""
    folder = ctx.host.host_path(r"C:\SeamTest")
    remove_tree(folder)
    folder.mkdir()
    program = folder / "ZEMLOSeamTest.exe"
    shutil.copy(Path(ctx.exe).with_name("ZEMLOSeamTest.exe"), program)
    names, overrides = plant_libraries(ctx, folder)
    env = {**ctx.host.env, "WINEDLLOVERRIDES": overrides}
    output = ctx.host.state_dir / "seam-test.log"
    record = ctx.host.host_path(PLANTED_RECORD)

    def seam_test(*args):
        record.unlink(missing_ok=True)
        with open(output, "wb") as out:  # a file, never a pipe: Wine services inherit it
            return subprocess.run(["wine", str(program), *args], env={**env, "WINEDEBUG": "+timestamp,+relay"},
                                  cwd=folder, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                  timeout=600).returncode

    seam_test("load", names[0])
    if not record.exists():
        raise Failure(f"a plain load of {names[0]} by name did not take the planted one: the "
                      "test cannot see planting")
    code = seam_test(*names)
    log = output.read_text(errors="replace")
    print("\n".join(line for line in log.splitlines() if not re.match(r"[0-9a-f]{4}:", line)))
    if record.exists():
        raise Failure("planted libraries were loaded after the lock without default "
                      f"directories: {record.read_text().split()}")
    if code != 0:
        raise Failure(f"ZEMLOSeamTest.exe exited with {code}")
    # The token answered on, off and not at all: switched off once, for the first.
    switched = [args for _, _, function, args in _RELAY_CALL.findall(log)
                if function == "SetTokenInformation" and int(args.split(",")[1], 16) == 24]
    if len(switched) != 1:
        raise Failure(f"virtualization switched off {len(switched)} times for the three answers, "
                      "wanted once")


_RELAY_CALL = re.compile(r"^[\d.]+:([0-9a-f]+):Call (\w+)\.(\w+)\(([^)]*)\)", re.MULTILINE)


SEM_FAILCRITICALERRORS = 0x0001
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x0800


@scenario
def process_set_up_before_the_run(ctx):
    """Before the run touches the registry or a file (and so before any box), the
    process sets the critical-error mode, for good, so that a drive without its
    medium brings up no system box; locks the library search to the system folder
    and takes the current folder out of it; asks whether its token has file
    virtualization and switches it off where it is on. (Its awareness of the
    screen's scaling is in the manifest, which the program-file check reads.)"""
    ctx.install(TOOLS_EXE, ctx.new_exe, ctx.standin("scripts-old.zmdata"))
    # The program's own calls are those of the thread that shows its box: Wine 10
    # starts it from a process of Wine's own that looks at the program's file first.
    relayed = list(_RELAY_CALL.finditer(ctx.run("MsgAlreadyUpdated").log))
    program = next(m.group(1) for m in relayed if m.group(3) == "MessageBoxA")
    calls = [(f"{m.group(2).lower()}.{m.group(3)}", m.group(4).split(","))
             for m in relayed if m.group(1) == program]
    run_starts = next(i for i, (name, args) in enumerate(calls)
                      if name in ("advapi32.RegOpenKeyExW", "kernel32.GetFileAttributesW",
                                  "msvcrt._wfopen") and "ZEMLO" in ",".join(args))
    first = calls[:run_starts]
    token_opened = any(name == "advapi32.OpenProcessToken" and int(args[1], 16) & 0x88 == 0x88
                       for name, args in first)
    asked = any(name == "advapi32.GetTokenInformation" and int(args[1], 16) == 24
                for name, args in first)
    switched_off = any(name == "advapi32.SetTokenInformation" and int(args[1], 16) == 24
                       for name, args in first)

    def called(function, wanted=lambda args: True):
        """Where the program first calls function (kernel32's or kernelbase's) as
        wanted, or None."""
        return next((i for i, (name, args) in enumerate(calls)
                     if name.split(".")[1] == function and wanted(args)), None)
    system_folder_only = called("SetDefaultDllDirectories",
                                lambda args: int(args[0], 16) == LOAD_LIBRARY_SEARCH_SYSTEM32)
    current_folder_out = called("SetDllDirectoryW", lambda args: args[0].endswith(' L""'))
    modes = [(i, int(args[0], 16)) for i, (name, args) in enumerate(calls)
             if name.split(".")[1] == "SetErrorMode"]
    quiet_from = next((i for i, mode in modes if mode & SEM_FAILCRITICALERRORS), None)
    restored = quiet_from is not None and any(i > quiet_from and not mode & SEM_FAILCRITICALERRORS
                                              for i, mode in modes)
    locked_at = [i for i in (system_folder_only, current_folder_out) if i is not None]
    enabled = ctx.host.wine(str(ctx.host.helper_exe()), "virtualization", check=False)
    print("file virtualization as this prefix reports it to a process: "
          f"{ {0: 'off', 1: 'on'}.get(enabled, f'cannot tell ({enabled})') }")
    print(f"error modes set: {[f'{mode:#x}' for _, mode in modes]}")
    if not (token_opened and asked) or (enabled == 1 and not switched_off):
        raise Failure(f"before the run's first registry or file call: {[n for n, _ in first]}")
    if system_folder_only is None or system_folder_only > run_starts:
        raise Failure("the library search was not set to the system folder "
                      "(SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) before the run")
    if current_folder_out is None or current_folder_out > run_starts:
        raise Failure('the current folder was not taken out of the library search '
                      '(SetDllDirectoryW(L"")) before the run')
    if quiet_from is None or quiet_from > min(locked_at + [run_starts]) or restored:
        raise Failure("the critical-error mode is not in force from before the first library "
                      f"or file call to the end: modes {[f'{mode:#x}' for _, mode in modes]}")


# ANSI code page 1252, as on a Western Windows: no locale to generate.
WESTERN = {"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}


def western():
    if subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower().count(
            "c.utf8") == 0:
        raise Skipped("no C.UTF-8 locale on this machine")
    return WESTERN


@scenario
def boxes_read_right_under_code_page_1252(ctx):
    """Where the ANSI code page is not 932, every box is shown through MessageBoxW
    with the table's text converted from 932: exactly the table's characters."""
    env = western()
    exe_file = ctx.install(TOOLS_EXE, ctx.standin("editor-outdated.exe"),
                           ctx.standin("scripts-old.zmdata"))
    ctx.run("MsgConfirmUpdate", "MsgUpdateDone", answers=[True], env=env, api="W")
    check_same(exe_file, ctx.new_exe, "ZEMLO.exe")
    ctx.run("MsgAlreadyUpdated", env=env, api="W")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--state", help="folder for the prefix, display and logs")
    parser.add_argument("--exe", help="ZEMLOUpdater.exe to test")
    parser.add_argument("--standins", help="folder of the stand-in editor files")
    parser.add_argument("--release-exe", help="the executable the updater carries")
    parser.add_argument("--release-scripts", help="the script archive the updater carries")
    parser.add_argument("--windows-version", default="win10",
                        help="the Windows the prefix reports: winxp, win7, win10, or win10-64 "
                             "or win11-64 for a 64-bit one")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("prepare")
    sub.add_parser("shutdown")
    sub.add_parser("list")
    guard = sub.add_parser("guard")
    guard.add_argument("owner", type=int)
    guard.add_argument("owner_started", type=int)
    run = sub.add_parser("run")
    run.add_argument("name", choices=sorted(SCENARIOS))
    run.add_argument("--deadline", type=int,
                     help="seconds after which the driver ends its runs and fails: less than "
                          "CTest's time-out, which would kill the driver with no chance to")
    args = parser.parse_args()

    if args.command == "list":
        print(";".join(name for name in SCENARIOS if name not in IN_ONE_PREFIX))
        return 0
    host = winehost.WineHost(args.state, args.windows_version)
    if args.command == "prepare":
        winehost.require_tools()
        host.prepare()
        host.start_guard([str(Path(__file__).resolve()), "--state", args.state,
                          "--windows-version", args.windows_version, "guard"], os.getppid())
        return 0
    if args.command == "shutdown":
        host.shutdown()
        return 0
    if args.command == "guard":
        host.guard(args.owner, args.owner_started)
        return 0

    host.prepare()  # a no-op when the fixture already did it
    host.log_name = args.name
    end_runs_on_signals(host)
    if args.deadline:
        signal.alarm(args.deadline)
    try:
        for attempt in (1, 2):
            try:
                SCENARIOS[args.name](Context(host, args.exe, args.standins, args.release_exe,
                                             args.release_scripts))
                break
            except winehost.DisplayFailure as failure:
                # Each scenario sets its installation up afresh, so it can run again.
                if attempt == 2:
                    raise Failure(str(failure)) from failure
                print(f"retrying {args.name}: {failure}")
    except Failure as failure:
        print(f"FAILED {args.name}: {failure}")
        return 1
    except Skipped as skipped:
        print(f"SKIPPED {args.name}: {skipped}")
        return SKIPPED
    except EndedFromOutside as ended:
        host.end_every_run()
        why = "its deadline passed" if str(ended) == "SIGALRM" else f"{ended} ended it"
        print(f"FAILED {args.name}: {why}; every run it started was ended", flush=True)
        # Threads of the scenario still waiting on the runs just ended are not waited for.
        os._exit(1)
    print(f"passed {args.name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""How the release command talks and runs what it runs: one line a step, a
failure that names the option or input it concerns on its first line, and child
processes that end with the command, however it ends."""

import os
import signal
import subprocess
import time
from pathlib import Path


class StepFailed(Exception):
    """A refusal or failure, its first line in the vendor's terms."""


class Interrupted(BaseException):
    """A signal ended the command: cleaned up like any failure, never taken for a step's."""


def say(text):
    print(f"release: {text}", flush=True)


def end_on_signals():
    """SIGTERM and SIGHUP end the command as Ctrl-C does: through every clean-up."""
    def interrupted(number, _frame):
        raise Interrupted(signal.Signals(number).name)
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, interrupted)


def run(command, log, **options):
    """Runs command with its output appended to log. It runs in a process group of
    its own, ended whole (CTest's tests, a build's compilers and signer) when the
    command is interrupted, so that nothing goes on writing after the clean-up.
    StepFailed, with what the log says, when it fails."""
    with open(log, "ab") as out:
        out.write(f"$ {' '.join(str(part) for part in command)}\n".encode())
        out.flush()
        started = out.tell()
        process = subprocess.Popen([str(part) for part in command], stdout=out, stderr=out,
                                   stdin=subprocess.DEVNULL, start_new_session=True, **options)
        try:
            code = process.wait()
        except BaseException:
            end_group(process)
            raise
    if code != 0:
        said = Path(log).read_bytes()[started:].decode(errors="replace")
        raise StepFailed(f"{Path(command[0]).name} exited with {code}: {cause(said)} (all of it "
                         f"in {log})")


def end_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except OSError:
        pass  # ended meanwhile
    process.wait()


def cause(said):
    """The cause of a failure in a command's output, on one line: CMake's own
    error message where there is one (its lines joined), else the last line."""
    lines = said.splitlines()
    for at, line in enumerate(lines):
        if line.startswith("CMake Error"):
            message = []
            for text in lines[at + 1:]:
                if text.startswith("Call Stack"):
                    break
                if not text.strip():
                    if message:
                        break
                    continue
                message.append(text.strip())
            if message:
                return " ".join(message)
    last = [line.strip() for line in lines if line.strip()]
    return last[-1] if last else "no output"


def output_of(*command, env=None):
    """(exit code, what the command printed, stdout then stderr)."""
    result = subprocess.run([str(part) for part in command], capture_output=True, env=env)
    return result.returncode, (result.stdout + result.stderr).decode(errors="replace")


def step(number, steps, what, action):
    """One line for the step: what it does, then how it ended."""
    print(f"release: [{number}/{steps}] {what} ... ", end="", flush=True)
    started = time.monotonic()
    try:
        result = action()
    except StepFailed as failure:
        print(f"FAILED\nrelease: step {number} of {steps} failed ({what}): {failure}", flush=True)
        raise
    except BaseException:
        print("INTERRUPTED", flush=True)
        raise
    told = f": {result}" if isinstance(result, str) and "\n" not in result else ""
    print(f"done in {time.monotonic() - started:.0f} s{told}", flush=True)
    return result

"""The output folder: touched only by a run that passed, and then so that a cut at
any moment leaves the old program and record or the new ones. Both are written
under temporary names beside their places and made durable, then renamed: the
program, then the record. A run cut between the two renames leaves the new
record under its temporary name; the next run into the folder finishes that
rename first, since that record names the program in place."""

import hashlib
import os
from pathlib import Path

from steps import StepFailed, say

PROGRAM = "ZEMLOUpdater.exe"
RECORD = "ZEMLOUpdater.exe.release.txt"
PENDING = ".pending"  # suffix of the files a placement is writing


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def finish_interrupted_placement(out):
    """A placement cut between its two renames left its record pending: where that
    record names the program now in place, it is put in place too; anything else
    pending is what a cut left before the program moved, and is removed."""
    program, record = out / PROGRAM, out / RECORD
    pending_program, pending_record = _pending(program), _pending(record)
    pending_program.unlink(missing_ok=True)
    if pending_record.exists():
        if program.exists() and sha256(program) in pending_record.read_text(errors="replace"):
            os.replace(pending_record, record)
            _sync_folder(out)
            say(f"finished placing {record.name} in {out}, which a cut-off run had left pending")
        else:
            pending_record.unlink()


def check_output(out, replace):
    """Refuses, before anything else, to replace a program that may already be
    shipped, unless told --replace. Returns the SHA-256 of the program there, or
    None."""
    if out.exists() and not out.is_dir():
        raise StepFailed(f"--out {out}: not a folder")
    if out.exists():
        finish_interrupted_placement(out)
    program = out / PROGRAM
    if not program.exists():
        return None
    there = sha256(program)
    if not replace:
        raise StepFailed(f"--out {out}: already holds {PROGRAM} (SHA-256 {there}), which may be "
                         "shipped already; give --replace to replace it, or another --out")
    return there


def place(signed, text, out):
    """Puts the signed program and its record in out, the record last. Returns the
    places."""
    out.mkdir(parents=True, exist_ok=True)
    program, record = out / PROGRAM, out / RECORD
    pending_program, pending_record = _pending(program), _pending(record)
    moved = False
    try:
        _write_durably(pending_program, Path(signed).read_bytes())
        _write_durably(pending_record, text.encode())
        _sync_folder(out)
        os.replace(pending_program, program)
        moved = True
        os.replace(pending_record, record)
        _sync_folder(out)
    except BaseException:
        # Before the program moved nothing in place changed; after it, the record
        # follows it now, or at the next run (finish_interrupted_placement).
        if not moved:
            pending_record.unlink(missing_ok=True)
            pending_program.unlink(missing_ok=True)
        elif pending_record.exists():
            try:
                os.replace(pending_record, record)
            except OSError:
                pass
        raise
    return program, record


def _pending(path):
    return path.with_name(path.name + PENDING)


def _write_durably(path, data):
    with open(path, "wb") as file:
        file.write(data)
        file.flush()
        os.fsync(file.fileno())


def _sync_folder(folder):
    descriptor = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)

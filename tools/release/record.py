"""The release record: what the program is (its SHA-256), who signed it and which
authority stamped it, the source and the tests, every input with its SHA-256,
word sum, class and version, the images' checksums and the tools the build
used."""

import datetime
import re
import zlib
from pathlib import Path

import signature
from inputs import file_version, pe_time_stamp, version_text
from placing import sha256
from proof import PROJECT
from steps import output_of


def first_line(*command):
    code, said = output_of(*command)
    return said.strip().splitlines()[0] if code == 0 and said.strip() else "unknown"


def osslsigncode_version():
    """"osslsigncode 2.9, using: OpenSSL 3.0.13 ..." on one line."""
    _, said = output_of("osslsigncode", "--version")
    lines = said.strip().splitlines()[:2]
    return " ".join(line.strip() for line in lines) or "unknown"


def tool_versions(compiler):
    zlib_header = Path("/usr/i686-w64-mingw32/include/zlib.h")
    found = re.search(r'#define ZLIB_VERSION "([^"]+)"', zlib_header.read_text()) \
        if zlib_header.exists() else None
    compiler = compiler or "i686-w64-mingw32-g++-win32"
    return [("compiler", f"{Path(compiler).name}: {first_line(compiler, '--version')}"),
            ("binutils", first_line("i686-w64-mingw32-ld", "--version")),
            ("zlib", f"{found.group(1)} (mingw-w64's, linked in)" if found else "unknown"),
            ("osslsigncode", osslsigncode_version())]


def source_commit():
    code, commit = output_of("git", "-C", PROJECT, "rev-parse", "HEAD")
    if code != 0:
        return "unknown: not a git checkout"
    _, changes = output_of("git", "-C", PROJECT, "status", "--porcelain", "--untracked-files=no")
    return commit.strip() + (" with uncommitted changes" if changes.strip() else "")


def _version(path):
    """The file version, or where there is none what a person can compare instead."""
    version = file_version(path)
    if version:
        return f"version {version_text(version)}"
    stamp = pe_time_stamp(path)
    linked = datetime.datetime.fromtimestamp(stamp, datetime.timezone.utc).strftime(
        "%Y-%m-%d %H:%M UTC") if stamp else "no PE time stamp"
    return f"no version resource; linked {linked}, {Path(path).stat().st_size} bytes"


def release_record(program, args, sums_file, said, expiry, tests, authority, compiler):
    sums = {}
    for line in Path(sums_file).read_text().splitlines():
        kind, value, path = line.split("\t", 2)
        sums[path] = (value, kind)
    lines = ["ZEMLO Updater release record",
             f"written       {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M:%S} UTC",
             f"program       {sha256(program)}  {Path(program).stat().st_size} bytes  "
             f"{Path(program).name}",
             f"signed by     {signature.signer(said) or 'unknown'}, certificate "
             f"valid until {expiry:%Y-%m-%d %H:%M} UTC",
             f"time stamp    {signature.stamp_time(said) or 'unknown'}, by {authority}",
             f"source        {source_commit()}",
             f"tests         {tests}",
             "",
             "inputs (SHA-256, word sum, class as this updater sees it, version)"]
    for role, path in [("new executable", args.exe)] + [("earlier executable", old) for old in args.old]:
        value, kind = sums.get(str(path.resolve()), ("?", "?"))
        lines.append(f"  {role:<22} {sha256(path)}  {value}  {kind:<8}  {path}  ({_version(path)})")
    lines.append(f"  {'new script archive':<22} {sha256(args.scripts)}  {'':<10}  {'':<8}  {args.scripts}")
    for path in args.old_scripts:
        lines.append(f"  {'earlier script archive':<22} {sha256(path)}  {'':<10}  {'tests':<8}  {path}")
    lines += ["", "images embedded (CRC-32, checked by the updater before it asks)",
              f"  ZEMLO.exe       0x{zlib.crc32(args.exe.read_bytes()):08X}  "
              f"{args.exe.stat().st_size} bytes",
              f"  Scripts.zmdata  0x{zlib.crc32(args.scripts.read_bytes()):08X}  "
              f"{args.scripts.stat().st_size} bytes",
              "", "tools"]
    lines += [f"  {name:<13} {version}" for name, version in tool_versions(compiler)]
    return "\n".join(lines) + "\n"

"""The release's inputs, checked in seconds before anything is built: every file
there and readable, every program a Windows program, the signing options whole,
no PIN in a key URI, and the new executable newer than every earlier one where
their version resources tell."""

import struct
import urllib.parse
from pathlib import Path

from steps import StepFailed


def check_inputs(args):
    files = [("--exe", args.exe), ("--scripts", args.scripts)]
    files += [("--old", old) for old in args.old] + [("--old-scripts", s) for s in args.old_scripts]
    if args.verify:
        files.append(("--verify", args.verify))
    else:
        files.append(("--password-file", args.password_file))
        files += [(name, value) for name, value in (("--pkcs12", args.pkcs12),
                                                    ("--pkcs11-module", args.pkcs11_module),
                                                    ("--certs", args.certs)) if value]
    files += [(name, value) for name, value in (("--ca-file", args.ca_file),
                                                ("--tsa-ca-file", args.tsa_ca_file)) if value]
    for option, path in files:
        if path is None:
            raise StepFailed(f"{option}: not given")
        if not path.is_file():
            raise StepFailed(f"{option} {path}: there is no such file")
        try:
            with open(path, "rb") as file:
                file.read(1)
        except OSError as error:
            raise StepFailed(f"{option} {path}: cannot be read ({error.strerror})") from error
    for option, path in [("--exe", args.exe), ("--verify", args.verify)] + \
            [("--old", old) for old in args.old]:
        if path is not None and path.read_bytes()[:2] != b"MZ":
            raise StepFailed(f"{option} {path}: not a Windows program (it does not start with MZ)")
    if args.old_scripts and len(args.old_scripts) != len(args.old):
        raise StepFailed(f"--old-scripts: {len(args.old_scripts)} given for {len(args.old)} --old; "
                         "give one script archive for each earlier executable, in the same "
                         "order, or none")
    if args.verify:
        return
    if not args.password_file.read_text(errors="replace").split("\n")[0].strip("\r"):
        raise StepFailed(f"--password-file {args.password_file}: its first line is empty; it must "
                         "hold the token's PIN or the PKCS#12 password there")
    if bool(args.pkcs12) == bool(args.pkcs11_module or args.key or args.certs):
        raise StepFailed("--pkcs12 or --pkcs11-module: sign with --pkcs12, or with "
                         "--pkcs11-module, --key and --certs")
    if args.pkcs11_module:
        if not (args.key and args.key.startswith("pkcs11:")):
            raise StepFailed(f"--key {args.key or ''}: a key in a token is named by a PKCS#11 "
                             "URI (pkcs11:...)")
        if not args.certs:
            raise StepFailed("--certs: a key in a token needs its certificate chain as a PEM file")
        attributes = uri_attributes(args.key)
        for secret in ("pin-value", "pin-source"):
            if secret in attributes:
                raise StepFailed(f"--key: it holds {secret}: give the PIN in --password-file "
                                 "only, so that it stays out of the build's cache, the command "
                                 "line and the signing log")
    if not args.timestamp_url:
        raise StepFailed("--timestamp-url: none given; a signature without a time stamp stops "
                         "verifying the day the certificate expires")


def _uri_parts(uri):
    """(name, value as written) of each attribute of a PKCS#11 URI, path and query."""
    path, _, query = uri[len("pkcs11:"):].partition("?")
    for part in path.split(";") + query.split("&"):
        name, equals, value = part.partition("=")
        if equals:
            yield name.strip(), value


def uri_attributes(uri):
    """The attributes of a PKCS#11 URI by name, decoded as text."""
    return {name: urllib.parse.unquote(value) for name, value in _uri_parts(uri)}


def uri_id(uri):
    """The id attribute of a PKCS#11 URI as hexadecimal, as pkcs11-tool lists it
    ("" where there is none): its bytes are percent-encoded, any value."""
    return next((urllib.parse.unquote_to_bytes(value).hex() for name, value in _uri_parts(uri)
                 if name == "id"), "")


# ---- Versions ---------------------------------------------------------------------

def file_version(path):
    """The file version of a Windows program's version resource (VS_FIXEDFILEINFO),
    as four numbers, or None where it carries none or is no PE image."""
    data = Path(path).read_bytes()
    try:
        resources = _version_resource(data)
    except (struct.error, IndexError):
        return None
    if resources is None:
        return None
    at = data.find(struct.pack("<I", 0xFEEF04BD), resources[0], resources[1])
    if at < 0:
        return None
    most, least = struct.unpack_from("<II", data, at + 8)
    return (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF)


def _version_resource(data):
    """Where the first version resource (type 16) lies in the file: (start, end)."""
    if data[:2] != b"MZ":
        return None
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if data[header:header + 4] != b"PE\0\0":
        return None
    sections, optional_size = struct.unpack_from("<H", data, header + 6)[0], \
        struct.unpack_from("<H", data, header + 20)[0]
    optional = header + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    if struct.unpack_from("<I", data, directories - 4)[0] < 3:
        return None  # fewer data directories than the resource table's
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    table = optional + optional_size

    def offset(rva):
        for n in range(sections):
            size, address, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * n + 8)
            if address <= rva < address + max(size, raw_size):
                return rva - address + raw
        return None

    root = offset(resource_rva) if resource_rva else None
    if root is None:
        return None

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", data, directory + 12)
        return [struct.unpack_from("<II", data, directory + 16 + 8 * n)
                for n in range(named + numbered)]

    for name, target in entries(root):
        if name != 16 or not target & 0x80000000:
            continue
        # Below the type, the first name; below it, the first language: a data entry.
        names = entries(root + (target & 0x7FFFFFFF))
        if not names or not names[0][1] & 0x80000000:
            return None
        leaves = entries(root + (names[0][1] & 0x7FFFFFFF))
        if not leaves or leaves[0][1] & 0x80000000:
            return None
        rva, size = struct.unpack_from("<II", data, root + leaves[0][1])
        start = offset(rva)
        return None if start is None else (start, start + size)
    return None


def pe_time_stamp(path):
    """The PE header's link time stamp (seconds since 1970), or None."""
    data = Path(path).read_bytes()[:4096]
    try:
        header = struct.unpack_from("<I", data, 0x3C)[0]
        if data[header:header + 4] != b"PE\0\0":
            return None
        return struct.unpack_from("<I", data, header + 8)[0]
    except struct.error:
        return None


def version_text(version):
    return ".".join(str(part) for part in version) if version else "none"


def check_release_order(args):
    """The new executable's file version is above every earlier one's. Where the
    programs carry no version resource the order cannot be checked: the record
    then shows each one's PE time stamp and size for a person to look at.
    Returns what the step line says."""
    new = file_version(args.exe)
    olds = [(old, file_version(old)) for old in args.old]
    if new is None or any(version is None for _, version in olds):
        return "the order of the releases cannot be checked: not every executable has a " \
               "version resource (see the record)"
    for old, version in olds:
        if version >= new:
            raise StepFailed(f"--exe {args.exe} is version {version_text(new)}, not newer than "
                             f"--old {old}, version {version_text(version)}: are --exe and --old "
                             "swapped? An updater made so would put an older editor over a "
                             "newer one")
    return f"new release {version_text(new)}, above " + \
        ", ".join(version_text(version) for _, version in olds)

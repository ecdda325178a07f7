#!/usr/bin/env python3
"""Checks the shipped ZEMLOUpdater.exe as a file: a 32-bit Windows GUI program
that imports only the DLLs every Windows since XP has, is hardened (ASLR, DEP,
no writable code), carries its icon group and application manifest exactly, and
holds both release images byte for byte.

    check_program_file.py EXE ICO RELEASE_EXE RELEASE_SCRIPTS
"""

import struct
import sys
import xml.etree.ElementTree as ET
import zlib
from pathlib import Path

from pefile_lite import ProgramFile

RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
JAPANESE, ENGLISH_US = 1041, 1033
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "msvcrt.dll"}
# (width, height, bits per pixel, stored as PNG) in the order of the group.
ICON_IMAGES = [(32, 32, 8, False), (16, 16, 8, False), (256, 256, 32, True),
               (48, 48, 32, False), (32, 32, 32, False), (16, 16, 32, False)]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
NS = "{urn:schemas-microsoft-com:asm.v1}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
ASMV3 = "{urn:schemas-microsoft-com:asm.v3}"
WINDOWS_SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
# The identifiers Windows publishes for Vista, 7, 8, 8.1 and 10 (11 takes 10's).
SUPPORTED_OS = ["{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]
MANIFEST = {
    "assembly": {"manifestVersion": "1.0"},
    "assemblyIdentity": {"version": "1.0.0.0", "processorArchitecture": "X86",
                         "name": "Kestramoor.ZEMLOUpdater.ZEMLOUpdater", "type": "win32"},
    "dependentAssembly/assemblyIdentity": {
        "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
        "processorArchitecture": "X86", "publicKeyToken": "6595b64144ccf1df", "language": "*"},
}

RELOCS_STRIPPED = 0x0001                 # file header characteristics
DYNAMIC_BASE, NX_COMPAT = 0x0040, 0x0100  # optional header DLL characteristics
SECTION_EXECUTE, SECTION_WRITE = 0x20000000, 0x80000000

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def ico_images(ico):
    """The images of an .ico file, in order."""
    _, kind, count = struct.unpack_from("<HHH", ico, 0)
    images = []
    for i in range(count):
        size, offset = struct.unpack_from("<II", ico, 6 + 16 * i + 8)
        images.append(ico[offset:offset + size])
    return images


def check_header(program):
    check(program.machine == 0x14C, f"machine {program.machine:#x}, not i386")
    check(program.subsystem == 2, f"subsystem {program.subsystem}, not Windows GUI (2)")
    check(program.timestamp == 0, f"link time stamp {program.timestamp:#x}; builds would differ")
    check(program.directories[4] == (0, 0), "signed, though the build was given no certificate")
    dlls = {name.lower() for name in program.imports()}
    check(dlls <= ALLOWED_DLLS, f"imports {sorted(dlls - ALLOWED_DLLS)} beyond {sorted(ALLOWED_DLLS)}")


def check_hardening(program):
    """ASLR (a movable image that keeps its relocations), DEP, and no section
    that is writable and executable at once."""
    check(program.dll_characteristics & DYNAMIC_BASE, "no ASLR: DYNAMIC_BASE is not set")
    check(not program.characteristics & RELOCS_STRIPPED and program.directories[5][1] > 0,
          "relocations stripped: the system cannot move the program")
    check(program.dll_characteristics & NX_COMPAT, "no DEP: NX_COMPAT is not set")
    both = [name for name, *_, flags in program.sections
            if flags & SECTION_WRITE and flags & SECTION_EXECUTE]
    check(not both, f"sections both writable and executable: {both}")


def check_icons(resources, ico):
    groups = [key for key in resources if key[0] == RT_GROUP_ICON]
    if not check(groups == [(RT_GROUP_ICON, 9001, JAPANESE)],
                 f"icon groups {groups}, wanted exactly id 9001 in language 1041"):
        return
    group = resources[groups[0]]
    _, kind, count = struct.unpack_from("<HHH", group, 0)
    if not check(kind == 1 and count == len(ICON_IMAGES), f"icon group of {count} images"):
        return
    expected_images = ico_images(ico)
    icons = {key[1]: data for key, data in resources.items() if key[0] == RT_ICON}
    check(all(key[2] == JAPANESE for key in resources if key[0] == RT_ICON),
          "icon images not in language 1041")
    check(len(icons) == len(ICON_IMAGES), f"{len(icons)} icon images in the file")
    for i, (width, height, bits, is_png) in enumerate(ICON_IMAGES):
        w, h, colours, _, planes, bit_count, size, ident = struct.unpack_from(
            "<BBBBHHIH", group, 6 + 14 * i)
        what = f"icon image {i + 1} ({width}x{height}, {bits}-bit)"
        check((w or 256, h or 256, bit_count) == (width, height, bits),
              f"{what}: the group lists {w}x{h} {bit_count}-bit")
        data = icons.get(ident)
        if not check(data is not None and len(data) == size, f"{what}: no image {ident} of {size} bytes"):
            continue
        check(data == expected_images[i], f"{what}: differs from ZEMLOUpdater.ico")
        if is_png:
            check(data.startswith(PNG_SIGNATURE), f"{what}: not stored as PNG")
            png_w, png_h, depth, colour = struct.unpack_from(">IIBB", data, 16)
            check((png_w, png_h, depth, colour) == (256, 256, 8, 6), f"{what}: PNG is not 256x256 RGBA")
        else:
            _, dib_w, dib_h, _, dib_bits = struct.unpack_from("<IiiHH", data, 0)
            check((dib_w, dib_h, dib_bits) == (width, 2 * height, bits),
                  f"{what}: bitmap is {dib_w}x{dib_h // 2} {dib_bits}-bit")
            if bits == 8:
                used = struct.unpack_from("<I", data, 32)[0]
                check(used in (0, 256), f"{what}: palette of {used} colours, not 256")


def check_manifest(resources):
    manifests = [key for key in resources if key[0] == RT_MANIFEST]
    if not check(manifests == [(RT_MANIFEST, 1, ENGLISH_US)],
                 f"manifests {manifests}, wanted exactly id 1 in language 1033"):
        return
    root = ET.fromstring(resources[manifests[0]])
    check(root.tag == NS + "assembly", f"root element {root.tag}")
    check(root.attrib == MANIFEST["assembly"], f"assembly attributes {root.attrib}")
    children = [child.tag.replace(NS, "").replace(COMPAT, "compat:").replace(ASMV3, "asmv3:")
                for child in root]
    check(children == ["assemblyIdentity", "description", "dependency", "compat:compatibility",
                       "asmv3:application"],
          f"assembly holds {children}; no execution level or other element belongs there")
    # System DPI awareness from the process's creation, before any library can
    # cache the scaling: the one setting of the application section.
    applications = root.findall(f"{ASMV3}application")
    settings = [(windows.tag, child.tag, child.text)
                for application in applications for windows in application for child in windows]
    check(len(applications) == 1 and settings == [
              (f"{ASMV3}windowsSettings", f"{WINDOWS_SETTINGS_2005}dpiAware", "true")],
          f"application settings {settings}, wanted the 2005 dpiAware true alone")
    # Declared for every Windows that reads the section, so that the compatibility
    # assistant never takes a run that adds no installed program for a failed setup.
    compatibility = root.findall(f"{COMPAT}compatibility/{COMPAT}application")
    declared = [(child.tag.replace(COMPAT, ""), child.attrib)
                for application in compatibility for child in application]
    check(len(compatibility) == 1 and declared == [("supportedOS", {"Id": i}) for i in SUPPORTED_OS],
          f"compatibility section declares {declared}")
    identity = root.find(NS + "assemblyIdentity")
    check(identity is not None and identity.attrib == MANIFEST["assemblyIdentity"],
          f"assemblyIdentity {None if identity is None else identity.attrib}")
    description = root.find(NS + "description")
    check(description is not None and description.text == "ZEMLO Updater",
          "description is not 'ZEMLO Updater'")
    dependents = root.findall(f"{NS}dependency/{NS}dependentAssembly")
    if check(len(dependents) == 1 and len(root.findall(NS + "dependency")) == 1,
             "not exactly one dependency"):
        inner = [child.tag.replace(NS, "") for child in dependents[0]]
        check(inner == ["assemblyIdentity"], f"dependentAssembly holds {inner}")
        attributes = dependents[0][0].attrib if inner else {}
        check(attributes == MANIFEST["dependentAssembly/assemblyIdentity"],
              f"common controls dependency {attributes}")
    check(b"requestedExecutionLevel" not in resources[manifests[0]], "an execution level is requested")


def main():
    exe, ico, release_exe, release_scripts = (Path(p) for p in sys.argv[1:5])
    data = exe.read_bytes()
    program = ProgramFile(data)
    resources = program.resources()
    check_header(program)
    check_hardening(program)
    kinds = sorted({key[0] for key in resources})
    check(kinds == [RT_ICON, RT_GROUP_ICON, RT_MANIFEST], f"resource types {kinds}")
    check_icons(resources, ico.read_bytes())
    check_manifest(resources)

    images = [release_exe.read_bytes(), release_scripts.read_bytes()]
    for path, image in zip((release_exe, release_scripts), images):
        at = data.find(image)
        check(at >= 0, f"{path.name} is not in the program byte for byte")
        # Its checksum follows it, after its length, for the check before the question.
        checksum = struct.pack("<I", zlib.crc32(image))
        check(data.find(checksum, at + len(image)) >= 0,
              f"the CRC-32 of {path.name} ({zlib.crc32(image):#010x}) is not in the program")
    icon_bytes = sum(len(d) for key, d in resources.items() if key[0] in (RT_ICON, RT_GROUP_ICON))
    overhead = len(data) - sum(len(i) for i in images) - icon_bytes
    print(f"{exe.name}: {len(data):,} bytes; images {sum(len(i) for i in images):,}, icon "
          f"{icon_bytes:,}, everything else {overhead:,} bytes ({overhead / 1024:.1f} KiB)")

    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

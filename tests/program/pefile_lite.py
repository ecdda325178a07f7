"""Reads what the tests check in a 32-bit Windows program file: the header
fields, the imported DLLs and the resource tree. Just enough of the PE format
for ZEMLOUpdater.exe, with no packages beyond the standard library."""

import struct


class PeError(Exception):
    pass


class ProgramFile:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PeError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        (self.machine, sections, self.timestamp, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        if self.magic != 0x10B:
            raise PeError("not a PE32 (32-bit) program")
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        count = struct.unpack_from("<I", data, optional + 92)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 96 + 8 * i)
                            for i in range(count)]
        self.sections = []  # (name, rva, size, file offset, characteristics)
        table = optional + optional_size
        for i in range(sections):
            name, vsize, rva, raw_size, raw_offset = struct.unpack_from("<8sIIII", data,
                                                                         table + 40 * i)
            flags = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
            self.sections.append((name.rstrip(b"\0").decode(), rva, max(vsize, raw_size),
                                  raw_offset, flags))

    def offset(self, rva):
        for _, start, size, raw, _ in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise PeError(f"RVA {rva:#x} lies in no section")

    def c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """The names of the imported DLLs."""
        rva, _ = self.directories[1]
        names = []
        at = self.offset(rva)
        while True:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, at)
            if not (lookup or name or thunks):
                return names
            names.append(self.c_string(name))
            at += 20

    def resources(self):
        """{(type, name, language): bytes} for every resource, ids as numbers."""
        rva, _ = self.directories[2]
        if rva == 0:
            return {}
        base = self.offset(rva)
        found = {}

        def walk(table, path):
            named, numbered = struct.unpack_from("<HH", self.data, base + table + 12)
            for i in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data, base + table + 16 + 8 * i)
                if ident & 0x80000000:
                    at = base + (ident & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, at)[0]
                    ident = self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, path + (ident,))
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    found[path + (ident,)] = self.data[start:start + size]

        walk(0, ())
        return found

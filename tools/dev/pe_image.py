#!/usr/bin/python3
"""What a Windows image must be to ship, read from its PE headers.

    pe_image.py driver FILE          ZHP.sys: a kernel-mode driver
    pe_image.py program FILE         zhpctl.exe: a user-mode program

Prints one line of facts about the image and one line per fault, and exits 1
when there is a fault (2 when the file is not a PE image at all).

A driver must: be a native-subsystem image; import only from ntoskrnl.exe and
HAL.dll; export nothing; carry x64 unwind data (an exception directory whose
entries point into .xdata), so crash dumps and exception dispatch can walk its
frames; keep its base relocations, so the loader can place it anywhere; and
carry the correct PE checksum. A program must import only from Windows system
DLLs.
"""

import struct
import sys

DRIVER_IMPORTS = {"ntoskrnl.exe", "hal.dll"}
PROGRAM_IMPORTS = {
    "kernel32.dll", "advapi32.dll", "msvcrt.dll", "user32.dll", "ws2_32.dll", "ntdll.dll",
    "api-ms-win-crt-runtime-l1-1-0.dll", "api-ms-win-crt-stdio-l1-1-0.dll",
    "api-ms-win-crt-string-l1-1-0.dll", "api-ms-win-crt-heap-l1-1-0.dll",
    "api-ms-win-crt-private-l1-1-0.dll",
}

SUBSYSTEM_NATIVE = 1
FILE_RELOCS_STRIPPED = 0x0001
DLL_DYNAMIC_BASE = 0x0040
DIR_EXPORT, DIR_IMPORT, DIR_EXCEPTION, DIR_BASERELOC = 0, 1, 3, 5


class NotAnImage(Exception):
    pass


def pe_checksum(data, checksum_offset):
    """The PE checksum: 16-bit one's-complement-style sum of the file with the
    checksum field taken as zero, folded to 16 bits, plus the file length."""
    total = 0
    end = len(data) - len(data) % 2
    for offset in range(0, end, 2):
        if checksum_offset <= offset < checksum_offset + 4:
            continue
        total += data[offset] | (data[offset + 1] << 8)
        total = (total & 0xFFFF) + (total >> 16)
    if len(data) % 2:
        total += data[-1]
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


class Image:
    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise NotAnImage("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise NotAnImage("no PE signature")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        if magic != 0x20B:
            raise NotAnImage("not a PE32+ (64-bit) image")
        self.checksum_offset = optional + 64
        self.checksum = struct.unpack_from("<I", data, self.checksum_offset)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        directory_count = struct.unpack_from("<I", data, optional + 108)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i)
                            for i in range(min(directory_count, 16))]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, rva, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("ascii", "replace"), rva, max(vsize, raw_size),
                                  raw_offset, raw_size))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def section_of(self, rva):
        for name, start, size, _, _ in self.sections:
            if start <= rva < start + size:
                return name
        return None

    def offset(self, rva):
        for _, start, size, raw_offset, raw_size in self.sections:
            if start <= rva < start + size and rva - start < raw_size:
                return raw_offset + rva - start
        raise NotAnImage("RVA 0x%x is outside the file's sections" % rva)

    def text_at(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii", "replace")

    def imports(self):
        rva, size = self.directory(DIR_IMPORT)
        names = []
        if rva == 0 or size == 0:
            return names
        at = self.offset(rva)
        while True:
            lookup, _, _, name_rva, thunks = struct.unpack_from("<IIIII", self.data, at)
            if name_rva == 0 and thunks == 0:
                return names
            names.append(self.text_at(name_rva))
            at += 20

    def exports(self):
        """Number of exported functions and of exported names."""
        rva, size = self.directory(DIR_EXPORT)
        if rva == 0 or size == 0:
            return 0, 0
        functions, names = struct.unpack_from("<II", self.data, self.offset(rva) + 20)
        return functions, names

    def unwind(self):
        """Number of function entries, and whether every one has unwind data
        in .xdata."""
        rva, size = self.directory(DIR_EXCEPTION)
        if rva == 0 or size == 0:
            return 0, False
        at = self.offset(rva)
        count = size // 12
        in_xdata = all(self.section_of(struct.unpack_from("<III", self.data, at + 12 * i)[2] & ~1) == ".xdata"
                       for i in range(count))
        return count, in_xdata

    def relocation_bytes(self):
        return self.directory(DIR_BASERELOC)[1]


def driver_faults(image):
    faults = []
    if image.subsystem != SUBSYSTEM_NATIVE:
        faults.append("subsystem %d, expected 1 (native)" % image.subsystem)
    for name in image.imports():
        if name.lower() not in DRIVER_IMPORTS:
            faults.append("imports from %s, expected only ntoskrnl.exe and HAL.dll" % name)
    functions, names = image.exports()
    if functions or names:
        faults.append("exports %d functions (%d by name), expected none" % (functions, names))
    entries, in_xdata = image.unwind()
    if entries == 0:
        faults.append("no x64 unwind data (.pdata), expected an exception directory")
    elif not in_xdata:
        faults.append("unwind entries that do not point into .xdata")
    if image.relocation_bytes() == 0 or image.characteristics & FILE_RELOCS_STRIPPED:
        faults.append("no base relocations, expected the image to be relocatable")
    if not image.dll_characteristics & DLL_DYNAMIC_BASE:
        faults.append("not marked dynamic-base")
    expected = pe_checksum(image.data, image.checksum_offset)
    if image.checksum != expected:
        faults.append("checksum 0x%08x, expected 0x%08x" % (image.checksum, expected))
    return faults


def program_faults(image):
    return ["imports from %s, expected only Windows system DLLs" % name
            for name in image.imports() if name.lower() not in PROGRAM_IMPORTS]


def facts(image):
    entries, _ = image.unwind()
    functions, _ = image.exports()
    return ("subsystem %d, imports: %s; exports %d, unwind entries %d, relocation bytes %d, checksum 0x%08x"
            % (image.subsystem, " ".join(sorted(set(image.imports()))) or "none", functions, entries,
               image.relocation_bytes(), image.checksum))


def main(argv):
    if len(argv) != 3 or argv[1] not in ("driver", "program"):
        sys.stderr.write("usage: pe_image.py driver|program FILE\n")
        return 2
    kind, path = argv[1], argv[2]
    name = path.rsplit("/", 1)[-1]
    try:
        with open(path, "rb") as f:
            image = Image(f.read())
        faults = driver_faults(image) if kind == "driver" else program_faults(image)
        print("%s: %s" % (name, facts(image)))
    except (OSError, NotAnImage, struct.error, ValueError) as e:
        print("%s: not a readable PE image: %s" % (name, e))
        return 2
    for fault in faults:
        print("%s: %s" % (name, fault))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

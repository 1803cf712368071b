#!/usr/bin/python3
"""The Windows image check against small images made to order: each fault a
shipped driver must not have is caught, and a sound image passes."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools", "dev"))
import pe_image  # noqa: E402

SECTIONS = [".text", ".rdata", ".pdata", ".xdata", ".reloc"]


def make_image(imports=("ntoskrnl.exe",), exports=0, unwind=1, unwind_section=".xdata", relocs=True,
               subsystem=1, stripped=False, dynamic_base=True, checksum_delta=0):
    """A minimal PE32+ image: headers in the first 0x400 bytes, then one
    0x200-byte raw block per section at RVA 0x1000, 0x2000, ..."""
    rva = {name: 0x1000 * (i + 1) for i, name in enumerate(SECTIONS)}
    raw = {name: 0x400 + 0x200 * i for i, name in enumerate(SECTIONS)}
    data = bytearray(0x400 + 0x200 * len(SECTIONS))
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, 0x80)
    pe = 0x80
    data[pe:pe + 4] = b"PE\0\0"
    optional_size = 112 + 16 * 8
    characteristics = 0x22 | (1 if stripped else 0)
    struct.pack_into("<HHIIIHH", data, pe + 4, 0x8664, len(SECTIONS), 0, 0, 0, optional_size, characteristics)
    optional = pe + 24
    struct.pack_into("<H", data, optional, 0x20B)
    struct.pack_into("<HH", data, optional + 68, subsystem, 0x0160 if dynamic_base else 0x0120)
    struct.pack_into("<I", data, optional + 108, 16)

    def directory(index, address, size):
        struct.pack_into("<II", data, optional + 112 + 8 * index, address, size)

    table = optional + optional_size
    for i, name in enumerate(SECTIONS):
        struct.pack_into("<8sIIII", data, table + 40 * i, name.encode(), 0x200, rva[name], 0x200, raw[name])

    rdata = raw[".rdata"]
    if imports:
        for i, dll in enumerate(imports):
            name_at = 0x100 + 0x20 * i
            data[rdata + name_at:rdata + name_at + len(dll)] = dll.encode()
            struct.pack_into("<IIIII", data, rdata + 20 * i, 0, 0, 0, rva[".rdata"] + name_at, rva[".rdata"] + 0x1F0)
        directory(pe_image.DIR_IMPORT, rva[".rdata"], 20 * (len(imports) + 1))
    if exports:
        struct.pack_into("<II", data, rdata + 0xA0 + 20, exports, exports)
        directory(pe_image.DIR_EXPORT, rva[".rdata"] + 0xA0, 40)
    if unwind:
        for i in range(unwind):
            struct.pack_into("<III", data, raw[".pdata"] + 12 * i, rva[".text"] + 16 * i, rva[".text"] + 16 * i + 8,
                             rva[unwind_section] + 8 * i)
        directory(pe_image.DIR_EXCEPTION, rva[".pdata"], 12 * unwind)
    if relocs:
        struct.pack_into("<IIHH", data, raw[".reloc"], rva[".text"], 12, 0xA000, 0)
        directory(pe_image.DIR_BASERELOC, rva[".reloc"], 12)

    checksum_offset = optional + 64
    struct.pack_into("<I", data, checksum_offset, pe_image.pe_checksum(bytes(data), checksum_offset) + checksum_delta)
    return bytes(data)


class DriverImage(unittest.TestCase):
    def faults(self, **kwargs):
        return pe_image.driver_faults(pe_image.Image(make_image(**kwargs)))

    def test_a_sound_driver_passes(self):
        self.assertEqual(self.faults(), [])
        self.assertEqual(self.faults(imports=("ntoskrnl.exe", "HAL.dll"), unwind=5), [])

    def test_each_fault_is_named(self):
        cases = [
            ("windows subsystem", dict(subsystem=2), "subsystem 2"),
            ("a user-mode import", dict(imports=("ntoskrnl.exe", "KERNEL32.dll")), "imports from KERNEL32.dll"),
            ("every function exported", dict(exports=116), "exports 116 functions"),
            ("no unwind data", dict(unwind=0), "no x64 unwind data"),
            ("unwind data outside .xdata", dict(unwind_section=".text"), "do not point into .xdata"),
            ("relocations dropped", dict(relocs=False), "no base relocations"),
            ("relocations marked stripped", dict(stripped=True), "no base relocations"),
            ("fixed base", dict(dynamic_base=False), "not marked dynamic-base"),
            ("stale checksum", dict(checksum_delta=1), "checksum 0x"),
        ]
        for what, kwargs, expected in cases:
            with self.subTest(what):
                faults = self.faults(**kwargs)
                self.assertEqual(len(faults), 1, faults)
                self.assertIn(expected, faults[0])


class ProgramImage(unittest.TestCase):
    def test_only_system_dlls_may_be_imported(self):
        sound = pe_image.Image(make_image(imports=("KERNEL32.dll", "msvcrt.dll"), subsystem=3))
        self.assertEqual(pe_image.program_faults(sound), [])
        qt = pe_image.Image(make_image(imports=("KERNEL32.dll", "Qt6Core.dll"), subsystem=3))
        self.assertEqual(pe_image.program_faults(qt), ["imports from Qt6Core.dll, expected only Windows system DLLs"])


class CheckScript(unittest.TestCase):
    SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "dev", "check-windows-imports.sh")

    def run_on(self, files):
        with tempfile.TemporaryDirectory() as build:
            for path, data in files.items():
                os.makedirs(os.path.join(build, os.path.dirname(path)), exist_ok=True)
                with open(os.path.join(build, path), "wb") as f:
                    f.write(data)
            return subprocess.run(["bash", self.SCRIPT, build], capture_output=True, text=True)

    def test_a_missing_binary_fails_the_check(self):
        result = self.run_on({"tools/zhpctl/zhpctl.exe": make_image(imports=("KERNEL32.dll",), subsystem=3)})
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("driver/ZHP.sys is missing", result.stdout)

    def test_sound_binaries_pass_and_a_faulty_driver_fails(self):
        program = make_image(imports=("KERNEL32.dll",), subsystem=3)
        result = self.run_on({"driver/ZHP.sys": make_image(), "tools/zhpctl/zhpctl.exe": program})
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("ZHP.sys: subsystem 1, imports: ntoskrnl.exe; exports 0, unwind entries 1", result.stdout)
        result = self.run_on({"driver/ZHP.sys": make_image(exports=3), "tools/zhpctl/zhpctl.exe": program})
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("ZHP.sys: exports 3 functions (3 by name), expected none", result.stdout)


if __name__ == "__main__":
    unittest.main()

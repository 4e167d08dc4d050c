"""The extension as a loaded file: what it exports, and which loops it chose for this CPU.

The module keeps what it read of the CPU in a section of its own, ".vxcpu": the widths the
build compiled (AVX2, AVX-512) and, once a kernel has asked, the widths that the CPU and the
operating system run. Nothing of it is on the Python surface or exported; the tests find it
through the section table of the file (ELF) or of the loaded image (PE).
"""

import ctypes
import platform
import struct
import sys

import numpy as np
import pytest

import vantorix_core as vc

READ, AVX2, AVX512 = 1, 2, 4
WIDTHS = {AVX2: "AVX2", AVX512: "AVX-512"}


def elf_image(path):
    """Exported symbols and sections {name: (address, size)} of the loaded ELF module."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:6] == b"\x7fELF\x02\x01", "a 64-bit little-endian ELF file"
    (shoff,) = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)
    headers = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]

    def text(table, offset):
        start = headers[table][4] + offset
        return data[start : data.index(b"\0", start)].decode()

    sections = {text(shstrndx, h[0]): h for h in headers}
    symtab = sections[".dynsym"]
    exported = {}
    for at in range(symtab[4], symtab[4] + symtab[5], 24):
        name, info, other, shndx, value, _ = struct.unpack_from("<IBBHQQ", data, at)
        # Defined, not local, and default or protected visibility.
        if shndx != 0 and info >> 4 != 0 and other & 3 in (0, 3):
            exported[text(symtab[6], name)] = value
    # The load address: where the entry point is, less its address in the file.
    entry = ctypes.cast(ctypes.CDLL(path).PyInit_vantorix_core, ctypes.c_void_p).value
    base = entry - exported["PyInit_vantorix_core"]
    return sorted(exported), {name: (base + h[3], h[5]) for name, h in sections.items()}


def pe_image(path):
    """Exported symbols and sections {name: (address, size)} of the loaded PE module."""
    base = ctypes.WinDLL(path)._handle

    def read(rva, fmt):
        return struct.unpack_from(fmt, ctypes.string_at(base + rva, struct.calcsize(fmt)))

    (pe,) = read(0x3C, "<I")
    signature, _, nsections, _, _, _, optional_size, _ = read(pe, "<4sHHIIIHH")
    assert signature == b"PE\0\0"
    optional = pe + 24
    assert read(optional, "<H") == (0x20B,), "PE32+"
    export_rva, _ = read(optional + 112, "<II")
    sections = {}
    for i in range(nsections):
        name, size, rva = read(optional + optional_size + 40 * i, "<8sII")
        sections[name.rstrip(b"\0").decode()] = (base + rva, size)
    exported = []
    if export_rva:
        (nnames,) = read(export_rva + 24, "<I")
        (names,) = read(export_rva + 32, "<I")
        for i in range(nnames):
            (name,) = read(names + 4 * i, "<I")
            exported.append(ctypes.string_at(base + name).decode())
    return sorted(exported), sections


def module_image():
    if sys.platform == "win32":
        return pe_image(vc.__file__)
    if sys.platform.startswith("linux"):
        return elf_image(vc.__file__)
    pytest.skip(f"no reader for the module's file format on {sys.platform}")


def test_the_entry_point_is_the_only_export():
    exported, _ = module_image()
    assert exported == ["PyInit_vantorix_core"]


def os_widths():
    """{width: whether the CPU and the OS run it}, None where the OS does not say."""
    if sys.platform == "win32":
        # PF_AVX2_INSTRUCTIONS_AVAILABLE. Windows has no flag for the AVX-512 subsets that the
        # wide loops need beyond AVX512F (and Wine reports none of them).
        return {AVX2: bool(ctypes.windll.kernel32.IsProcessorFeaturePresent(40)), AVX512: None}
    with open("/proc/cpuinfo") as f:
        flags = next(line for line in f if line.startswith("flags")).split()
    # Linux drops the flags of instruction sets whose registers it does not save.
    return {
        AVX2: "avx2" in flags,
        AVX512: {"avx2", "avx512f", "avx512dq", "avx512bw", "avx512vl"} <= set(flags),
    }


def call_every_function():
    rng = np.random.default_rng(0)
    values = rng.normal(size=4096)
    codes = rng.integers(0, 8, size=4096, dtype=np.int32)
    vc.calculate_cramers_v(codes, codes[::-1].copy(), 8, 8)
    vc.calculate_summary_stats(values.reshape(256, 16))
    vc.calculate_summary_stats(np.asfortranarray(values.reshape(1024, 4)))
    vc.detect_continuous_outliers(values, 2.0)
    vc.detect_categorical_outliers(codes, 8, 0.1)


@pytest.mark.skipif(
    platform.machine().lower() not in ("x86_64", "amd64"), reason="x86-64 only has wider loops"
)
def test_the_widest_loops_the_cpu_runs_are_chosen():
    if "_msvc_" in type(vc.calculate_cramers_v.__self__).__name__:
        pytest.skip("MSVC builds the baseline loops only")
    call_every_function()
    _, sections = module_image()
    assert ".vxcpu" in sections, "no record of the CPU in the module"
    address, size = sections[".vxcpu"]
    assert size >= 8
    built, found = struct.unpack("<II", ctypes.string_at(address, 8))
    if built == 0:
        pytest.skip("built without the AVX2 and AVX-512 loops")
    assert found & READ, "the kernels never asked which loops to run"
    for width, runs in os_widths().items():
        # A kernel takes a wide loop where the build has it and the CPU was read to run it.
        if built & width and runs is not None:
            assert bool(found & width) == runs, (
                f"{WIDTHS[width]} loops {'not ' if runs else ''}chosen on a CPU "
                f"{'with' if runs else 'without'} them (read {found:#x})"
            )

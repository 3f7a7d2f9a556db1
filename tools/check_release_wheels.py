"""Checks the files of the release wheels beyond what auditwheel sees.

Linux (with pyelftools, which auditwheel brings): the module asks glibc for
no symbol version newer than 2.28, needs no libstdc++ or libgcc_s (libc++
is linked in), leaves no libc symbol unversioned (a function the 2.28 set
lacks, such as gettid, would fail to load on such a system), and exports
PyInit_kemb alone.

macOS, which this machine cannot load: the module is a Mach-O file for the
CPU in the wheel's tag that exports PyInit_kemb, finds its OpenBLAS in
kemb.libs through @loader_path, links libc++ statically (no libc++.dylib)
and leaves the Python symbols to the interpreter (no libpython); the
OpenBLAS library in the wheel is for the same CPU.

    python tools/check_release_wheels.py dist/*.whl
"""

import io
import re
import struct
import sys
import zipfile

MH_MAGIC_64 = 0xFEEDFACF
CPU_TYPES = {"arm64": 0x0100000C, "x86_64": 0x01000007}
LOADABLE = {6: "MH_DYLIB", 8: "MH_BUNDLE"}
LC_SYMTAB, LC_LOAD_DYLIB, LC_ID_DYLIB, LC_BUILD_VERSION = 0x2, 0xC, 0xD, 0x32
LC_RPATH = 0x8000001C
N_EXT, N_TYPE, N_SECT = 0x01, 0x0E, 0x0E


def c_string(data, start):
    return data[start:data.index(b"\0", start)].decode()


def command_string(data, offset):
    """The string of a load command whose first field after cmd and
    cmdsize is the string's offset from the command's start."""
    return c_string(data, offset + struct.unpack_from("<I", data, offset + 8)[0])


def parse(data):
    """Header fields, load commands and defined external symbols of a thin Mach-O file."""
    magic, cpu, _, filetype, ncmds, _, _, _ = struct.unpack_from("<8I", data, 0)
    if magic != MH_MAGIC_64:
        raise ValueError(f"not a 64-bit little-endian Mach-O file (magic {magic:#x})")
    info = {"cpu": cpu, "filetype": filetype, "dylibs": [], "rpaths": [], "exports": set()}
    offset = 32
    for _ in range(ncmds):
        cmd, size = struct.unpack_from("<2I", data, offset)
        if cmd == LC_LOAD_DYLIB:
            info["dylibs"].append(command_string(data, offset))
        elif cmd == LC_ID_DYLIB:
            info["id"] = command_string(data, offset)
        elif cmd == LC_RPATH:
            info["rpaths"].append(command_string(data, offset))
        elif cmd == LC_BUILD_VERSION:
            minos = struct.unpack_from("<I", data, offset + 12)[0]
            info["minos"] = (minos >> 16, (minos >> 8) & 0xFF)
        elif cmd == LC_SYMTAB:
            symoff, nsyms, stroff, _ = struct.unpack_from("<4I", data, offset + 8)
            for i in range(nsyms):
                strx, n_type, _, _, _ = struct.unpack_from("<IBBhQ", data, symoff + 16 * i)
                if n_type & N_EXT and n_type & N_TYPE == N_SECT:
                    info["exports"].add(c_string(data, stroff + strx))
        offset += size
    return info


def check_macos(wheel_path):
    arch = re.search(r"macosx_(\d+)_(\d+)_(arm64|x86_64)\.whl$", wheel_path)
    if arch is None:
        return [f"{wheel_path}: no macOS platform tag"]
    wanted_os, cpu = (int(arch.group(1)), int(arch.group(2))), CPU_TYPES[arch.group(3)]
    with zipfile.ZipFile(wheel_path) as wheel:
        names = wheel.namelist()
        module = parse(wheel.read("kemb.abi3.so"))
        libs = [n for n in names if n.startswith("kemb.libs/") and n.endswith(".dylib")]
        blas = parse(wheel.read(libs[0])) if len(libs) == 1 else None
    problems = []
    if module["cpu"] != cpu:
        problems.append(f"module CPU type {module['cpu']:#x}, not {arch.group(3)}")
    if module["filetype"] not in LOADABLE:
        problems.append(f"module file type {module['filetype']} is not loadable")
    if "_PyInit_kemb" not in module["exports"]:
        problems.append("module does not export PyInit_kemb")
    if module.get("minos", (99, 0)) > wanted_os:
        problems.append(f"module needs macOS {module.get('minos')}, the tag says {wanted_os}")
    if "@loader_path/kemb.libs" not in module["rpaths"]:
        problems.append(f"module rpaths {module['rpaths']} miss @loader_path/kemb.libs")
    for dylib in module["dylibs"]:
        if not (dylib.startswith("/usr/lib/libSystem") or dylib == "@rpath/libscipy_openblas.dylib"):
            problems.append(f"module loads {dylib} (only libSystem and OpenBLAS belong)")
    if blas is None:
        problems.append(f"kemb.libs holds {libs}, not one OpenBLAS library")
    elif blas["cpu"] != cpu:
        problems.append(f"OpenBLAS CPU type {blas['cpu']:#x}, not {arch.group(3)}")
    elif blas.get("id") != "@rpath/libscipy_openblas.dylib":
        problems.append(f"OpenBLAS install name {blas.get('id')} is not found through the rpath")
    print(f"{wheel_path}: {LOADABLE.get(module['filetype'])} for {arch.group(3)}, macOS "
          f"{'.'.join(map(str, module.get('minos', ())))}+, loads {module['dylibs']}, "
          f"{len(module['exports'])} exported symbols")
    return problems


NEWEST_GLIBC = (2, 28)
FOREIGN = re.compile(r"(_?Py|scipy_)")  # found in the interpreter and OpenBLAS


def check_linux(wheel_path):
    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile
    from elftools.elf.gnuversions import GNUVerNeedSection, GNUVerSymSection

    with zipfile.ZipFile(wheel_path) as wheel:
        elf = ELFFile(io.BytesIO(wheel.read("kemb.abi3.so")))
        needed = [t.needed for s in elf.iter_sections() if isinstance(s, DynamicSection)
                  for t in s.iter_tags() if t.entry.d_tag == "DT_NEEDED"]
        versions = {aux.name for s in elf.iter_sections() if isinstance(s, GNUVerNeedSection)
                    for _, auxiliaries in s.iter_versions() for aux in auxiliaries}
        symbols = elf.get_section_by_name(".dynsym")
        version_of = next(s for s in elf.iter_sections() if isinstance(s, GNUVerSymSection))
        unversioned, exports = [], []
        for i, symbol in enumerate(symbols.iter_symbols()):
            if not symbol.name or symbol["st_info"]["bind"] == "STB_LOCAL":
                continue
            if symbol["st_shndx"] == "SHN_UNDEF":
                if version_of.get_symbol(i)["ndx"] in ("VER_NDX_GLOBAL", "VER_NDX_LOCAL") \
                        and not FOREIGN.match(symbol.name):
                    unversioned.append(symbol.name)
            else:
                exports.append(symbol.name)
    glibc = sorted(tuple(map(int, v[6:].split("."))) for v in versions if v.startswith("GLIBC_"))
    problems = []
    if glibc and glibc[-1] > NEWEST_GLIBC:
        problems.append(f"needs GLIBC_{'.'.join(map(str, glibc[-1]))}")
    cxx = sorted(v for v in versions if not v.startswith("GLIBC_"))
    if cxx:
        problems.append(f"needs symbol versions of a C++ runtime: {cxx}")
    problems += [f"needs {lib}" for lib in needed if lib.startswith(("libstdc++", "libgcc_s"))]
    if unversioned:
        problems.append(f"unversioned system symbols: {sorted(unversioned)}")
    if exports != ["PyInit_kemb"]:
        problems.append(f"exports {sorted(exports)}")
    print(f"{wheel_path}: {elf['e_machine']}, newest symbol versions "
          f"GLIBC_{'.'.join(map(str, glibc[-1]))} and {cxx or 'no C++ runtime'}, needs {needed}")
    return problems


def check(wheel_path):
    if re.search(r"manylinux_\d+_\d+_\w+\.whl$", wheel_path):
        return check_linux(wheel_path)
    return check_macos(wheel_path)


if __name__ == "__main__":
    failures = [f"{path}: {problem}" for path in sys.argv[1:] for problem in check(path)]
    print("\n".join(failures) or f"{len(sys.argv) - 1} wheels checked")
    sys.exit(1 if failures or len(sys.argv) < 2 else 0)

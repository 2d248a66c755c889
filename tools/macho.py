"""Reads what the macOS link check inspects in a thin 64-bit Mach-O file:
its architecture, minimum macOS, linked dylibs and exported symbols.

Pure Python, so that checking the links needs nothing beyond Zig: the
layouts are those of <mach-o/loader.h>.
"""

import struct
from dataclasses import dataclass, field

MH_MAGIC_64 = 0xFEEDFACF
ARCHITECTURES = {0x0100000C: "arm64", 0x01000007: "x86_64"}
LC_REQ_DYLD = 0x80000000
LC_LOAD_DYLIB = 0xC
LC_LAZY_LOAD_DYLIB = 0x20
LC_VERSION_MIN_MACOSX = 0x24
LC_DYLD_INFO = 0x22
LC_BUILD_VERSION = 0x32
LC_LOAD_WEAK_DYLIB = 0x18 | LC_REQ_DYLD
LC_REEXPORT_DYLIB = 0x1F | LC_REQ_DYLD
LC_DYLD_INFO_ONLY = 0x22 | LC_REQ_DYLD
LC_LOAD_UPWARD_DYLIB = 0x23 | LC_REQ_DYLD
LC_DYLD_EXPORTS_TRIE = 0x33 | LC_REQ_DYLD
DYLIB_COMMANDS = {LC_LOAD_DYLIB, LC_LAZY_LOAD_DYLIB, LC_LOAD_WEAK_DYLIB, LC_REEXPORT_DYLIB, LC_LOAD_UPWARD_DYLIB}
PLATFORM_MACOS = 1


class MachOError(Exception):
    pass


@dataclass
class MachO:
    architecture: str
    filetype: int
    minimum_macos: str = ""
    dylibs: list = field(default_factory=list)
    exports: set = field(default_factory=set)


def version_text(packed):
    return f"{packed >> 16}.{(packed >> 8) & 0xFF}.{packed & 0xFF}"


def uleb128(data, offset):
    value = shift = 0
    while True:
        if offset >= len(data):
            raise MachOError("the export trie ends inside a number")
        byte = data[offset]
        offset += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, offset


def c_string(data, offset):
    end = data.find(b"\0", offset)
    if end < 0:
        raise MachOError("a name runs past the end of its data")
    return data[offset:end].decode("utf-8", "replace"), end + 1


def trie_exports(trie):
    exports, pending, visited = set(), [(0, "")], set()
    while pending:
        node, prefix = pending.pop()
        if node in visited or node >= len(trie):
            raise MachOError("the export trie loops or points outside itself")
        visited.add(node)
        terminal_size, offset = uleb128(trie, node)
        if terminal_size:
            exports.add(prefix)
        offset += terminal_size
        children, offset = trie[offset], offset + 1
        for _ in range(children):
            edge, offset = c_string(trie, offset)
            child, offset = uleb128(trie, offset)
            pending.append((child, prefix + edge))
    return exports


def linkedit_data(data, start, length):
    if start + length > len(data):
        raise MachOError("the export trie runs past the end of the file")
    return data[start:start + length]


def read_macho(data):
    if len(data) < 32 or struct.unpack_from("<I", data)[0] != MH_MAGIC_64:
        raise MachOError("not a thin little-endian 64-bit Mach-O file")
    cputype, _, filetype, ncmds, _, _ = struct.unpack_from("<iiIIII", data, 4)
    result = MachO(ARCHITECTURES.get(cputype & 0xFFFFFFFF, hex(cputype & 0xFFFFFFFF)), filetype)
    offset = 32
    for _ in range(ncmds):
        command, size = struct.unpack_from("<II", data, offset)
        if size < 8 or offset + size > len(data):
            raise MachOError(f"load command {command:#x} runs past the end of the file")
        body = data[offset:offset + size]
        if command == LC_BUILD_VERSION and struct.unpack_from("<I", body, 8)[0] == PLATFORM_MACOS:
            result.minimum_macos = version_text(struct.unpack_from("<I", body, 12)[0])
        elif command == LC_VERSION_MIN_MACOSX:
            result.minimum_macos = version_text(struct.unpack_from("<I", body, 8)[0])
        elif command in DYLIB_COMMANDS:
            result.dylibs.append(c_string(body, struct.unpack_from("<I", body, 8)[0])[0])
        elif command == LC_DYLD_EXPORTS_TRIE:
            result.exports |= trie_exports(linkedit_data(data, *struct.unpack_from("<II", body, 8)))
        elif command in (LC_DYLD_INFO, LC_DYLD_INFO_ONLY):
            start, length = struct.unpack_from("<II", body, 40)
            if length:
                result.exports |= trie_exports(linkedit_data(data, start, length))
        offset += size
    return result

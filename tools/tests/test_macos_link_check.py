import struct

import pytest

import macho
import macos_link_check

ARM64, X86_64 = 0x0100000C, 0x01000007
LIBSYSTEM = "/usr/lib/libSystem.B.dylib"


def uleb_two_bytes(value):
    assert value < 1 << 14
    return bytes([(value & 0x7F) | 0x80, value >> 7])


def export_trie(names):
    # A root with one edge per name, each leading to a terminal node; the
    # offsets are fixed by laying the root out first.
    terminal = b"\x02\x00\x00\x00"
    root_size = 2 + sum(len(name) + 1 + 2 for name in names)
    root, leaves = bytearray(b"\x00" + bytes([len(names)])), bytearray()
    for name in names:
        root += name.encode() + b"\0" + uleb_two_bytes(root_size + len(leaves))
        leaves += terminal
    assert len(root) == root_size
    return bytes(root + leaves)


def padded(command):
    return command + b"\0" * (-len(command) % 8)


def mach_o(cputype=ARM64, filetype=6, minos=(11, 0), dylibs=(LIBSYSTEM,), exports=("_PyInit_main",)):
    trie = export_trie(list(exports))
    commands = [padded(struct.pack("<IIIIII", 0x32, 24, 1, (minos[0] << 16) | (minos[1] << 8), 0, 0))]
    for dylib in dylibs:
        body = dylib.encode() + b"\0"
        commands.append(padded(struct.pack("<IIIIII", 0xC, 24 + len(body), 24, 2, 0x10000, 0x10000) + body))
    commands = [command[:4] + struct.pack("<I", len(command)) + command[8:] for command in commands]
    trie_command_size = 16
    header_size = 32 + sum(map(len, commands)) + trie_command_size
    commands.append(struct.pack("<IIII", 0x80000033, trie_command_size, header_size, len(trie)))
    header = struct.pack("<IiiIIIII", 0xFEEDFACF, cputype, 0, filetype, len(commands), sum(map(len, commands)), 0, 0)
    return header + b"".join(commands) + trie


def test_the_reader_finds_architecture_minimum_dylibs_and_exports():
    exports = {"_PyInit_main", "__Znwm", "__ZdlPv", "___dso_handle"}
    found = macho.read_macho(mach_o(X86_64, minos=(10, 15), dylibs=(LIBSYSTEM, "/usr/lib/libc++.1.dylib"), exports=sorted(exports)))
    assert (found.architecture, found.filetype, found.minimum_macos) == ("x86_64", 6, "10.15.0")
    assert found.dylibs == [LIBSYSTEM, "/usr/lib/libc++.1.dylib"]
    assert found.exports == exports


@pytest.mark.parametrize("data", [b"", b"\x7fELF" + b"\0" * 60, mach_o()[:40], mach_o()[:-3]],
                         ids=["empty", "elf", "cut in the load commands", "cut in the exports"])
def test_the_reader_refuses_what_is_not_a_whole_mach_o_file(data):
    with pytest.raises(macho.MachOError):
        macho.read_macho(data)


def test_a_trie_that_points_back_at_itself_is_refused():
    with pytest.raises(macho.MachOError, match="loops"):
        macho.trie_exports(b"\x00\x01a\x00\x00")


@pytest.mark.parametrize(
    "changes, problem",
    [
        ({}, None),
        ({"exports": ("_PyInit_main", "__mh_dylib_header", "__ZnwmSt11align_val_t", "__ZdaPvmSt11align_val_t")}, None),
        ({"exports": ("_PyInit_main", "__ZN9pixelmend6ClientC1Ev")}, "exports ['__ZN9pixelmend6ClientC1Ev'] beyond"),
        ({"exports": ("_PyInit_utils",)}, "does not export _PyInit_main"),
        ({"dylibs": (LIBSYSTEM, "/usr/lib/libc++.1.dylib")}, "links"),
        ({"dylibs": ("@rpath/libpython3.13.dylib",)}, "links"),
        ({"minos": (13, 0)}, "needs macOS 13.0.0, not 11.0"),
        ({"cputype": X86_64}, "is x86_64, not arm64"),
        ({"filetype": 8}, "file type 8, not a dylib"),
    ],
)
def test_a_module_passes_only_as_the_workflow_would_ship_it(tmp_path, changes, problem):
    module = tmp_path / "main.so"
    module.write_bytes(mach_o(**changes))
    problems = macos_link_check.module_problems(module, "arm64", "11.0")
    if problem is None:
        assert problems == []
    else:
        assert any(problem in found for found in problems), problems


def test_the_deployment_targets_are_the_workflows():
    pytest.importorskip("tomllib")
    assert macos_link_check.deployment_targets() == {"arm64": "11.0", "x86_64": "10.15"}

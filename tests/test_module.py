"""The module door: registration, argument binding, conversions, buffers, inspection."""

import ast
import importlib
import inspect
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from helpers import header

import vamra_rs

FUNCTIONS = [
    "get_packet_info_rs",
    "dumps_rs",
    "dumps_quantized_rs",
    "dumps_string_rs",
    "encode_bundle_rs",
    "dump_to_buffer_rs",
    "dump_to_fd_rs",
    "loads_rs",
    "shm_mutex_init",
    "shm_mutex_lock",
    "shm_mutex_unlock",
    "shm_mutex_destroy",
    "shm_mutex_size",
]


def test_all_lists_the_functions_in_registration_order():
    registered = [name for name in FUNCTIONS if hasattr(vamra_rs, name)]
    assert vamra_rs.__all__ == registered
    for name in registered:
        function = getattr(vamra_rs, name)
        assert function.__module__ == "vamra_rs"
        assert function.__self__ is vamra_rs


def test_signatures_and_docstrings():
    sig = inspect.signature(vamra_rs.dumps_rs)
    assert [(p.name, p.default) for p in sig.parameters.values()] == [
        ("array", inspect.Parameter.empty),
        ("check_integrity", False),
        ("compress", False),
        ("alignment", 64),
    ]
    assert vamra_rs.loads_rs.__doc__ in ("", None)
    assert vamra_rs.dumps_string_rs.__doc__ == (
        "Encode a `StringTensor` from raw `offsets` ((count+1) u64 LE) + `payload`."
    )
    assert str(inspect.signature(vamra_rs.dump_to_fd_rs)) == (
        "(array, fd, check_integrity=False, compress=False, alignment=64)"
    )


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("vamra_rs")
    try:
        again = importlib.import_module("vamra_rs")
        assert again is first
    finally:
        sys.modules["vamra_rs"] = first


def _declared_defaults(function):
    return {
        p.name: p.default
        for p in inspect.signature(function).parameters.values()
        if p.default is not inspect.Parameter.empty
    }


def _quantized():
    from vamra.quantize import QuantizedTensor

    return QuantizedTensor.quantize(np.linspace(-1, 1, 12, dtype=np.float32), "qint8")


# A parameter not given takes the default its description declares, which is
# also what the text signature shows.
@pytest.mark.parametrize(
    "name, make_args",
    [
        ("dumps_rs", lambda: (np.arange(5, dtype=np.float64),)),
        ("dumps_rs", lambda: ({"a": np.zeros(3, np.int8), "b": {}},)),
        ("dumps_quantized_rs", lambda: (_quantized(),)),
        ("dumps_string_rs", lambda: (np.array([0, 2, 3], "<u8").tobytes(), b"abc", 2)),
    ],
)
def test_omitted_arguments_take_their_declared_defaults(name, make_args):
    function = getattr(vamra_rs, name)
    assert function(*make_args()) == function(*make_args(), **_declared_defaults(function))


def test_buffer_writer_takes_its_declared_defaults():
    array = np.arange(7, dtype=np.int32)
    defaults = _declared_defaults(vamra_rs.dump_to_buffer_rs)
    omitted, spelt_out = bytearray(256), bytearray(256)
    assert vamra_rs.dump_to_buffer_rs(array, omitted) == vamra_rs.dump_to_buffer_rs(
        array, spelt_out, **defaults
    )
    assert omitted == spelt_out


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vamra_rs.dumps_rs(), "dumps_rs() missing 1 required positional argument: 'array'"),
        (
            lambda: vamra_rs.dumps_string_rs(b"", b""),
            "dumps_string_rs() missing 1 required positional argument: 'count'",
        ),
        (
            lambda: vamra_rs.dumps_string_rs(),
            "dumps_string_rs() missing 3 required positional arguments: "
            "'offsets', 'payload', and 'count'",
        ),
        (
            lambda: vamra_rs.dump_to_buffer_rs(),
            "dump_to_buffer_rs() missing 2 required positional arguments: 'array' and 'buffer'",
        ),
        (
            lambda: vamra_rs.dump_to_fd_rs(1, 2, 3, 4, 5, 6),
            "dump_to_fd_rs() takes from 2 to 5 positional arguments but 6 were given",
        ),
        (
            lambda: vamra_rs.loads_rs(b"", b""),
            "loads_rs() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: vamra_rs.encode_bundle_rs([], [], []),
            "encode_bundle_rs() takes 1 positional arguments but 3 were given",
        ),
        (
            lambda: vamra_rs.loads_rs(b"", data=b""),
            "loads_rs() got multiple values for argument 'data'",
        ),
        (
            lambda: vamra_rs.loads_rs(data=b"", extra=1),
            "loads_rs() got an unexpected keyword argument 'extra'",
        ),
        (
            lambda: vamra_rs.dumps_quantized_rs(None, compress=True),
            "dumps_quantized_rs() got an unexpected keyword argument 'compress'",
        ),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_binding_matches_positional():
    packet = vamra_rs.dumps_rs(np.arange(3, dtype=np.int32))
    assert vamra_rs.loads_rs(data=packet).tolist() == vamra_rs.loads_rs(packet).tolist()


ARRAY = np.arange(4, dtype=np.float32)


@pytest.mark.parametrize("value", [1, 0, "yes", None, 1.0])
def test_flags_refuse_non_booleans(value):
    with pytest.raises(TypeError, match=r"^argument 'check_integrity': ") as info:
        vamra_rs.dumps_rs(ARRAY, check_integrity=value)
    assert type(info.value) is TypeError


@pytest.mark.parametrize("value", [np.bool_(True), np.bool_(False), True])
def test_flags_accept_numpy_booleans(value):
    packet = vamra_rs.dumps_rs(ARRAY, check_integrity=value)
    assert vamra_rs.get_packet_info_rs(packet)["integrity_protected"] == bool(value)


def test_unsigned_size_conversion():
    with pytest.raises(OverflowError):
        vamra_rs.dumps_rs(ARRAY, alignment=-1)
    with pytest.raises(OverflowError):
        vamra_rs.dumps_rs(ARRAY, alignment=2**64)
    with pytest.raises(TypeError, match=r"^argument 'alignment': "):
        vamra_rs.dumps_rs(ARRAY, alignment=64.0)
    # Any __index__ object is an integer.
    assert vamra_rs.dumps_rs(ARRAY, alignment=np.int64(16)) == vamra_rs.dumps_rs(
        ARRAY, alignment=16
    )


def test_argument_wrapping_keeps_the_cause():
    class Index:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as error:
                raise TypeError("bad index") from error

    with pytest.raises(TypeError) as info:
        vamra_rs.dumps_rs(ARRAY, alignment=Index())
    assert str(info.value) == "argument 'alignment': bad index"
    assert isinstance(info.value.__cause__, KeyError)


def test_subclass_of_type_error_passes_unchanged():
    class Special(TypeError):
        pass

    class Index:
        def __index__(self):
            raise Special("special")

    with pytest.raises(Special, match="^special$"):
        vamra_rs.dumps_rs(ARRAY, alignment=Index())


def test_internal_failure_is_not_an_exception():
    assert issubclass(vamra_rs.InternalFailure, BaseException)
    assert not issubclass(vamra_rs.InternalFailure, Exception)
    caught = None
    try:
        try:
            vamra_rs.dump_to_fd_rs(ARRAY, -1)
        except Exception:  # must not catch it
            caught = "Exception"
    except BaseException as error:
        caught = error
    assert isinstance(caught, vamra_rs.InternalFailure)
    assert str(caught) == "fd != -1"
    assert vamra_rs.loads_rs(vamra_rs.dumps_rs(ARRAY)).tolist() == ARRAY.tolist()


@pytest.mark.parametrize(
    "buffer, error, message",
    [
        ("text", TypeError, None),
        (12, TypeError, None),
        (np.zeros(4, np.float32), BufferError, "buffer contents are not compatible with u8"),
        (
            memoryview(bytearray(8)).cast("b"),
            BufferError,
            "buffer contents are not compatible with u8",
        ),
        (memoryview(bytearray(200))[::2], BufferError, "buffer is not C-contiguous"),
        (np.zeros((4, 4), np.uint8)[:, 1], BufferError, "buffer is not C-contiguous"),
    ],
)
@pytest.mark.parametrize("function", [vamra_rs.loads_rs, vamra_rs.get_packet_info_rs])
def test_unsuitable_buffers_are_refused(function, buffer, error, message):
    with pytest.raises(error) as info:
        function(buffer)
    if message is not None:
        assert str(info.value) == message


def test_non_contiguous_writable_buffer_is_left_untouched():
    backing = bytearray(range(200))
    view = memoryview(backing)[::2]
    with pytest.raises(BufferError):
        vamra_rs.dump_to_buffer_rs(np.zeros(2, np.uint8), view)
    assert backing == bytearray(range(200))


@pytest.mark.parametrize(
    "code, message",
    [
        (b"VMR", "Packet too short"),
        (b"XXXX\x04\x01\x00\x01\x00\x00", "Invalid vamra packet"),
        (b"VMRA\x05\x01\x00\x01\x00\x00", "Unsupported protocol version: 5"),
        (header(dtype=200, ndim=0) + bytes(60), "Unsupported or unknown dtype code: 200"),
        (header(ndim=33) + bytes(200), "Packet exceeds maximum dimensions"),
        (header(ndim=2) + b"\xff\xff\xff\xff" * 2 + bytes(60), "Packet exceeds maximum elements"),
        (header(flags=0x0101, ndim=0) + bytes(20), "Packet too short"),
        (header(flags=0x0400, ndim=0, reserved=0) + bytes(96), "Malformed vamra packet"),
    ],
)
def test_codec_errors_become_value_errors(code, message):
    with pytest.raises(ValueError) as info:
        vamra_rs.loads_rs(code)
    assert type(info.value) is ValueError
    assert str(info.value) == message


# -- size arithmetic at the edges -----------------------------------------------

SMALL = np.arange(10, dtype=np.float32)
TARGET = bytearray(4096)


def _to_fd(**options):
    with open(os.devnull, "wb") as sink:
        return vamra_rs.dump_to_fd_rs(SMALL, sink.fileno(), **options)


def _dump_quantized(**options):
    return vamra_rs.dumps_quantized_rs(_quantized(), **options)


HUGE_ALIGNMENT_ENCODERS = {
    "dense": lambda **o: vamra_rs.dumps_rs(SMALL, **o),
    "dense-integrity": lambda **o: vamra_rs.dumps_rs(SMALL, check_integrity=True, **o),
    "compressed": lambda **o: vamra_rs.dumps_rs(SMALL, compress=True, **o),
    "bundle": lambda **o: vamra_rs.dumps_rs({"a": {"b": SMALL}}, **o),
    "buffer": lambda **o: vamra_rs.dump_to_buffer_rs(SMALL, TARGET, **o),
    "buffer-compressed": lambda **o: vamra_rs.dump_to_buffer_rs(SMALL, TARGET, compress=True, **o),
    "buffer-bundle": lambda **o: vamra_rs.dump_to_buffer_rs({"a": SMALL}, TARGET, **o),
    "fd": _to_fd,
    "fd-compressed": lambda **o: _to_fd(compress=True, **o),
    "quantized": _dump_quantized,
    "quantized-integrity": lambda **o: _dump_quantized(check_integrity=True, **o),
}


@pytest.mark.parametrize("alignment", [2**62, 2**63], ids=["2**62", "2**63"])
@pytest.mark.parametrize("encode", HUGE_ALIGNMENT_ENCODERS.values(), ids=HUGE_ALIGNMENT_ENCODERS)
def test_absurd_alignments_are_refused_cleanly(encode, alignment):
    # 2**62 asks for a packet no allocator provides (or a bundle value no length
    # field carries, or a buffer that is too small); 2**63 for one larger than any
    # Python object, which is refused before anything is allocated.
    with pytest.raises((MemoryError, ValueError, OverflowError)) as raised:
        encode(alignment=alignment)
    if alignment == 2**63:
        assert type(raised.value) is OverflowError
        assert str(raised.value).endswith(
            " bytes exceeds the largest possible object size of 9223372036854775807 bytes"
        )
    assert not any(TARGET)


def test_alignment_plays_no_part_in_sparse_packets():
    sp = pytest.importorskip("scipy.sparse")
    matrix = sp.csr_matrix(np.eye(3, dtype=np.float32))
    assert vamra_rs.dumps_rs(matrix, alignment=2**63) == vamra_rs.dumps_rs(matrix)


def test_string_count_beyond_its_offsets_is_refused_before_allocating():
    # The largest count would need a 32 GiB offset table.
    with pytest.raises(ValueError, match="^Malformed vamra packet$"):
        vamra_rs.dumps_string_rs(bytes(16), b"", 2**32 - 1)


# -- packet inspection --------------------------------------------------------


def test_inspection_of_the_readme_packet():
    info = vamra_rs.get_packet_info_rs(b"VMRA\x04\x01\x00\x01\x01\x00\x02\x00\x00\x00")
    assert info == {
        "version": 4,
        "flags": 1,
        "dtype_code": 1,
        "ndim": 1,
        "aligned": True,
        "integrity_protected": False,
        "total_elements": 2,
        "shape": (2,),
    }
    assert list(info)[-2:] == ["total_elements", "shape"]


@pytest.mark.parametrize(
    "packet, expected",
    [
        (
            header(version=3, flags=0x03, ndim=1) + b"\x07\x00\x00\x00",
            {"version": 3, "flags": 3, "shape": (7,)},
        ),
        (header(dtype=0, ndim=0), {"dtype_code": 0, "shape": (), "total_elements": 1}),
        (header(dtype=99, ndim=0), {"dtype_code": 99}),
        (header(ndim=40) + b"\x01\x00\x00\x00" * 40, {"ndim": 40, "total_elements": 1}),
        (
            header(ndim=3) + b"\xff\xff\xff\xff" * 2 + b"\x02\x00\x00\x00",
            {"total_elements": 2**64 - 1},
        ),
        (
            header(ndim=3) + b"\xff\xff\xff\xff" * 2 + b"\x00\x00\x00\x00",
            {"total_elements": 0},
        ),
    ],
)
def test_inspection_edge_cases(packet, expected):
    info = vamra_rs.get_packet_info_rs(packet)
    for key, value in expected.items():
        assert info[key] == value
    assert len(info["shape"]) == info["ndim"]


def test_inspection_of_a_bundle():
    packet = vamra_rs.dumps_rs({"a": ARRAY, "b": ARRAY, "c": ARRAY})
    info = vamra_rs.get_packet_info_rs(packet)
    assert info["ndim"] == 3
    assert list(info.items())[-3:] == [("entry_count", 3), ("shape", ()), ("total_elements", 0)]


def test_inspection_ignores_a_damaged_body():
    packet = bytearray(vamra_rs.dumps_rs(ARRAY, check_integrity=True))
    packet[70] ^= 0xFF
    assert vamra_rs.get_packet_info_rs(packet)["shape"] == (4,)
    with pytest.raises(ValueError, match="Integrity check failed: XXH3 mismatch"):
        vamra_rs.loads_rs(packet)


@pytest.mark.parametrize(
    "packet, message",
    [
        (header(ndim=2), "Packet too short to contain shape"),
        (header(ndim=2)[:9], "Packet too short"),
        (b"VMRA\x03\x01\x01", "Packet too short"),
    ],
)
def test_inspection_errors(packet, message):
    with pytest.raises(ValueError) as info:
        vamra_rs.get_packet_info_rs(packet)
    assert str(info.value) == message


def test_sub_interpreters_are_refused():
    code = (
        "import vamra_rs, _xxsubinterpreters as s\n"
        "i = s.create()\n"
        "try:\n"
        "    s.run_string(i, 'import vamra_rs')\n"
        "except Exception as e:\n"
        "    print(type(e).__name__, e)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if "No module named" in result.stderr:
        pytest.skip("no sub-interpreter support in this Python")
    assert "sub-interpreters" in result.stdout


def _stub_parameters(node):
    """A stub function's parameters as (name, default), the default None when it has none."""
    args = node.args.args
    defaults = [None] * (len(args) - len(node.args.defaults))
    defaults += [ast.literal_eval(default) for default in node.args.defaults]
    return [(arg.arg, default) for arg, default in zip(args, defaults, strict=True)]


def _module_parameters(function):
    return [
        (p.name, None if p.default is inspect.Parameter.empty else p.default)
        for p in inspect.signature(function).parameters.values()
    ]


@pytest.mark.parametrize(
    "module, stub_name",
    [("vamra_rs", "vamra_rs.pyi"), ("vamra._native", "_native.pyi")],
)
def test_type_stub_matches_every_function(module, stub_name):
    # A module's signatures and docstrings come from its functions' one
    # description; the hand-written stub must say the same.
    module = importlib.import_module(module)
    stub = Path(module.__file__).with_name(stub_name)
    tree = ast.parse(stub.read_text())
    declared = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert set(module.__all__) <= set(declared)
    for name in module.__all__:
        function = getattr(module, name)
        assert _stub_parameters(declared[name]) == _module_parameters(function), name
        assert ast.get_docstring(declared[name]) == function.__doc__, name

"""Tensors of any library that exports DLPack, into packets, files, channels and
the quantizer; and vamra._native.dlpack_array, which reads their capsules."""

from __future__ import annotations

import ctypes
import gc
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import vamra
from vamra import QuantizedTensor, StringTensor

pytest.importorskip("vamra_rs")
from vamra import _native  # noqa: E402
from vamra.channel import Channel  # noqa: E402

torch = pytest.importorskip("torch")
# Registers bfloat16 with NumPy, which decoded bfloat16 arrays take.
pytest.importorskip("ml_dtypes")

# ------------------------------------------------ capsules made by hand


class DLDevice(ctypes.Structure):
    _fields_ = [("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32)]


class DLDataType(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint8), ("bits", ctypes.c_uint8), ("lanes", ctypes.c_uint16)]


class DLTensor(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.c_void_p),
        ("device", DLDevice),
        ("ndim", ctypes.c_int32),
        ("dtype", DLDataType),
        ("shape", ctypes.POINTER(ctypes.c_int64)),
        ("strides", ctypes.POINTER(ctypes.c_int64)),
        ("byte_offset", ctypes.c_uint64),
    ]


DELETER = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


class DLManagedTensor(ctypes.Structure):
    _fields_ = [("dl_tensor", DLTensor), ("manager_ctx", ctypes.c_void_p), ("deleter", DELETER)]


class DLManagedTensorVersioned(ctypes.Structure):
    _fields_ = [
        ("major", ctypes.c_uint32),
        ("minor", ctypes.c_uint32),
        ("manager_ctx", ctypes.c_void_p),
        ("deleter", DELETER),
        ("flags", ctypes.c_uint64),
        ("dl_tensor", DLTensor),
    ]


_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]
# Capsules keep a pointer to their name: these constants live as long as the module.
NAMES = {False: b"dltensor", True: b"dltensor_versioned", "other": b"not_a_tensor"}


class Exported:
    """A tensor over `data`, exported as a capsule whose deleter is counted.

    Everything the capsule points into is kept here, so a capsule that is
    never consumed (as a refused one is not) leaks nothing the test reads.
    """

    def __init__(
        self,
        data,
        *,
        versioned=False,
        code=2,
        bits=None,
        lanes=1,
        device=1,
        shape=None,
        strides=None,
        byte_offset=0,
        null=False,
        major=1,
        name=None,
    ):
        self.data = data
        self.deleted = 0
        shape = data.shape if shape is None else shape
        self.shape = (ctypes.c_int64 * max(len(shape), 1))(*shape)
        self.strides = None if strides is None else (ctypes.c_int64 * len(strides))(*strides)
        tensor = DLTensor(
            None if null else data.ctypes.data,
            DLDevice(device, 0),
            len(shape),
            DLDataType(code, bits or data.itemsize * 8, lanes),
            self.shape,
            self.strides,
            byte_offset,
        )
        self.deleter = DELETER(self._delete)
        if versioned:
            self.managed = DLManagedTensorVersioned(major, 0, None, self.deleter, 0, tensor)
        else:
            self.managed = DLManagedTensor(tensor, None, self.deleter)
        self.capsule = _capsule_new(
            ctypes.addressof(self.managed), NAMES[versioned if name is None else name], None
        )

    def _delete(self, _pointer):
        self.deleted += 1

    @property
    def name(self):
        return _capsule_name(self.capsule).decode()


@pytest.mark.parametrize("versioned", [False, True])
def test_a_capsule_is_viewed_and_its_deleter_runs_once_when_the_view_goes(versioned):
    data = np.arange(12, dtype=np.float32).reshape(3, 4)
    exported = Exported(data, versioned=versioned)
    array = _native.dlpack_array(exported.capsule)
    assert exported.name == ("used_dltensor_versioned" if versioned else "used_dltensor")
    assert array.ctypes.data == data.ctypes.data and not array.flags.writeable
    assert np.array_equal(array, data) and exported.deleted == 0
    twice = pytest.raises(ValueError, match="consumed already")
    with twice:
        _native.dlpack_array(exported.capsule)
    del array
    gc.collect()
    assert exported.deleted == 1


@pytest.mark.parametrize(
    ("shape", "strides", "offset"),
    [
        ((3, 4), (1, 3), 0),  # a transposed 4x3
        ((2, 3), (8, 2), 2),  # an offset and gaps
        ((3, 3), (0, 1), 0),  # a repeated row
        ((2, 2), (-4, 1), 4),  # rows in reverse
    ],
)
def test_strides_and_offsets_are_kept(shape, strides, offset):
    data = np.arange(24, dtype=np.float32)
    exported = Exported(data, shape=shape, strides=strides, byte_offset=offset * 4)
    want = np.lib.stride_tricks.as_strided(data[offset:], shape, [s * 4 for s in strides])
    array = _native.dlpack_array(exported.capsule)
    assert array.shape == shape and np.array_equal(array, want)


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        ({"device": 2}, TypeError, r"on device cuda \(device type 2, id 0\)"),
        ({"device": 13}, TypeError, "on device cuda_managed"),
        ({"code": 2, "bits": 8}, ValueError, "DLPack float .* of 8 bits"),
        ({"code": 3, "bits": 64}, ValueError, "opaque handle"),
        ({"code": 10, "bits": 8}, ValueError, "type code 10"),
        ({"code": 5, "bits": 32}, ValueError, "complex .* 32 bits"),
        ({"lanes": 4}, ValueError, "in 4 lanes"),
        ({"versioned": True, "major": 2}, ValueError, "DLPack 2.0 is not supported"),
        ({"shape": (3, -1)}, ValueError, "extent -1"),
        ({"null": True}, ValueError, "of 12 elements has no data"),
        ({"name": "other"}, TypeError, "not 'not_a_tensor'"),
    ],
)
def test_refused_capsules_are_left_to_their_producer(options, error, message):
    exported = Exported(np.zeros((3, 4), np.float32), **options)
    before = exported.name
    with pytest.raises(error, match=message):
        _native.dlpack_array(exported.capsule)
    assert exported.name == before and exported.deleted == 0


def test_an_empty_tensor_needs_no_memory_and_stays_with_its_producer():
    exported = Exported(np.zeros((0, 5), np.int16), code=0, null=True)
    array = _native.dlpack_array(exported.capsule)
    assert array.shape == (0, 5) and array.dtype == np.int16
    assert exported.name == "dltensor"


def test_bfloat16_takes_the_given_dtype_or_refuses_a_wrong_one():
    bits = np.array([0x3F80, 0xC000], np.uint16)  # 1.0, -2.0
    array = _native.dlpack_array(Exported(bits, code=4).capsule, bfloat16=np.uint16)
    assert array.dtype == np.uint16 and array.tolist() == [0x3F80, 0xC000]
    with pytest.raises(ValueError, match="must be 2 bytes"):
        _native.dlpack_array(Exported(bits, code=4).capsule, bfloat16=np.float32)
    with pytest.raises(TypeError, match="DLPack capsule from __dlpack__"):
        _native.dlpack_array(bits)


# ------------------------------------------------ exporters through the package


class Exporter:
    """Another library's tensor, as the package sees it: only the DLPack
    methods of a torch tensor (bfloat16 and strides included)."""

    def __init__(self, tensor, *, versioned=True, device=True):
        self.tensor = tensor
        self.versioned = versioned
        if device:
            self.__dlpack_device__ = lambda: (1, 0)

    def __dlpack__(self, *, stream=None, max_version=None, **kwargs):
        if max_version is not None and not self.versioned:
            raise TypeError("__dlpack__() got an unexpected keyword argument 'max_version'")
        if max_version is None:
            return self.tensor.__dlpack__()
        return self.tensor.__dlpack__(max_version=max_version)


WIRE_TORCH = [
    torch.float32, torch.float64, torch.float16, torch.bfloat16, torch.complex64,
    torch.complex128, torch.bool, torch.int8, torch.int16, torch.int32, torch.int64,
    torch.uint8, torch.uint16, torch.uint32, torch.uint64,
]  # fmt: skip


def bit_pattern(dtype, shape, seed):
    gen = torch.Generator().manual_seed(seed)
    if dtype is torch.bool:
        return torch.randint(0, 2, shape, generator=gen).bool()
    count = int(np.prod(shape)) * dtype.itemsize
    return (
        torch.randint(0, 256, (count,), dtype=torch.uint8, generator=gen).view(dtype).reshape(shape)
    )


def as_bytes(value):
    """A decoded array's or a tensor's bytes, C order."""
    if isinstance(value, np.ndarray):
        return np.ascontiguousarray(value).tobytes()
    return value.contiguous().reshape(-1).view(torch.uint8).numpy().tobytes()


@pytest.mark.parametrize("dtype", WIRE_TORCH, ids=str)
@pytest.mark.parametrize("kind", ["versioned", "unversioned", "capsule-device"])
def test_every_wire_dtype_from_an_exporter_is_stored_bit_exact(dtype, kind):
    base = bit_pattern(dtype, (5, 6), WIRE_TORCH.index(dtype))
    tensors = {"plain": base, "transposed": base.t(), "sliced": base[::2, 1:]}
    value = {
        "np": np.arange(3),
        "layer": {
            name: Exporter(t, versioned=kind == "versioned", device=kind != "capsule-device")
            for name, t in tensors.items()
        },
    }
    back = vamra.loads(vamra.dumps(value))
    assert np.array_equal(back["np"], np.arange(3))
    expected = str(dtype).removeprefix("torch.")
    for name, tensor in tensors.items():
        got = back["layer"][name]
        assert got.dtype.name == expected and got.shape == tuple(tensor.shape)
        assert as_bytes(got) == as_bytes(tensor), name


def test_an_exporter_is_read_from_its_memory_with_one_copy():
    from vamra import _arrays

    tensor = torch.arange(1024, dtype=torch.bfloat16)
    array = _arrays.dlpack_array(Exporter(tensor))
    assert array.ctypes.data == tensor.data_ptr() and array.dtype.name == "bfloat16"
    assert _arrays.dlpack_array(Exporter(tensor.view(32, 32).t())).ctypes.data != tensor.data_ptr()


class OnDevice:
    def __dlpack_device__(self):
        return (2, 1)

    def __dlpack__(self, **kwargs):
        raise AssertionError("the memory of a tensor on another device is never asked for")


@pytest.mark.parametrize("writer", ["dumps", "save", "send", "quantize"])
def test_tensors_on_another_device_name_it_before_anything_is_written(writer, tmp_path, name):
    value = {"ok": np.ones(2), "block": {"w": OnDevice()}}
    path = tmp_path / "x.vmra"
    with pytest.raises(TypeError) as raised:
        if writer == "dumps":
            vamra.dumps(value)
        elif writer == "save":
            vamra.save(value, path)
        elif writer == "send":
            with Channel.create(name, slots=1, slot_bytes=1 << 16) as channel:
                channel.send(value)
        else:
            QuantizedTensor.quantize(OnDevice())
    message = str(raised.value)
    assert "on device cuda:1" in message and "copy it to the CPU first" in message
    if writer != "quantize":
        assert "['block']['w']" in message
    assert not path.exists()


def test_a_device_only_the_capsule_tells_is_refused_too():
    made = []

    class CapsuleOnly:
        def __dlpack__(self, **kwargs):
            made.append(Exported(np.zeros(4, np.float32), device=10))
            return made[-1].capsule

    with pytest.raises(TypeError, match=r"device rocm .* at \['x'\]: copy it to the CPU first"):
        vamra.dumps({"x": CapsuleOnly()})
    assert made[0].deleted == 0 and made[0].name == "dltensor"


@pytest.mark.filterwarnings("ignore::UserWarning")  # torch's note on complex32
@pytest.mark.parametrize("dtype", [torch.float8_e4m3fn, torch.float8_e5m2, torch.complex32])
def test_element_types_without_a_wire_code_raise_value_error(dtype, tmp_path):
    value = {"a": {"b": Exporter(torch.zeros(3, dtype=dtype))}}
    with pytest.raises(ValueError, match=r"Unsupported dtype at \['a'\]\['b'\]: .*packets hold"):
        vamra.dumps(value)
    with pytest.raises(ValueError, match="Unsupported dtype"):
        vamra.save(value, tmp_path / "x.vmra")
    assert not (tmp_path / "x.vmra").exists()


def test_files_and_companions_take_exporters(tmp_path):
    weights = torch.randn(64, 16, generator=torch.Generator().manual_seed(7))
    value = {
        "w": Exporter(weights),
        "names": StringTensor.from_list(["a", "b"]),
        "q": QuantizedTensor.quantize(Exporter(weights)),
        "deep": {"er": {"bf": Exporter(weights.bfloat16().t())}},
    }
    for options in ({}, {"compress": True, "check_integrity": True}):
        vamra.save(value, tmp_path / "f.vmra", **options)
        back = vamra.load(tmp_path / "f.vmra")
        assert as_bytes(back["w"]) == as_bytes(weights)
        assert as_bytes(back["deep"]["er"]["bf"]) == as_bytes(weights.bfloat16().t())
        assert back["names"].tolist() == ["a", "b"]
        assert np.array_equal(back["q"].dequantize(), value["q"].dequantize())


def test_a_channel_sends_exporters(name):
    weights = bit_pattern(torch.bfloat16, (32, 8), 3)
    with Channel.create(name, slots=2, slot_bytes=1 << 16) as channel:
        channel.send({"w": Exporter(weights.t()), "n": np.arange(4)})
        with channel.recv(timeout=5) as message:
            assert as_bytes(message.value["w"]) == as_bytes(weights.t())


@pytest.mark.parametrize("dtype", [torch.bfloat16, torch.float16, torch.int32, torch.bool])
def test_quantize_reads_an_exporter_as_its_values(dtype):
    values = torch.linspace(-3, 5, 64).to(dtype)
    expected = QuantizedTensor.quantize(values.float().numpy(), "quint8", group_size=16)
    got = QuantizedTensor.quantize(Exporter(values), "quint8", group_size=16)
    assert np.array_equal(got.dequantize(), expected.dequantize())
    with pytest.raises(TypeError, match="cannot quantize an array of dtype complex64"):
        QuantizedTensor.quantize(Exporter(torch.zeros(2, dtype=torch.complex64)))


def test_views_outlive_the_exporter_and_its_library_object():
    # A freed tensor read by the encoder would end the process: run apart.
    script = textwrap.dedent(
        """
        import gc, sys, torch
        from vamra import _arrays
        sys.modules["ml_dtypes"] = None  # bfloat16 is read without it
        t = torch.arange(1 << 20, dtype=torch.float32).bfloat16()
        class E:
            def __init__(self, t): self.t = t
            def __dlpack__(self, **kw): return self.t.__dlpack__(**kw)
        array = _arrays.dlpack_array(E(t))
        del t; gc.collect()
        litter = [torch.full((1 << 20,), 7.0) for _ in range(8)]
        import numpy as np, vamra
        from vamra import _native
        back = _native.loads(vamra.dumps({"b": array}), bfloat16=np.uint16)["b"]
        print("same:", back[5] == 0x40A0, len(litter))
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert "same: True 8" in done.stdout

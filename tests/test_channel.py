"""vamra.channel.Channel: lifecycle, values, backpressure, views, several processes."""

import gc
import json
import os
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
import scipy.sparse as sp
import vamra
from vamra.channel import Channel
from vamra.quantize import QuantizedTensor
from vamra.ragged import StringTensor

import vamra_rs

LIMIT = 60.0  # seconds any child process may take


def run_children(scripts, limit=LIMIT):
    """Runs Python scripts as concurrent children; returns their stdouts (all must succeed)."""
    children = [
        subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(script)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for script in scripts
    ]
    outputs = []
    for child in children:
        try:
            out, err = child.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            for other in children:
                other.kill()
            pytest.fail("a child process hung")
        assert child.returncode == 0, err[-3000:]
        outputs.append(out)
    return outputs


def assert_same(got, want):
    """Bit-for-bit equality of values of every kind the channel carries."""
    assert type(got) is type(want) or (isinstance(want, np.ndarray) and type(got) is np.ndarray)
    if isinstance(want, dict):
        assert got.keys() == want.keys()
        for key in want:
            assert_same(got[key], want[key])
    elif isinstance(want, np.ndarray):
        assert got.dtype == want.dtype and got.shape == want.shape
        assert got.tobytes() == want.tobytes()
    elif sp.issparse(want):
        assert got.format == want.format and got.shape == want.shape
        for part in ("data", "indices", "indptr", "row", "col"):
            if hasattr(want, part):
                assert_same(getattr(got, part), getattr(want, part))
    elif isinstance(want, StringTensor):
        assert got.to_bytes_list() == want.to_bytes_list()
    elif isinstance(want, QuantizedTensor):
        assert vamra.dumps(got) == vamra.dumps(want)
    else:
        raise AssertionError(f"unexpected kind {type(want)}")


rng = np.random.default_rng(7)
VALUES = {
    "float32": rng.standard_normal((64, 33)).astype(np.float32),
    "int8 scalar": np.array(-3, np.int8),
    "empty": np.zeros((0, 5), np.float64),
    "large": rng.standard_normal(300_000),  # written outside the mutex
    "dict": {"a": np.arange(10, dtype=np.uint16), "nested": {"b": np.ones((2, 2), bool)}},
    "csr": sp.random(40, 30, density=0.1, format="csr", random_state=1),
    "coo": sp.random(40, 30, density=0.1, format="coo", random_state=2),
    "strings": StringTensor.from_list(["", "one", "zwei", "三"]),
    "quantized": QuantizedTensor.quantize(rng.standard_normal((8, 16)).astype(np.float32), "qint8"),
    "dict with companions": {
        "names": StringTensor.from_list(["a", "bb"]),
        "w": np.arange(6, dtype=np.float32).reshape(2, 3),
    },
}
OPTIONS = [{}, {"check_integrity": True}, {"compress": True}, {"alignment": 4096}]


@pytest.fixture
def channel(name):
    with Channel.create(name, slots=3, slot_bytes=4 << 20) as ch:
        yield ch


@pytest.mark.parametrize("copy", [False, True], ids=["views", "copy"])
@pytest.mark.parametrize("key", VALUES)
def test_every_kind_arrives_bit_for_bit(channel, key, copy):
    options = {} if key in ("strings", "quantized") else {"check_integrity": True}
    channel.send(VALUES[key], **options)
    with channel.recv(timeout=5, copy=copy) as message:
        assert_same(message.value, VALUES[key])


@pytest.mark.parametrize("options", OPTIONS, ids=lambda o: ",".join(o) or "plain")
def test_options_reach_the_packet(channel, options):
    value = {"w": np.arange(5000, dtype=np.float32), "s": StringTensor.from_list(["x"])}
    channel.send(value["w"], **options)
    channel.send(value, **options)
    for want in (value["w"], value):
        with channel.recv(timeout=5) as message:
            assert_same(message.value, want)


def test_views_point_into_the_segment_and_copies_do_not(channel):
    array = np.arange(1000, dtype=np.int64)
    channel.send(array)
    channel.send(array)
    segment = np.frombuffer(channel._map, np.uint8)
    low, high = segment.ctypes.data, segment.ctypes.data + segment.nbytes
    with channel.recv() as viewed:
        address = viewed.value.ctypes.data
        assert low <= address < high and not viewed.value.flags.writeable
    copied = channel.recv(copy=True).value
    assert not low <= copied.ctypes.data < high
    del segment


def test_messages_come_in_send_order(channel):
    for round_ in range(4):
        for seq in range(channel.slots):
            channel.send(np.array([round_, seq]))
        got = [channel.recv(copy=True).value.tolist() for _ in range(channel.slots)]
        assert got == [[round_, seq] for seq in range(channel.slots)]


# --- lifecycle -------------------------------------------------------------------------------


def test_create_attach_close_unlink(name):
    ch = Channel.create(name, slots=2, slot_bytes=4096)
    with pytest.raises(FileExistsError, match="already exists"):
        Channel.create(name)
    other = Channel.attach(name)
    assert (other.slots, other.slot_bytes, other.name) == (2, 4096, name)
    ch.send(np.arange(3))
    ch.unlink()
    with pytest.raises(FileNotFoundError, match="no channel"):
        Channel.attach(name)
    # Attached handles keep working after the name is gone.
    assert other.recv(copy=True).value.tolist() == [0, 1, 2]
    with pytest.raises(FileNotFoundError):
        ch.unlink()
    for handle in (ch, other):
        handle.close()
        handle.close()  # a second close does nothing
        assert handle.closed
        with pytest.raises(ValueError, match="closed"):
            handle.send(np.zeros(1))
        with pytest.raises(ValueError, match="closed"):
            handle.recv(timeout=0)


def test_the_creating_handle_removes_the_name_on_exit(name):
    with Channel.create(name, slots=1, slot_bytes=4096) as ch:
        with Channel.attach(name) as other:
            pass
        assert not ch.closed and other.closed
    assert ch.closed and not os.path.exists(f"/dev/shm/{name}")
    with pytest.raises(FileNotFoundError):
        Channel.attach(name)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda n: Channel.attach("vamra-test-missing-channel"), FileNotFoundError),
        (lambda n: Channel.create(""), ValueError),
        (lambda n: Channel.create("a/b"), ValueError),
        (lambda n: Channel.create(".."), ValueError),
        (lambda n: Channel.create("x" * 256), ValueError),
        (lambda n: Channel.create(3), TypeError),
        (lambda n: Channel.create(n, slots=0), ValueError),
        (lambda n: Channel.create(n, slots=1.5), ValueError),
        (lambda n: Channel.create(n, slot_bytes=63), ValueError),
    ],
)
def test_bad_names_and_sizes_are_refused(name, call, error):
    with pytest.raises(error):
        call(name)
    assert not os.path.exists(f"/dev/shm/{name}")


def test_a_channel_larger_than_shared_memory_fails_at_creation(name):
    # The memory is taken when the channel is made, so that a full /dev/shm is
    # an error here rather than SIGBUS in a later sender.
    with pytest.raises(OSError):
        Channel.create(name, slots=1, slot_bytes=1 << 50)
    assert not os.path.exists(f"/dev/shm/{name}")
    assert not [f for f in os.listdir("/dev/shm") if f.startswith(f".{name}.")]


@pytest.mark.parametrize("content", [b"", b"\0" * 4096, b"not a channel" * 1000])
def test_attaching_to_a_segment_that_is_not_a_channel(name, content):
    with open(f"/dev/shm/{name}", "wb") as file:
        file.write(content)
    with pytest.raises(ValueError, match="not a vamra channel"):
        Channel.attach(name)


def test_a_leading_slash_names_the_same_channel(name):
    with Channel.create("/" + name, slots=1, slot_bytes=4096):
        with Channel.attach(name) as same:
            assert same.slots == 1


# --- sending limits --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, options",
    [
        (np.zeros(20_000, np.uint8), {}),  # the array alone is too large
        (np.zeros(16_380, np.uint8), {}),  # only the header tips it over
        ({"a": np.zeros(10_000, np.uint8), "b": np.zeros(10_000, np.uint8)}, {}),
        (StringTensor.from_list(["x" * 17_000]), {}),
        (rng.integers(0, 255, 40_000, dtype=np.uint8), {"compress": True}),
    ],
)
def test_too_large_values_are_refused_before_anything_is_sent(name, value, options):
    with Channel.create(name, slots=2, slot_bytes=16_384) as ch:
        with pytest.raises(ValueError, match="needs .* bytes; a slot .* holds 16384"):
            ch.send(value, **options)
        for seq in range(ch.slots):
            ch.send(np.array([seq]), timeout=0)
        # Refused at once, not after waiting for a slot of the full channel.
        with pytest.raises(ValueError, match="needs .* bytes"):
            ch.send(value, timeout=30, **options)
        for _ in range(ch.slots):
            ch.recv(copy=True)
        with pytest.raises(TimeoutError):
            ch.recv(timeout=0)
        # No slot was taken by the refused value.
        for seq in range(ch.slots):
            ch.send(np.array([seq]), timeout=0)


@pytest.mark.parametrize(
    "value, options, error",
    [
        ({1, 2, 3}, {}, TypeError),
        ({"a": object()}, {}, TypeError),
        (np.zeros(3), {"level": 3}, TypeError),
        (np.zeros((4, 4))[:, ::2], {}, ValueError),
        (np.zeros(3), {"alignment": 3}, ValueError),
    ],
)
def test_values_that_cannot_be_encoded_leave_the_channel_empty(channel, value, options, error):
    with pytest.raises(error):
        channel.send(value, **options)
    with pytest.raises(TimeoutError):
        channel.recv(timeout=0)
    for seq in range(channel.slots):
        channel.send(np.array([seq]), timeout=0)


@pytest.mark.parametrize("size", [100, 200_000], ids=["small", "large"])
def test_a_full_channel_times_out_then_takes_the_next_value(name, size):
    with Channel.create(name, slots=2, slot_bytes=1 << 20) as ch:
        for seq in range(2):
            ch.send(np.full(size, seq, np.float32))
        began = time.monotonic()
        with pytest.raises(TimeoutError, match="no free slot"):
            ch.send(np.zeros(size, np.float32), timeout=0.2)
        assert 0.2 <= time.monotonic() - began < 2
        ch.recv(copy=True)
        ch.send(np.full(size, 2, np.float32), timeout=0)
        assert [ch.recv(copy=True).value[0] for _ in range(2)] == [1, 2]


def test_an_empty_channel_times_out(channel):
    began = time.monotonic()
    with pytest.raises(TimeoutError, match="no message"):
        channel.recv(timeout=0.2)
    assert 0.2 <= time.monotonic() - began < 2


# --- views and release -----------------------------------------------------------------------


def test_views_keep_their_slot_after_release(name):
    with Channel.create(name, slots=1, slot_bytes=8192) as ch:
        ch.send(np.arange(100))
        message = ch.recv()
        view = message.value
        message.release()
        assert message.released
        with pytest.raises(ValueError, match="released"):
            _ = message.value
        # The view still holds the only slot: nothing can overwrite it.
        with pytest.raises(TimeoutError):
            ch.send(np.zeros(100, np.int64), timeout=0.1)
        assert view.tolist() == list(range(100))
        with pytest.raises(BufferError, match="views"):
            ch.close()
        del view
        ch.send(np.full(100, 7), timeout=1)
        assert ch.recv(copy=True).value[0] == 7


@pytest.mark.parametrize(
    "keep",
    [
        lambda value: value["w"][2:5],  # a slice of an array in a dict
        lambda value: value["w"].reshape(2, 5).T,
        lambda value: memoryview(value["w"]),
    ],
    ids=["slice", "reshaped", "memoryview"],
)
def test_anything_derived_from_a_view_keeps_the_slot(name, keep):
    value = {"w": np.arange(10.0), "m": sp.random(5, 5, density=0.5, format="csr")}
    with Channel.create(name, slots=1, slot_bytes=8192) as ch:
        ch.send(value)
        with ch.recv() as message:
            kept = keep(message.value)
        gc.collect()
        with pytest.raises(TimeoutError):
            ch.send(np.zeros(1), timeout=0.05)
        del kept
        ch.send(np.zeros(1), timeout=1)


def test_a_dropped_message_frees_its_slot(name):
    with Channel.create(name, slots=1, slot_bytes=4096) as ch:
        ch.send(np.zeros(4))
        ch.recv()  # never released: dropping it is enough
        ch.send(np.ones(4), timeout=1)
        message = ch.recv(copy=True)
        message.release()  # does nothing for an owned copy
        assert message.released


def test_a_damaged_packet_is_an_error_and_frees_its_slot(name):
    with Channel.create(name, slots=1, slot_bytes=8192) as ch:
        ch.send(np.arange(500, dtype=np.int32), check_integrity=True)
        body = np.frombuffer(ch._map, np.uint8)
        body[ch._area + 500] ^= 0xFF
        del body
        with pytest.raises(ValueError):
            ch.recv(timeout=1)
        ch.send(np.zeros(1), timeout=1)


# --- several processes -----------------------------------------------------------------------

PRODUCER = """
    import numpy as np
    from vamra.channel import Channel
    with Channel.attach({name!r}) as ch:
        for seq in range({count}):
            ch.send(np.array([{producer}, seq], np.int64), timeout=30)
"""

CONSUMER = """
    import json
    from vamra.channel import Channel
    got = []
    with Channel.attach({name!r}) as ch:
        while True:
            with ch.recv(timeout=30) as message:
                producer, seq = message.value.tolist()
            if producer < 0:
                break
            got.append((producer, seq))
    print(json.dumps(got))
"""


@pytest.mark.parametrize("producers, consumers", [(1, 1), (3, 2)])
def test_many_producers_and_consumers_deliver_each_message_once_in_order(
    name, producers, consumers
):
    count = 300
    with Channel.create(name, slots=4, slot_bytes=4096) as ch:
        scripts = [PRODUCER.format(name=name, count=count, producer=p) for p in range(producers)]
        scripts += [CONSUMER.format(name=name) for _ in range(consumers)]
        children = [
            subprocess.Popen(
                [sys.executable, "-c", textwrap.dedent(script)],
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
            )
            for script in scripts
        ]
        try:
            for child in children[:producers]:
                assert child.wait(LIMIT) == 0, child.stderr.read()
            for _ in range(consumers):
                ch.send(np.array([-1, -1], np.int64), timeout=LIMIT)
            outputs = []
            for child in children[producers:]:
                out, err = child.communicate(timeout=LIMIT)
                assert child.returncode == 0, err
                outputs.append([tuple(pair) for pair in json.loads(out)])
        finally:
            for child in children:
                child.kill()
                child.wait()
    everything = sorted(pair for output in outputs for pair in output)
    assert everything == sorted((p, s) for p in range(producers) for s in range(count))
    for output in outputs:
        for producer in range(producers):
            seqs = [s for p, s in output if p == producer]
            assert seqs == sorted(seqs)


def test_threads_of_one_process_share_a_handle(channel):
    import threading

    got = []

    def consume():
        for _ in range(200):
            with channel.recv(timeout=LIMIT) as message:
                got.append(int(message.value[0]))

    consumer = threading.Thread(target=consume)
    consumer.start()
    for seq in range(200):
        channel.send(np.array([seq]), timeout=LIMIT)
    consumer.join(LIMIT)
    assert got == list(range(200))


def test_docstring_examples_run():
    import doctest

    import vamra.channel

    assert doctest.testmod(vamra.channel).failed == 0


def test_the_example_runs():
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "shm_exchange.py")
    result = subprocess.run(
        [sys.executable, example, "--count", "50"], capture_output=True, text=True, timeout=LIMIT
    )
    assert result.returncode == 0, result.stderr
    assert "50 tensors of 1 MiB" in result.stdout


INTERRUPTED = """
    import os, signal, threading
    import numpy as np
    from vamra.channel import Channel
    with Channel.create({name!r}, slots=1, slot_bytes=4096) as ch:
        if {full!r}:
            ch.send(np.zeros(1))
        threading.Timer(0.3, os.kill, [os.getpid(), signal.SIGINT]).start()
        try:
            ch.send(np.ones(1)) if {full!r} else ch.recv()
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        # Nothing was left held: the channel goes on working.
        if {full!r}:
            ch.recv(timeout=1)
        ch.send(np.full(1, 7), timeout=1)
        print(int(ch.recv(timeout=1, copy=True).value[0]))
"""


@pytest.mark.parametrize("full", [False, True], ids=["recv", "send"])
def test_ctrl_c_ends_a_blocked_call(name, full):
    (out,) = run_children([INTERRUPTED.format(name=name, full=full)], limit=30)
    assert out.split() == ["interrupted", "7"]


def test_close_refuses_while_another_thread_holds_the_mutex(channel):
    import threading

    entered, leave = threading.Event(), threading.Event()

    def hold():
        vamra_rs.shm_mutex_lock(channel._map, 64)
        entered.set()
        leave.wait(LIMIT)
        vamra_rs.shm_mutex_unlock(channel._map, 64)

    holder = threading.Thread(target=hold)
    holder.start()
    assert entered.wait(LIMIT)
    # The held mutex keeps the segment exported: closing now would unmap it
    # under the other thread.
    with pytest.raises(BufferError, match="another thread"):
        channel.close()
    leave.set()
    holder.join(LIMIT)
    channel.send(np.arange(2), timeout=1)
    assert channel.recv(copy=True).value.tolist() == [0, 1]
    channel.close()
    assert channel.closed


def test_torch_tensors_arrive_as_arrays(channel):
    torch = pytest.importorskip("torch")
    state = {"w": torch.randn(64, 300), "step": torch.tensor(3)}
    channel.send(state)
    with channel.recv(timeout=5) as message:
        got = {key: torch.from_numpy(np.array(value)) for key, value in message.value.items()}
    assert all(torch.equal(got[key], state[key]) for key in state)

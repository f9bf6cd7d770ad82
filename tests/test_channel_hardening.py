"""vamra.channel under Ctrl-C, busy and damaged shared state, and odd arguments.

Everything that could hang or crash runs in a child process with a time limit.
"""

import os
import struct
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
from vamra import _native
from vamra.channel import Channel

LIMIT = 60.0

# Imported by every child script: helpers over the segment's records.
PRELUDE = """
    import gc, os, signal, sys, threading, time
    import numpy as np
    import vamra_rs
    from vamra import _native
    from vamra import channel as c
    from vamra.channel import Channel

    def states(ch):
        words = np.frombuffer(ch._map, np.uint64, 8 * ch.slots, 192).reshape(ch.slots, 8)
        return [int(s) for s in words[:, 0]]

    def usable(ch):
        # Every slot takes a message, and they come back in order.
        for seq in range(ch.slots):
            ch.send(np.array([seq]), timeout=5)
        got = [int(ch.recv(timeout=5, copy=True).value[0]) for _ in range(ch.slots)]
        assert got == list(range(ch.slots)), got
"""


def run(script, limit=LIMIT):
    """Runs a child script; returns (stdout, stderr), failing on a hang or a non-zero exit."""
    code = textwrap.dedent(PRELUDE) + textwrap.dedent(script)
    try:
        result = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, timeout=limit
        )
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"the child hung; stderr: {(expired.stderr or b'')[-2000:]!r}")
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout, result.stderr


# A child that holds the channel's mutex until its stdin closes.
HOLDER = """
    import sys, vamra_rs
    from vamra.channel import Channel
    ch = Channel.attach({name!r})
    vamra_rs.shm_mutex_lock(ch._map, 64, 5.0)
    print("locked", flush=True)
    sys.stdin.read()
"""


# --- Ctrl-C -----------------------------------------------------------------------------------

STORM = """
    ch = Channel.create({name!r}, slots=3, slot_bytes=1 << 20)
    ch.unlink()
    big = np.arange(100_000, dtype=np.float64)
    rounds = interrupted = 0

    def one_round():
        global rounds
        while True:  # what an interrupted round left behind
            try:
                ch.recv(timeout=0, copy=True)
            except TimeoutError:
                break
        ch.send(np.arange(10), timeout=5)
        with ch.recv(timeout=5) as message:
            int(message.value.sum())
        ch.send(big, timeout=5)
        ch.recv(timeout=5, copy=rounds % 2 == 0).release()
        ch.send({{"a": np.ones(3)}}, timeout=5, check_integrity=True)
        ch.recv(timeout=5, copy=True)
        rounds += 1

    # Each arming lets one SIGINT raise, anywhere inside a round; the harness
    # around the rounds is not what is tested.
    armed = False

    def interrupt(signum, frame):
        global armed
        if armed:
            armed = False
            raise KeyboardInterrupt

    signal.signal(signal.SIGINT, interrupt)
    print("ready", flush=True)
    end = time.monotonic() + {seconds}
    while time.monotonic() < end:
        try:
            armed = True
            one_round()
            armed = False
        except KeyboardInterrupt:
            interrupted += 1
    armed = False
    gc.collect()
    while True:
        try:
            ch.recv(timeout=0.3, copy=True)
        except TimeoutError:
            break
    # Nothing stays held: no slot, and not the mutex.
    assert states(ch) == [0] * ch.slots, states(ch)
    assert _native.channel_owners(ch._map, time.monotonic()) == []
    usable(ch)
    print(rounds, interrupted, flush=True)
"""


def test_ctrl_c_at_any_moment_leaves_nothing_held(name, child):
    # A storm of SIGINTs at every point of sends and receives, each caught by
    # the process, which goes on using the channel (as a notebook kernel does).
    seconds = 2.0
    script = textwrap.dedent(PRELUDE) + textwrap.dedent(STORM.format(name=name, seconds=seconds))
    storm = child(script)
    storm.expect("ready")
    gap = 0.0007
    end = time.monotonic() + seconds - 0.2
    sent = 0
    while time.monotonic() < end and sent < 5000:
        storm.signal(2)
        sent += 1
        time.sleep(gap)
        gap = 0.0003 + (gap * 7919) % 0.002  # irregular gaps
    assert storm.process.wait(LIMIT) == 0, storm.process.stderr.read()[-3000:]
    rounds, interrupted = map(int, storm.process.stdout.readline().split())
    assert interrupted > 20 and rounds > 0


INTERRUPTED_WHILE_BUSY = """
    ch = Channel.create({name!r}, slots=2, slot_bytes=1 << 16)
    ch.unlink()
    hold, let_go = threading.Event(), threading.Event()

    def holder():
        hold.wait(30)
        vamra_rs.shm_mutex_lock(ch._map, 64, 5.0)
        held.set()
        let_go.wait(30)
        time.sleep(0.3)  # the interrupted call waits for the mutex meanwhile
        vamra_rs.shm_mutex_unlock(ch._map, 64)

    held = threading.Event()
    threading.Thread(target=holder, daemon=True).start()

    def interrupt_soon():
        held.wait(30)
        time.sleep(0.2)
        os.kill(os.getpid(), signal.SIGINT)
        let_go.set()

    threading.Thread(target=interrupt_soon, daemon=True).start()
    caught = None
    if {case!r} == "publish":
        # The mutex is taken between the write and the publication.
        def write(value, area):
            area[:8] = b"12345678"
            hold.set()
            held.wait(30)
            return 8
        try:
            _native.channel_send(ch._map, write, None, c._identity[1])
        except KeyboardInterrupt:
            caught = "KeyboardInterrupt"
    else:
        ch.send(np.arange(1000))
        message = ch.recv()
        view = message.value
        hold.set()
        held.wait(30)
        try:
            message.release()
            del view  # the slot goes back here, while the mutex is busy
            time.sleep(2)  # the handler runs at the next chance
        except KeyboardInterrupt:
            caught = "KeyboardInterrupt"
    print(caught, states(ch), flush=True)
    usable(ch)
"""


@pytest.mark.parametrize("case", ["publish", "release"])
def test_ctrl_c_while_the_mutex_is_busy_loses_no_slot(name, case):
    out, err = run(INTERRUPTED_WHILE_BUSY.format(name=name, case=case))
    assert out.split("\n")[0] == "KeyboardInterrupt [0, 0]"
    assert "Exception ignored" not in err


LATE_PUBLICATION = """
    import subprocess
    ch = Channel.create({name!r}, slots=2, slot_bytes=1 << 16)
    holding = subprocess.Popen(
        [sys.executable, "-c", {holder!r}], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    assert holding.stdout.readline() == "attached\\n"
    ch.unlink()

    def write(value, area):
        area[:8] = b"12345678"
        holding.stdin.write("lock\\n")
        holding.stdin.flush()
        assert holding.stdout.readline() == "locked\\n"
        return 8

    began = time.monotonic()
    try:
        deadline = time.monotonic() + 0.3
        _native.channel_send(ch._map, write, None, c._identity[1], deadline, ch._pending)
    except TimeoutError:
        print("timed out", round(time.monotonic() - began, 1) <= 0.8, states(ch), len(ch._pending))
    holding.stdin.close()
    holding.wait(30)
    usable(ch)  # the next call gives the pending slot back first
    print(states(ch), ch._pending, flush=True)
"""

HOLD_ON_REQUEST = """
import sys, vamra_rs
from vamra.channel import Channel
ch = Channel.attach({name!r})
print("attached", flush=True)
sys.stdin.readline()
vamra_rs.shm_mutex_lock(ch._map, 64, 5.0)
print("locked", flush=True)
sys.stdin.read()
"""


def test_a_publication_past_the_deadline_gives_its_slot_back_later(name):
    holder = textwrap.dedent(HOLD_ON_REQUEST.format(name=name))
    out, _ = run(LATE_PUBLICATION.format(name=name, holder=holder))
    assert out.splitlines() == ["timed out True [1, 0] 1", "[0, 0] []"]


# --- a busy or damaged mutex --------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, timeout",
    [
        (lambda ch, t: ch.send(np.zeros(4), timeout=t), 0.2),
        (lambda ch, t: ch.send(np.zeros(100_000), timeout=t), 0.2),
        (lambda ch, t: ch.recv(timeout=t), 0.2),
        (lambda ch, t: ch.recv(timeout=t), 0.0),
    ],
    ids=["send small", "send large", "recv", "recv now"],
)
def test_a_held_mutex_does_not_outlast_the_deadline(name, child, call, timeout):
    with Channel.create(name, slots=2, slot_bytes=1 << 20) as ch:
        holder = child(HOLDER.format(name=name))
        holder.expect("locked")
        began = time.monotonic()
        with pytest.raises(TimeoutError, match="mutex stayed held"):
            call(ch, timeout)
        assert time.monotonic() - began < timeout + 0.5
        holder.finish()
        ch.send(np.ones(1), timeout=5)
        assert ch.recv(timeout=5, copy=True).value.tolist() == [1.0]


DAMAGED_MUTEX = """
    ch = Channel.create({name!r}, slots=2, slot_bytes=4096)
    ch.unlink()
    ch.send(np.arange(3))
    damage = {damage!r}
    if damage == "dead holder":
        # A well-formed robust mutex whose lock word names a thread that is gone.
        child = os.fork()
        if child == 0:
            os._exit(0)
        os.waitpid(child, 0)
        ch._bytes[64:68] = child.to_bytes(4, "little")
    else:
        ch._bytes[64:128] = bytes(range(7, 71)) if damage == "garbage" else b"\\xff" * 64
    for call in (lambda: ch.recv(), lambda: ch.recv(timeout=30), lambda: ch.send(np.ones(2))):
        began = time.monotonic()
        try:
            call()
        except ValueError as error:
            print(round(time.monotonic() - began), str(error)[:40], flush=True)
"""


@pytest.mark.parametrize("damage", ["garbage", "ones", "dead holder"])
def test_a_damaged_mutex_is_a_value_error_at_once(name, damage):
    out, _ = run(DAMAGED_MUTEX.format(name=name, damage=damage), limit=30)
    lines = out.splitlines()
    assert len(lines) == 3, out
    for line in lines:
        seconds, text = line.split(" ", 1)
        assert text.startswith("damaged vamra channel")
        assert int(seconds) <= (2 if damage == "dead holder" else 0)


def test_close_from_another_thread_leaves_a_blocked_recv_working(name):
    import threading

    with Channel.create(name, slots=2, slot_bytes=4096) as ch:
        got, failed = [], []

        def receive():
            try:
                got.append(ch.recv(timeout=10, copy=True).value.tolist())
            except BaseException as error:
                failed.append(error)

        receiver = threading.Thread(target=receive)
        receiver.start()
        time.sleep(0.2)  # blocked in recv
        with pytest.raises(BufferError, match="another thread"):
            ch.close()
        assert not ch.closed
        ch.send(np.arange(3), timeout=1)
        receiver.join(LIMIT)
        assert (got, failed) == ([[0, 1, 2]], [])
        ch.close()
        assert ch.closed


# --- the segment from another process -----------------------------------------------------------


def test_attaching_to_a_large_file_reads_only_its_header(name):
    path = f"/dev/shm/{name}"
    with open(path, "wb") as file:
        file.truncate(1 << 30)  # sparse: no page of it exists yet
    began = time.monotonic()
    with pytest.raises(ValueError, match="not a vamra channel"):
        Channel.attach(name)
    assert time.monotonic() - began < 0.5
    assert os.stat(path).st_blocks == 0  # nothing was mapped in


@pytest.mark.parametrize("length", [2**63, 2**64 - 1, 4097], ids=["2**63", "2**64-1", "slot+1"])
@pytest.mark.parametrize("copy", [False, True], ids=["views", "copy"])
def test_an_impossible_packet_length_drops_the_message(name, length, copy):
    with Channel.create(name, slots=2, slot_bytes=4096) as ch:
        ch.send(np.arange(3))
        ch.send(np.arange(4))
        ch._words[ch._records[0] + 4] = length  # the first message's length
        with pytest.raises(ValueError, match="damaged vamra channel: slot 0 holds a packet"):
            ch.recv(timeout=1, copy=copy)
        assert ch.recv(timeout=1, copy=True).value.tolist() == [0, 1, 2, 3]
        for seq in range(2):
            ch.send(np.array([seq]), timeout=0)


@pytest.mark.parametrize(
    "change",
    [
        lambda h: h.__setitem__(slice(0, 8), b"vamrachX"),
        lambda h: h.__setitem__(slice(8, 16), struct.pack("<Q", 2)),  # layout
        lambda h: h.__setitem__(slice(16, 24), struct.pack("<Q", 0)),  # slots
        lambda h: h.__setitem__(slice(16, 24), struct.pack("<Q", 2**64 - 1)),
        lambda h: h.__setitem__(slice(24, 32), struct.pack("<Q", 2**63)),  # slot size
        lambda h: h.__setitem__(slice(32, 40), struct.pack("<Q", 8192)),  # stride
        lambda h: h.__setitem__(slice(40, 48), struct.pack("<Q", 0)),  # area
    ],
)
def test_a_damaged_header_is_refused_on_attach_and_on_every_step(name, change):
    with Channel.create(name, slots=2, slot_bytes=4096) as ch:
        header = bytearray(ch._bytes[:64])
        change(header)
        with pytest.raises(ValueError, match="vamra channel"):
            _native.channel_layout(bytes(header), 3 * 4096)
        ch._bytes[:64] = header
        with pytest.raises(ValueError, match="vamra channel"):
            Channel.attach(name)
        with pytest.raises(ValueError, match="vamra channel"):
            ch.send(np.zeros(1))
        with pytest.raises(ValueError, match="vamra channel"):
            ch.recv(timeout=0)


# --- arguments --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda ch, n: ch.recv(timeout="1"), TypeError),
        (lambda ch, n: Channel.attach(n, spin=-1), ValueError),
        (lambda ch, n: Channel.attach(n, spin=float("nan")), ValueError),
        (lambda ch, n: Channel.attach(n, spin=float("inf")), ValueError),
        (lambda ch, n: Channel.create(n + "x", spin=-1e-6), ValueError),
        (lambda ch, n: Channel.create(n + "x", slot_bytes=10**30), ValueError),
        (lambda ch, n: Channel.create(n + "x", slots=True), ValueError),
        (lambda ch, n: Channel.create("é" * 128), ValueError),  # 256 bytes
        (lambda ch, n: Channel.create("x" * 256), ValueError),
    ],
)
def test_bad_arguments_are_refused_at_once(name, call, error):
    with Channel.create(name, slots=1, slot_bytes=4096) as ch:
        with pytest.raises(error):
            call(ch, name)
    assert not [f for f in os.listdir("/dev/shm") if name + "x" in f]


NAN_TIMEOUT = """
    ch = Channel.create({name!r}, slots=1, slot_bytes=4096)
    ch.unlink()
    nan = float("nan")
    for call in (lambda: ch.recv(timeout=nan), lambda: ch.send(np.zeros(1), timeout=nan)):
        try:
            call()
        except ValueError as error:
            print(type(error).__name__, flush=True)
"""


def test_a_nan_timeout_is_refused_not_waited_on(name):
    out, _ = run(NAN_TIMEOUT.format(name=name), limit=30)
    assert out.split() == ["ValueError", "ValueError"]


def test_infinite_and_negative_timeouts(name):
    with Channel.create(name, slots=1, slot_bytes=4096) as ch:
        ch.send(np.ones(1), timeout=float("inf"))
        assert ch.recv(timeout=float("inf"), copy=True).value.tolist() == [1.0]
        began = time.monotonic()
        with pytest.raises(TimeoutError):
            ch.recv(timeout=-1)  # a remainder that ran out: no wait
        assert time.monotonic() - began < 0.5


@pytest.mark.parametrize("bare", ["x" * 241, "x" * 242, "y" * 255, "é" * 127 + "z"])
def test_names_up_to_the_limit_in_bytes_work(bare):
    bare = bare[: -len(str(os.getpid()))] + str(os.getpid())
    try:
        with Channel.create(bare, slots=1, slot_bytes=4096) as ch:
            with Channel.attach("/" + bare) as same:
                ch.send(np.arange(2))
                assert same.recv(timeout=1, copy=True).value.tolist() == [0, 1]
    finally:
        if os.path.exists(f"/dev/shm/{bare}"):
            os.unlink(f"/dev/shm/{bare}")
    assert not [f for f in os.listdir("/dev/shm") if bare[:200] in f]


# --- values -----------------------------------------------------------------------------------


def bf16_values():
    ml_dtypes = pytest.importorskip("ml_dtypes")
    array = np.arange(12, dtype=np.float32).reshape(3, 4).astype(ml_dtypes.bfloat16)
    return {"b": array, "scalar": np.zeros((), ml_dtypes.bfloat16), "f": np.ones(2)}


@pytest.mark.parametrize("options", [{}, {"check_integrity": True}, {"compress": True}])
@pytest.mark.parametrize("destination", ["channel", "file object"])
def test_bfloat16_reaches_every_destination(name, destination, options):
    import io

    import vamra

    value = bf16_values()
    if destination == "channel":
        with Channel.create(name, slots=1, slot_bytes=1 << 16) as ch:
            ch.send(value, **options)
            got = ch.recv(timeout=1, copy=True).value
    else:
        buffer = io.BytesIO()
        vamra.save(value, buffer, **options)
        got = vamra.loads(buffer.getvalue())
    for key, want in value.items():
        assert got[key].dtype == want.dtype and got[key].tobytes() == want.tobytes()


def test_torch_bfloat16_through_the_channel(name):
    torch = pytest.importorskip("torch")
    state = {"w": torch.randn(4, 5).to(torch.bfloat16)}
    with Channel.create(name, slots=1, slot_bytes=1 << 16) as ch:
        ch.send(state)
        bits = ch.recv(timeout=1, copy=True).value["w"].view(np.int16).copy()
    assert torch.equal(torch.from_numpy(bits).view(torch.bfloat16), state["w"])


FORKED = """
    ch = Channel.create({name!r}, slots=1, slot_bytes=4096)
    ch.unlink()
    ch.send(np.arange(5))
    message = ch.recv()
    pid = os.fork()
    if pid == 0:
        del message  # the child's copy: the parent's slot is not the child's to give back
        gc.collect()
        os._exit(0)
    os.waitpid(pid, 0)
    print(states(ch), message.value.tolist(), flush=True)
    del message
    print(states(ch), flush=True)
"""


def test_a_forked_child_does_not_give_back_its_parents_slot(name):
    out, _ = run(FORKED.format(name=name))
    assert out.splitlines() == ["[3] [0, 1, 2, 3, 4]", "[0]"]


@pytest.mark.parametrize("extra, works", [(0, True), (241, True), (242, False)])
def test_without_unnamed_files_names_leave_room_for_the_temporary_one(
    name, monkeypatch, extra, works
):
    from vamra import _channel_segment

    monkeypatch.setattr(_channel_segment, "_TMPFILE", 0)
    bare = name if not extra else (name * 20)[:extra]
    assert len(bare) == (extra or len(name))
    try:
        if works:
            with Channel.create(bare, slots=1, slot_bytes=4096) as ch:
                ch.send(np.arange(2))
                assert ch.recv(timeout=1, copy=True).value.tolist() == [0, 1]
        else:
            with pytest.raises(ValueError, match="at most 241 bytes"):
                Channel.create(bare, slots=1, slot_bytes=4096)
    finally:
        if os.path.exists(f"/dev/shm/{bare}"):
            os.unlink(f"/dev/shm/{bare}")
    assert not [f for f in os.listdir("/dev/shm") if f.startswith(f".{bare[:100]}")]

"""vamra.channel: processes killed at any point never wedge the channel."""

import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from vamra import channel as channel_module
from vamra.channel import Channel

LIMIT = 60.0


class Child:
    """A Python child process that reports in stdout lines; killed after LIMIT seconds."""

    def __init__(self, script):
        self.process = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(script)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        self.started = time.monotonic()

    def expect(self, word):
        line = self.process.stdout.readline()
        if line.split()[:1] != [word]:
            self.process.kill()
            pytest.fail(f"expected {word!r}, got {line!r}: {self.process.stderr.read()[-3000:]}")
        return line.split()[1:]

    def kill(self, reap=True):
        self.process.send_signal(signal.SIGKILL)
        if reap:
            self.process.wait(LIMIT)

    def close(self):
        self.process.kill()
        self.process.wait(LIMIT)
        self.process.stdout.close()
        self.process.stderr.close()


@pytest.fixture
def children():
    started = []
    yield lambda script: started.append(Child(script)) or started[-1]
    for child in started:
        child.close()


def drain(ch, timeout=0.3):
    """Every message still in the channel (copies), oldest first."""
    got = []
    while True:
        try:
            got.append(ch.recv(timeout=timeout, copy=True).value)
        except TimeoutError:
            return got


def assert_usable(ch):
    """Every slot takes a message, and they come back in order."""
    for seq in range(ch.slots):
        ch.send(np.array([1000 + seq]), timeout=5)
    assert [int(v[0]) for v in drain(ch)] == [1000 + seq for seq in range(ch.slots)]


# A child that takes the mutex and changes the records as a process killed
# inside one of the channel's steps would leave them.
HOLDER = """
    import time
    import vamra_rs
    from vamra import channel as c
    ch = c.Channel.attach({name!r})
    vamra_rs.shm_mutex_lock(ch._map, c._MUTEX, 5.0)
    words, at = ch._words, ch._records[{slot}]
    if {damage!r} == "claimed":
        words[at + c._PID], words[at + c._START] = c._identity
        words[at + c._STATE] = c._WRITING
    elif {damage!r} == "published":
        # Published, but killed before the ticket counter moved on.
        length = words[ch._records[0] + c._LENGTH]
        start = ch._area + {slot} * ch._stride
        ch._bytes[start : start + length] = ch._bytes[ch._area : ch._area + length]
        words[at + c._LENGTH] = length
        words[at + c._TICKET] = words[c._H_TICKET]
        words[at + c._STATE] = c._READY
    print("locked", flush=True)
    time.sleep(600)
"""


@pytest.mark.parametrize("reap", [True, False], ids=["reaped", "zombie"])
@pytest.mark.parametrize("damage", ["nothing", "claimed", "published"])
def test_killed_holding_the_mutex(name, children, damage, reap):
    with Channel.create(name, slots=3, slot_bytes=4096) as ch:
        ch.send(np.array([1]))
        holder = children(HOLDER.format(name=name, slot=1, damage=damage))
        holder.expect("locked")
        holder.kill(reap)
        ch.send(np.array([2]), timeout=5)
        got = [int(v[0]) for v in drain(ch)]
        if damage == "published":
            # Complete when the holder died: delivered, and its ticket stays
            # unique (the counter was repaired), so the order holds.
            assert got == [1, 1, 2]
        else:
            assert got == [1, 2]
        assert_usable(ch)


WRITER = """
    import time
    from vamra import _native
    from vamra import channel as c
    ch = c.Channel.attach({name!r})

    def write(value, area):
        area[:1000] = bytes(range(250)) * 4  # half a packet
        print("writing", flush=True)
        time.sleep(600)

    _native.channel_send(ch._map, write, None, c._identity[1])
"""

READER = """
    import time
    from vamra.channel import Channel
    ch = Channel.attach({name!r})
    message = ch.recv(timeout=10)
    print("reading", int(message.value[0]), flush=True)
    time.sleep(600)
"""


@pytest.mark.parametrize("reap", [True, False], ids=["reaped", "zombie"])
def test_a_half_written_slot_is_discarded(name, children, reap):
    with Channel.create(name, slots=2, slot_bytes=1 << 16) as ch:
        writer = children(WRITER.format(name=name))
        writer.expect("writing")
        writer.kill(reap)
        with pytest.raises(TimeoutError):
            ch.recv(timeout=0.5)  # long enough to look for dead owners
        assert_usable(ch)


@pytest.mark.parametrize("reap", [True, False], ids=["reaped", "zombie"])
def test_a_dead_readers_slot_is_reclaimed(name, children, reap):
    with Channel.create(name, slots=2, slot_bytes=1 << 16) as ch:
        ch.send(np.array([5]))
        reader = children(READER.format(name=name))
        assert reader.expect("reading") == ["5"]
        ch.send(np.array([6]))
        # Both slots are taken now; the reader's comes back once it is dead.
        with pytest.raises(TimeoutError):
            ch.send(np.array([0]), timeout=0.1)
        reader.kill(reap)
        ch.send(np.array([7]), timeout=5)
        assert [int(v[0]) for v in drain(ch)] == [6, 7]
        assert_usable(ch)


def test_a_reused_process_id_does_not_keep_a_slot(name):
    with Channel.create(name, slots=1, slot_bytes=4096) as ch:
        ch.send(np.array([1]))
        # A reader record naming a live process id with another start time:
        # the process that took the slot is gone and its id was reused.
        at = ch._records[0]
        ch._words[at + channel_module._STATE] = channel_module._READING
        ch._words[at + channel_module._PID] = os.getpid()
        ch._words[at + channel_module._START] = channel_module._identity[1] + 1
        ch.send(np.array([2]), timeout=5)
        assert [int(v[0]) for v in drain(ch)] == [2]


@pytest.mark.parametrize(
    "who, expected",
    [
        (lambda: channel_module._identity, True),
        (lambda: (channel_module._identity[0], channel_module._identity[1] + 1), False),
        (lambda: (2**22 + 12345, 0), False),  # beyond the kernel's largest pid
    ],
    ids=["self", "reused id", "no such process"],
)
def test_liveness_of_a_recorded_owner(who, expected):
    assert channel_module._alive(*who()) is expected


def test_an_unreaped_child_counts_as_dead():
    child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)"])
    try:
        stat = channel_module._stat(child.pid)
        assert channel_module._alive(child.pid, stat[1])
        child.kill()
        deadline = time.monotonic() + LIMIT
        while channel_module._stat(child.pid)[0] != b"Z":
            assert time.monotonic() < deadline
            time.sleep(0.01)
        assert not channel_module._alive(child.pid, stat[1])
    finally:
        child.kill()
        child.wait()


# Processes killed at arbitrary moments: inside the mutex, mid-write, mid-read.
SENDER = """
    import numpy as np
    from vamra.channel import Channel
    ch = Channel.attach({name!r})
    print("ready", flush=True)
    for seq in range(1_000_000):
        size = 40_000 if seq % 2 else 10  # outside the mutex and inside it
        ch.send(np.full(size, seq, np.int64), timeout=30, check_integrity=True)
"""

RECEIVER = """
    from vamra.channel import Channel
    ch = Channel.attach({name!r})
    print("ready", flush=True)
    while True:
        with ch.recv(timeout=30) as message:
            int(message.value.sum())
"""


def check_stream(values):
    """Whole messages of one sender, in its order."""
    seqs = []
    for value in values:
        assert (value == value[0]).all()
        assert value.size == (40_000 if value[0] % 2 else 10)
        seqs.append(int(value[0]))
    assert seqs == sorted(seqs) and len(set(seqs)) == len(seqs)


@pytest.mark.parametrize("role", ["sender", "receiver"])
def test_killed_at_random_moments(name, children, role):
    chance = random.Random(role)
    with Channel.create(name, slots=3, slot_bytes=1 << 20) as ch:
        for _ in range(4):
            child = children((SENDER if role == "sender" else RECEIVER).format(name=name))
            child.expect("ready")
            killer = threading.Timer(
                chance.uniform(0.01, 0.15), child.kill, [chance.random() < 0.5]
            )
            killer.start()
            values = []
            deadline = time.monotonic() + LIMIT
            try:
                if role == "sender":
                    while time.monotonic() < deadline:
                        try:
                            values.append(ch.recv(timeout=0.3, copy=True).value)
                        except TimeoutError:
                            break
                else:
                    for seq in range(1_000_000):
                        if time.monotonic() > deadline:
                            break
                        value = np.full(40_000 if seq % 2 else 10, seq, np.int64)
                        try:
                            ch.send(value, timeout=0.3, check_integrity=True)
                        except TimeoutError:
                            break
                    # What the dead receiver did not take is still there, whole.
                    values = drain(ch)
            finally:
                killer.join()
            assert child.process.poll() is not None or child.process.wait(LIMIT) is not None
            check_stream(values)
        assert_usable(ch)

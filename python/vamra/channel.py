"""Tensors between processes on one machine: a shared-memory channel.

A :class:`Channel` is a named shared-memory segment holding a fixed number of
slots. :meth:`Channel.send` writes a value's packet in place into a free slot
(array bodies are copied once, from the arrays into the slot);
:meth:`Channel.recv` hands out the oldest waiting message as zero-copy views
into its slot, which returns to the senders when the message is released.
Any number of processes may send and receive on one channel; every message is
received once, and the messages of one sender in the order it sent them.

The segment starts with a page of shared state, then the slots::

    [0, 64)        magic, layout, slot count, slot size, slot stride, area
                   offset, next ticket (u64 each)
    [64, 128)      the robust mutex that guards every record (vamra_rs.shm_mutex_*)
    [128, 136)     event "published": advanced when a message becomes ready
    [136, 144)     event "freed": advanced when a slot becomes free
    [192, ...)     one 64-byte record per slot: state, owner pid, owner start
                   time, ticket, packet length, generation (u64 each)
    area offset    the slots, each a page-aligned run of `stride` bytes

A slot goes FREE -> WRITING (claimed by a sender) -> READY (published with the
next ticket) -> READING (taken by a receiver) -> FREE. Records change only
under the mutex. Large packets are written and read outside it, by the one
process that owns the slot; small ones are written, or copied out, under it,
going from FREE to READY (or READY to FREE) in one step. An owner is a
process id together with the process's start time, so that a reused id is not
mistaken for the process that died. A slot whose owner has died is taken back:
a half-written packet is dropped, never delivered, and a receiver's slot is
freed. A process that dies holding the
mutex leaves it to be recovered by the next one that locks it, which repairs
the records first.

Waiting uses the two events (futexes in the segment): a sender waits on
"freed", a receiver on "published", after a short spin. A waiter wakes at least
every few tenths of a second to look for dead owners. Owners are told apart by
process id, so the processes sharing a channel must see one another's ids
(one pid namespace: not containers with namespaces of their own).
"""

from __future__ import annotations

import mmap
import os
import secrets
import time
import weakref
from _thread import get_ident as _get_ident
from collections.abc import Callable
from types import TracebackType
from typing import Any, Final

import numpy as np

import vamra
import vamra_rs
from vamra import _native, _values

__all__ = ["Channel", "Message"]

_SHM_DIR: Final = "/dev/shm"
_MAGIC: Final = int.from_bytes(b"vamrachn", "little")
_LAYOUT: Final = 1
_PAGE: Final = mmap.PAGESIZE
_POPULATE: Final = getattr(mmap, "MAP_POPULATE", 0)

# Words (u64) of the header.
_H_MAGIC, _H_LAYOUT, _H_SLOTS, _H_SLOT_BYTES, _H_STRIDE, _H_AREA, _H_TICKET = range(7)
_MUTEX: Final = 64
_PUBLISHED: Final = 128
_FREED: Final = 136
_TABLE: Final = 192
_RECORD: Final = 64  # bytes per slot record
_TABLE_WORD: Final = _TABLE // 8
_RECORD_WORDS: Final = _RECORD // 8
# Words of a slot record, and its states.
_STATE, _PID, _START, _TICKET, _LENGTH, _GEN = range(6)
_FREE, _WRITING, _READY, _READING = range(4)

DEFAULT_SLOT_BYTES: Final = 4 << 20
"""Packet bytes a slot holds unless :meth:`Channel.create` is told otherwise."""
DEFAULT_SPIN: Final = 50e-6
"""Seconds a waiter watches the segment before it goes to sleep."""
_MAX_SLOTS: Final = 1 << 16
# How often a waiting process looks for owners that died, and the longest it
# waits for the mutex before it looks again (the mutex is held for microseconds).
_PEER_CHECK: Final = 0.2
_LOCK_WAIT: Final = 5.0
_OPTIONS: Final = frozenset({"check_integrity", "compress", "alignment"})
# Packets up to this size are written while the mutex is held, which saves a
# critical section; larger ones are written outside it.
_INLINE_BYTES: Final = 64 << 10
# The shortest spin an adapting waiter uses (below it, none), and how often
# a waiter that stopped spinning tries it again.
_MIN_SPIN: Final = 2e-6
_PROBE_EVERY: Final = 64

_lock: Final = vamra_rs.shm_mutex_lock
_unlock: Final = vamra_rs.shm_mutex_unlock
_loads: Final[Callable[[Any], Any]] = vamra_rs.loads_rs


# ---------------------------------------------------------------------------
# Processes


def _stat(pid: int) -> tuple[bytes, int] | None:
    """State letter and start time (clock ticks after boot) of process `pid`, or None."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as file:
            data = file.read()
    except OSError:
        return None
    # The command name (field 2) may hold spaces and parentheses: the fields
    # after it start behind the last ')'.
    fields = data[data.rindex(b")") + 2 :].split()
    return fields[0], int(fields[19])


def _own_identity() -> tuple[int, int]:
    pid = os.getpid()
    stat = _stat(pid)
    return pid, stat[1] if stat is not None else 0


# This process's (pid, start time), as slot records name their owners; a
# forked child finds its own.
_identity: tuple[int, int] = _own_identity()


def _after_fork() -> None:
    global _identity
    _identity = _own_identity()


os.register_at_fork(after_in_child=_after_fork)


def _alive(pid: int, start: int) -> bool:
    """Whether the process that recorded itself as (pid, start) still runs."""
    stat = _stat(pid)
    # A zombie has died, even though its parent has not collected it yet; a
    # different start time means the id now belongs to another process.
    return stat is not None and stat[0] not in (b"Z", b"X") and stat[1] == start


# ---------------------------------------------------------------------------
# Names and layout


def _path(name: str) -> str:
    if not isinstance(name, str):
        raise TypeError(f"a channel name is a str, not {type(name).__name__}")
    bare = name[1:] if name.startswith("/") else name
    if not bare or "/" in bare or "\0" in bare or bare in (".", "..") or len(bare) > 255:
        raise ValueError(
            f"invalid channel name {name!r}: 1 to 255 characters, no '/' after an optional "
            "leading one, no NUL"
        )
    return os.path.join(_SHM_DIR, bare)


def _round_up(value: int, unit: int) -> int:
    return -(-value // unit) * unit


def _layout(slots: int, slot_bytes: int) -> tuple[int, int, int]:
    """(stride, area offset, segment size) of a channel."""
    stride = _round_up(slot_bytes, _PAGE)
    area = _round_up(_TABLE + slots * _RECORD, _PAGE)
    return stride, area, area + slots * stride


# ---------------------------------------------------------------------------
# Messages


class Message:
    """One received message; its :attr:`value` may be views into the channel.

    The slot the message arrived in stays reserved for it until the message
    is released (:meth:`release`, or leaving a ``with`` block) *and* no array
    taken from its value is alive any more: views never see the slot reused.
    A message received with ``copy=True`` owns its data and holds no slot.

    Examples
    --------
    >>> import numpy as np
    >>> from vamra.channel import Channel
    >>> with Channel.create("doc-message", slots=2, slot_bytes=1 << 16) as ch:
    ...     ch.send(np.arange(4))
    ...     with ch.recv() as message:
    ...         total = int(message.value.sum())
    >>> total
    6
    """

    __slots__ = ("_holder", "_value", "_released")

    def __init__(self, value: Any, holder: object | None) -> None:
        self._value = value
        self._holder = holder
        self._released = False

    @property
    def value(self) -> Any:
        """The received value.

        Raises
        ------
        ValueError
            The message was released.
        """
        if self._released:
            raise ValueError("the message was released; keep the value before releasing it")
        return self._value

    @property
    def released(self) -> bool:
        """Whether :meth:`release` was called."""
        return self._released

    def release(self) -> None:
        """Gives the slot back once no view taken from the value is alive.

        Calling it again does nothing.

        Examples
        --------
        >>> import numpy as np
        >>> from vamra.channel import Channel
        >>> with Channel.create("doc-release", slots=1, slot_bytes=4096) as ch:
        ...     ch.send(np.arange(3))
        ...     message = ch.recv()
        ...     first = int(message.value[0])
        ...     message.release()              # the slot is free again
        ...     ch.send(np.arange(3), timeout=0)
        >>> first
        0
        """
        self._released = True
        self._value = None
        self._holder = None

    def __enter__(self) -> Message:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.release()

    def __repr__(self) -> str:
        state = "released" if self._released else type(self._value).__name__
        return f"<vamra.channel.Message {state}>"


# ---------------------------------------------------------------------------
# The channel


class Channel:
    """A many-to-many queue of values between processes, in shared memory.

    Make one with :meth:`create` and open it elsewhere with :meth:`attach`;
    both return a handle that is a context manager. Leaving the ``with``
    block closes the handle, and the handle that created the channel also
    removes its name (processes that attached keep using it until they close).

    Examples
    --------
    >>> import numpy as np
    >>> from vamra.channel import Channel
    >>> with Channel.create("doc-channel", slots=4, slot_bytes=1 << 20) as ch:
    ...     ch.send({"w": np.ones((2, 3), np.float32)})
    ...     other = Channel.attach("doc-channel")   # usually in another process
    ...     value = other.recv(copy=True).value
    ...     other.close()
    >>> value["w"].shape
    (2, 3)
    """

    def __init__(self, name: str, path: str, fd: int, created: bool, spin: float) -> None:
        """Use :meth:`create` or :meth:`attach`."""
        self._name = name
        self._path = path
        self._created = created
        self._spin = float(spin)
        self._spin_now = self._spin
        self._unspun = 0
        try:
            size = os.fstat(fd).st_size
            if size < _PAGE:
                raise ValueError(f"{path} is not a vamra channel (too short)")
            # Populated: every page is mapped now, not on a message's first
            # touch of it (tens of milliseconds for a slot of 64 MiB).
            self._map = mmap.mmap(fd, size, flags=mmap.MAP_SHARED | _POPULATE)
        finally:
            os.close(fd)
        self._open_views()
        words = self._words
        if words[_H_MAGIC] != _MAGIC or words[_H_LAYOUT] != _LAYOUT:
            self._release_views()
            raise ValueError(f"{path} is not a vamra channel of layout {_LAYOUT}")
        self._slots = int(words[_H_SLOTS])
        self._slot_bytes = int(words[_H_SLOT_BYTES])
        self._stride = int(words[_H_STRIDE])
        self._area = int(words[_H_AREA])
        if not 0 < self._slots <= _MAX_SLOTS or _layout(self._slots, self._slot_bytes) != (
            self._stride,
            self._area,
            size,
        ):
            self._release_views()
            raise ValueError(f"{path} is not a vamra channel (inconsistent layout)")
        self._records = tuple(_TABLE_WORD + i * _RECORD_WORDS for i in range(self._slots))
        self._release_views()
        self._open_views()
        self._closed = False
        # The thread of this process that holds the mutex (0: none).
        self._holder = 0
        # Received messages whose slots this process holds, by the id of a weak
        # reference to the object their views lead back to: (that reference,
        # slot, generation).
        self._live: dict[int, tuple[weakref.ref[Any], int, int]] = {}
        # Slots whose views went while their thread held the mutex.
        self._deferred: list[tuple[int, int]] = []

    # -- lifecycle ---------------------------------------------------------

    @classmethod
    def create(
        cls,
        name: str,
        *,
        slots: int = 4,
        slot_bytes: int = DEFAULT_SLOT_BYTES,
        spin: float = DEFAULT_SPIN,
    ) -> Channel:
        """Creates a channel named `name` and returns a handle to it.

        Parameters
        ----------
        name
            The channel's name, shared by every process that uses it (a file
            in ``/dev/shm``; a leading ``/`` is ignored).
        slots
            How many messages the channel holds at once; a sender waits while
            all are taken.
        slot_bytes
            The largest packet a slot holds. The segment takes ``slots``
            times this (rounded up to pages) of shared memory.
        spin
            Seconds a waiting call watches the segment before sleeping; it
            shortens the reply time when the peer answers quickly.

        Returns
        -------
        Channel
            A handle that removes the channel's name when its ``with`` block
            ends (or on :meth:`unlink`).

        Raises
        ------
        FileExistsError
            A channel (or other segment) of that name exists.
        ValueError
            An invalid name, slot count or slot size.

        Examples
        --------
        >>> from vamra.channel import Channel
        >>> ch = Channel.create("doc-create", slots=2, slot_bytes=4096)
        >>> ch.slots, ch.slot_bytes
        (2, 4096)
        >>> ch.close(); ch.unlink()
        """
        path = _path(name)
        if not isinstance(slots, int) or not 1 <= slots <= _MAX_SLOTS:
            raise ValueError(f"slots must be an int from 1 to {_MAX_SLOTS}, not {slots!r}")
        if not isinstance(slot_bytes, int) or slot_bytes < 64:
            raise ValueError(f"slot_bytes must be an int of at least 64, not {slot_bytes!r}")
        stride, area, size = _layout(slots, slot_bytes)
        # Built under a private name and linked into place whole: no process
        # can attach to a half-initialised segment, and the link fails if the
        # name is taken.
        temporary = os.path.join(_SHM_DIR, f".{os.path.basename(path)}.{secrets.token_hex(6)}")
        fd = os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
        try:
            os.ftruncate(fd, size)
            # The memory is taken now: a full /dev/shm fails here with
            # OSError instead of killing a later writer with SIGBUS.
            os.posix_fallocate(fd, 0, size)
            with mmap.mmap(fd, _PAGE) as head:
                vamra_rs.shm_mutex_init(head, _MUTEX)
                with memoryview(head).cast("Q") as words:
                    words[_H_SLOTS] = slots
                    words[_H_SLOT_BYTES] = slot_bytes
                    words[_H_STRIDE] = stride
                    words[_H_AREA] = area
                    words[_H_TICKET] = 1
                    words[_H_LAYOUT] = _LAYOUT
                    words[_H_MAGIC] = _MAGIC
            try:
                os.link(temporary, path)
            except FileExistsError:
                raise FileExistsError(f"a channel named {name!r} already exists ({path})") from None
        except BaseException:
            os.close(fd)
            raise
        finally:
            os.unlink(temporary)
        return cls(name, path, fd, True, spin)

    @classmethod
    def attach(cls, name: str, *, spin: float = DEFAULT_SPIN) -> Channel:
        """Opens the existing channel `name`.

        Parameters
        ----------
        name
            The name given to :meth:`create`.
        spin
            As for :meth:`create`.

        Returns
        -------
        Channel
            A handle; leaving its ``with`` block closes it.

        Raises
        ------
        FileNotFoundError
            No channel of that name exists.
        ValueError
            The segment of that name is not a channel.

        Examples
        --------
        >>> from vamra.channel import Channel
        >>> with Channel.create("doc-attach", slots=1, slot_bytes=4096) as ch:
        ...     with Channel.attach("doc-attach") as same:
        ...         same.slots
        1
        """
        path = _path(name)
        try:
            fd = os.open(path, os.O_RDWR)
        except FileNotFoundError:
            raise FileNotFoundError(f"no channel named {name!r} ({path})") from None
        return cls(name, path, fd, False, spin)

    def close(self) -> None:
        """Detaches this handle from the channel; calling it again does nothing.

        Raises
        ------
        BufferError
            Views of received messages are still alive (release the messages
            and drop the arrays taken from them, or receive with
            ``copy=True``), or another thread is using the handle.

        Examples
        --------
        >>> from vamra.channel import Channel
        >>> ch = Channel.create("doc-close", slots=1, slot_bytes=4096)
        >>> ch.close(); ch.closed
        True
        >>> Channel.attach("doc-close").close()   # the name stays until unlink()
        >>> ch.unlink()
        """
        if self._closed:
            return
        self._flush_deferred()
        if self._live:
            raise BufferError(
                f"channel {self._name!r}: {len(self._live)} received message(s) still have "
                "views into the channel; release them and drop their arrays before closing"
            )
        self._release_views()
        try:
            self._map.close()
        except BufferError:
            # Still exported: keep the handle usable.
            self._open_views()
            raise BufferError(
                f"channel {self._name!r} is in use by another thread of this process"
            ) from None
        self._closed = True

    def unlink(self) -> None:
        """Removes the channel's name; processes attached to it keep using it.

        Raises
        ------
        FileNotFoundError
            The name was already removed.

        Examples
        --------
        >>> import numpy as np
        >>> from vamra.channel import Channel
        >>> ch = Channel.create("doc-unlink", slots=1, slot_bytes=4096)
        >>> ch.unlink()
        >>> ch.send(np.zeros(2))                  # the handle still works
        >>> ch.recv(copy=True).value.tolist()
        [0.0, 0.0]
        >>> ch.close()
        """
        try:
            os.unlink(self._path)
        except FileNotFoundError:
            raise FileNotFoundError(f"no channel named {self._name!r} ({self._path})") from None
        self._created = False

    def __enter__(self) -> Channel:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        if self._created:
            try:
                self.unlink()
            except FileNotFoundError:
                pass
        try:
            self.close()
        except BufferError:
            # Views still alive: the handle stays open for them, and an error
            # already on its way out is not hidden behind this one.
            if kind is None:
                raise

    @property
    def name(self) -> str:
        """The channel's name."""
        return self._name

    @property
    def slots(self) -> int:
        """How many messages the channel holds at once."""
        return self._slots

    @property
    def slot_bytes(self) -> int:
        """The largest packet a slot holds."""
        return self._slot_bytes

    @property
    def closed(self) -> bool:
        """Whether :meth:`close` detached this handle."""
        return self._closed

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{self._slots} x {self._slot_bytes} bytes"
        return f"<vamra.channel.Channel {self._name!r} {state}>"

    # -- sending -----------------------------------------------------------

    def send(self, value: Any, *, timeout: float | None = None, **options: Any) -> None:
        """Sends `value`, waiting while every slot is taken.

        The packet is written in place into a free slot: arrays are copied
        once, from their own memory into the shared segment.

        Parameters
        ----------
        value
            Anything :func:`vamra.dumps` encodes: arrays, CPU torch tensors,
            SciPy sparse matrices, string and quantized tensors, dicts of
            them. Received, tensors are NumPy arrays (``torch.from_numpy``
            views them).
        timeout
            Seconds to wait for a free slot; None waits as long as it takes.
        **options
            ``check_integrity``, ``compress``, ``alignment``, as for
            :func:`vamra.dumps`.

        Raises
        ------
        ValueError
            The packet is larger than a slot (nothing is sent), or the value
            cannot be encoded.
        TypeError
            The value is of a kind that cannot be encoded, or an unknown option.
        TimeoutError
            No slot came free within `timeout`.

        Examples
        --------
        >>> import numpy as np
        >>> from vamra.channel import Channel
        >>> with Channel.create("doc-send", slots=1, slot_bytes=4096) as ch:
        ...     ch.send(np.zeros(8), check_integrity=True)
        ...     try:
        ...         ch.send(np.zeros(8), timeout=0.01)   # the only slot is full
        ...     except TimeoutError:
        ...         print("full")
        full
        """
        if self._closed:
            raise ValueError(f"channel {self._name!r} is closed")
        write: Callable[[memoryview], int] | None = None
        if options or type(value) is not np.ndarray:
            write, size = self._plan(value, options)
            if size > self._slot_bytes:
                raise self._too_large(size)
        else:
            size = value.nbytes
            # Near a slot's size, the header decides: sized exactly, so that
            # a full channel is not waited on for a value that cannot go.
            if size + _PAGE > self._slot_bytes:
                size = self._packet_size(value)
                if size > self._slot_bytes:
                    raise self._too_large(size)
        deadline = None if timeout is None else time.monotonic() + timeout
        if size <= _INLINE_BYTES:
            # Small: written and published in one critical section.
            seen = self._events[_FREED >> 2]
            if self._send_small(value, write, deadline) is None:
                self._wait(
                    _FREED,
                    seen,
                    lambda deadline: self._send_small(value, write, deadline),
                    deadline,
                    "free slot",
                    timeout,
                )
        else:
            self._send_large(value, write, deadline, timeout)
        _native.futex_wake(self._map, _PUBLISHED)

    def _send_small(
        self, value: Any, write: Callable[[memoryview], int] | None, deadline: float | None
    ) -> bool | None:
        """Writes and publishes the packet in a free slot; None when there is none."""
        words = self._words
        try:
            recovered = _lock(self._map, _MUTEX, _LOCK_WAIT)
        except TimeoutError:
            recovered = self._enter_slowly(deadline)
        self._holder = _get_ident()
        try:
            if recovered:
                self._repair()
            for at in self._records:
                if words[at + _STATE] == _FREE:
                    area = self._areas[(at - _TABLE_WORD) // _RECORD_WORDS]
                    length = self._write(value, write, area)
                    ticket = words[_H_TICKET]
                    words[at + _GEN] += 1
                    words[at + _LENGTH] = length
                    words[at + _TICKET] = ticket
                    words[_H_TICKET] = ticket + 1
                    words[at + _STATE] = _READY
                    return True
            return None
        finally:
            self._holder = 0
            _unlock(self._map, _MUTEX)
            if self._deferred:
                self._flush_deferred()

    def _send_large(
        self,
        value: Any,
        write: Callable[[memoryview], int] | None,
        deadline: float | None,
        timeout: float | None,
    ) -> None:
        """Claims a slot, writes the packet outside the mutex, then publishes it."""
        seen = self._events[_FREED >> 2]
        slot = self._claim(deadline)
        if slot is None:
            slot = self._wait(_FREED, seen, self._claim, deadline, "free slot", timeout)
        index, generation = slot
        try:
            length = self._write(value, write, self._areas[index])
        except BaseException:
            self._give_back(index, generation, _WRITING)
            raise
        self._publish(index, generation, length)

    def _write(
        self, value: Any, write: Callable[[memoryview], int] | None, area: memoryview
    ) -> int:
        if write is not None:
            return write(area)
        try:
            length: int = vamra_rs.dump_to_buffer_rs(value, area)
        except ValueError as error:
            # An array within a slot's size whose header tips it over: the
            # encoder checks the room before it writes anything.
            if str(error) == "Buffer too small":
                raise self._too_large(self._packet_size(value)) from None
            raise
        return length

    def _plan(self, value: Any, options: dict[str, Any]) -> tuple[Callable[[memoryview], int], int]:
        """How to write `value` into a slot, and the packet's exact size."""
        unknown = options.keys() - _OPTIONS
        if unknown:
            raise TypeError(f"send() got an unexpected keyword argument {min(unknown)!r}")
        if type(value) is np.ndarray:
            companions = False
        else:
            try:
                # Torch tensors become arrays over their memory here.
                value, companions = _values.prepare(value)
            except TypeError:
                # Kinds that only vamra.dumps knows (or that nothing encodes:
                # then dumps raises the error).
                return self._copy_writer([vamra.dumps(value, **options)])
        if companions or options.get("compress"):
            from vamra.files import pieces

            return self._copy_writer(pieces(value, **options))
        size = self._packet_size(value, options)

        def write(area: memoryview) -> int:
            written: int = vamra_rs.dump_to_buffer_rs(value, area, **options)
            return written

        return write, size

    @staticmethod
    def _packet_size(value: Any, options: dict[str, Any] | None = None) -> int:
        """The length of the packet of `value`, planned without encoding it."""
        return sum(len(part) for part in _native.pieces(value, None, None, **(options or {})))

    @staticmethod
    def _copy_writer(parts: list[Any]) -> tuple[Callable[[memoryview], int], int]:
        size = sum(len(part) for part in parts)

        def write(area: memoryview) -> int:
            at = 0
            for part in parts:
                area[at : at + len(part)] = part
                at += len(part)
            return at

        return write, size

    def _too_large(self, size: int) -> ValueError:
        return ValueError(
            f"the packet needs {size} bytes; a slot of channel {self._name!r} holds "
            f"{self._slot_bytes}"
        )

    # -- receiving ---------------------------------------------------------

    def recv(self, *, timeout: float | None = None, copy: bool = False) -> Message:
        """Receives the oldest waiting message, waiting for one if there is none.

        Parameters
        ----------
        timeout
            Seconds to wait; None waits as long as it takes.
        copy
            False: the value's arrays are read-only views into the slot, which
            stays reserved until the message is released and the views are
            gone. True: the packet is copied out and the slot freed at once.

        Returns
        -------
        Message
            The message; its ``value`` is what was sent.

        Raises
        ------
        TimeoutError
            No message arrived within `timeout`.
        ValueError
            The packet is damaged (its checksum, when it was sent with
            ``check_integrity=True``, or its structure); the message is dropped.

        Examples
        --------
        >>> import numpy as np
        >>> from vamra.channel import Channel
        >>> with Channel.create("doc-recv", slots=2, slot_bytes=4096) as ch:
        ...     ch.send(np.arange(3))
        ...     with ch.recv(timeout=1.0) as message:
        ...         message.value.tolist()
        [0, 1, 2]
        """
        if self._closed:
            raise ValueError(f"channel {self._name!r} is closed")
        deadline = None if timeout is None else time.monotonic() + timeout
        seen = self._events[_PUBLISHED >> 2]
        taken = self._take(deadline, copy)
        if taken is None:
            taken = self._wait(
                _PUBLISHED,
                seen,
                lambda deadline: self._take(deadline, copy),
                deadline,
                "message",
                timeout,
            )
        if isinstance(taken, bytes):
            _native.futex_wake(self._map, _FREED)
            try:
                return Message(_loads(taken), None)
            except ImportError:
                return Message(vamra.loads(taken), None)  # which names the extra to install
        index, generation, length = taken
        if copy:
            # Large: copied outside the mutex, then the slot is freed.
            start = self._area + index * self._stride
            try:
                packet = self._map[start : start + length]
            finally:
                self._free(index, generation)
            return Message(vamra.loads(packet), None)
        try:
            holder = np.frombuffer(self._map, np.uint8, length, self._area + index * self._stride)
            try:
                value = _loads(holder)
            except ImportError:
                value = vamra.loads(holder)  # which names the extra to install
        except BaseException:
            self._free(index, generation)
            raise
        # Every view of the value leads back to the holder: when it goes, the
        # slot goes back.
        ref = weakref.ref(holder, self._views_gone)
        self._live[id(ref)] = (ref, index, generation)
        return Message(value, holder)

    def _views_gone(self, ref: weakref.ref[Any]) -> None:
        entry = self._live.pop(id(ref), None)
        if entry is None or self._closed:
            return
        if self._holder == _get_ident():
            # Collected inside this thread's own critical section.
            self._deferred.append(entry[1:])
        else:
            self._free(entry[1], entry[2])

    def _free(self, index: int, generation: int) -> None:
        words = self._words
        at = _TABLE_WORD + index * _RECORD_WORDS
        self._enter()
        try:
            if (
                words[at + _STATE] == _READING
                and words[at + _GEN] == generation
                and words[at + _PID] == _identity[0]
            ):
                words[at + _STATE] = _FREE
        finally:
            self._leave()
        _native.futex_wake(self._map, _FREED)

    def _flush_deferred(self) -> None:
        while self._deferred:
            self._free(*self._deferred.pop())

    # -- the records: each step holds the mutex ------------------------------

    def _enter(self, deadline: float | None = None) -> None:
        """Takes the mutex (waiting until `deadline`; None: as long as it takes)
        and repairs the records if its last owner died holding it."""
        try:
            recovered = _lock(self._map, _MUTEX, _LOCK_WAIT)
        except TimeoutError:
            recovered = self._enter_slowly(deadline)
        # Set before anything else runs: a view collected from here on must
        # not try to take the mutex again in this thread.
        self._holder = _get_ident()
        if recovered:
            try:
                self._repair()
            except BaseException:
                self._leave()
                raise

    def _enter_slowly(self, deadline: float | None) -> bool:
        # Held for seconds by a live process: one that is stopped (SIGSTOP, a
        # debugger). Keep waiting as a blocked call would, unless time is up.
        while True:
            left = _LOCK_WAIT if deadline is None else deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"channel {self._name!r}: its mutex stayed held")
            try:
                recovered: bool = _lock(self._map, _MUTEX, min(left, _LOCK_WAIT))
                return recovered
            except TimeoutError:
                continue

    def _leave(self) -> None:
        self._holder = 0
        _unlock(self._map, _MUTEX)
        if self._deferred:
            self._flush_deferred()

    def _claim(self, deadline: float | None = None) -> tuple[int, int] | None:
        """Marks a free slot as being written by this process."""
        words = self._words
        self._enter(deadline)
        try:
            for at in self._records:
                if words[at + _STATE] == _FREE:
                    generation = words[at + _GEN] + 1
                    words[at + _PID] = _identity[0]
                    words[at + _START] = _identity[1]
                    words[at + _GEN] = generation
                    words[at + _STATE] = _WRITING
                    return (at - _TABLE_WORD) // _RECORD_WORDS, generation
            return None
        finally:
            self._leave()

    def _publish(self, index: int, generation: int, length: int) -> None:
        words = self._words
        at = _TABLE_WORD + index * _RECORD_WORDS
        self._enter()
        try:
            if not self._owns(at, generation, _WRITING):
                raise RuntimeError(
                    f"channel {self._name!r}: slot {index} was taken from this sender"
                )
            ticket = words[_H_TICKET]
            words[at + _LENGTH] = length
            words[at + _TICKET] = ticket
            words[_H_TICKET] = ticket + 1
            # Last: until the state says so, no receiver looks at the slot.
            words[at + _STATE] = _READY
        finally:
            self._leave()

    def _take(self, deadline: float | None, copy: bool) -> Any:
        """Marks the oldest ready message as being read by this process and
        returns (slot, generation, length); with `copy` and a small packet,
        frees it again at once and returns a copy of the packet instead. None
        when no message is ready."""
        words = self._words
        try:
            recovered = _lock(self._map, _MUTEX, _LOCK_WAIT)
        except TimeoutError:
            recovered = self._enter_slowly(deadline)
        self._holder = _get_ident()
        try:
            if recovered:
                self._repair()
            best = -1
            lowest = 0
            for at in self._records:
                if words[at + _STATE] == _READY and (best < 0 or words[at + _TICKET] < lowest):
                    best, lowest = at, words[at + _TICKET]
            if best < 0:
                return None
            index = (best - _TABLE_WORD) // _RECORD_WORDS
            if copy and words[best + _LENGTH] <= _INLINE_BYTES:
                start = self._area + index * self._stride
                packet = self._map[start : start + words[best + _LENGTH]]
                words[best + _STATE] = _FREE
                return packet
            words[best + _PID] = _identity[0]
            words[best + _START] = _identity[1]
            words[best + _STATE] = _READING
            return index, words[best + _GEN], words[best + _LENGTH]
        finally:
            self._holder = 0
            _unlock(self._map, _MUTEX)
            if self._deferred:
                self._flush_deferred()

    def _owns(self, at: int, generation: int, state: int) -> bool:
        words = self._words
        return (
            words[at + _STATE] == state
            and words[at + _GEN] == generation
            and words[at + _PID] == _identity[0]
        )

    def _give_back(self, index: int, generation: int, state: int) -> None:
        at = _TABLE_WORD + index * _RECORD_WORDS
        self._enter()
        try:
            if self._owns(at, generation, state):
                self._words[at + _STATE] = _FREE
        finally:
            self._leave()

    def _reclaim(self) -> int:
        """Frees the slots whose owners died; returns how many. Holds the mutex."""
        words = self._words
        freed = 0
        for at in self._records:
            state = words[at + _STATE]
            if state in (_WRITING, _READING):
                if not _alive(words[at + _PID], words[at + _START]):
                    words[at + _STATE] = _FREE
                    freed += 1
            elif state not in (_FREE, _READY):
                words[at + _STATE] = _FREE
                freed += 1
        return freed

    def _reclaim_locked(self) -> int:
        self._enter()
        try:
            return self._reclaim()
        finally:
            self._leave()

    def _repair(self) -> None:
        """Mends the records after the mutex's last owner died holding it."""
        self._reclaim()
        # The ticket counter stays ahead of every ticket handed out.
        words = self._words
        for at in self._records:
            if words[at + _STATE] == _READY and words[at + _TICKET] >= words[_H_TICKET]:
                words[_H_TICKET] = words[at + _TICKET] + 1
        _native.futex_wake(self._map, _FREED)
        _native.futex_wake(self._map, _PUBLISHED)

    # -- waiting -----------------------------------------------------------

    def _wait(
        self,
        event: int,
        seen: int,
        attempt: Callable[[float | None], Any],
        deadline: float | None,
        what: str,
        timeout: float | None,
    ) -> Any:
        """Sleeps on `event` until its counter leaves `seen` (read before the
        caller's failed attempt), then retries `attempt` until it returns
        something.

        The spin before each sleep adapts: it grows while the awaited change
        tends to come within it, and shrinks while it does not (a busy machine,
        a slow peer), where spinning only takes the processor from others.
        """
        events = self._events
        look_again = time.monotonic() + _PEER_CHECK
        while True:
            now = time.monotonic()
            if deadline is not None and now >= deadline:
                raise TimeoutError(f"channel {self._name!r}: no {what} within {timeout} s")
            if now >= look_again:
                look_again = now + _PEER_CHECK
                if self._reclaim_locked():
                    _native.futex_wake(self._map, _FREED)
                    seen = -1  # look again at once
            if seen >= 0:
                limit = look_again - now if deadline is None else min(look_again, deadline) - now
                spin = self._spin_now
                if spin == 0.0:
                    # Now and then a short spin, to notice when spinning pays again.
                    self._unspun += 1
                    if self._unspun % _PROBE_EVERY == 0:
                        spin = _MIN_SPIN
                _native.futex_wait(self._map, event, seen, max(limit, 0.0), spin)
                if spin and time.monotonic() - now <= spin:
                    self._spin_now = min(self._spin, 2 * spin)
                elif spin:
                    self._spin_now = spin / 2 if spin / 2 >= _MIN_SPIN else 0.0
            # The counter is read before the attempt: a change after the
            # attempt looked makes the next wait return at once.
            seen = events[event >> 2]
            result = attempt(deadline)
            if result is not None:
                return result

    # -- odds and ends -----------------------------------------------------

    def _open_views(self) -> None:
        self._bytes = memoryview(self._map)
        self._words = self._bytes.cast("Q")
        self._events = self._bytes.cast("I")
        # Each slot's packet area, once the layout is known.
        self._areas: list[memoryview] = [
            self._bytes[self._area + index * self._stride :][: self._slot_bytes]
            for index in range(getattr(self, "_slots", 0))
        ]

    def _release_views(self) -> None:
        for area in self._areas:
            area.release()
        self._words.release()
        self._events.release()
        self._bytes.release()

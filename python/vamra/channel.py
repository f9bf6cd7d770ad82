"""Tensors between processes on one machine: a shared-memory channel.

A :class:`Channel` is a named shared-memory segment holding a fixed number of
slots. :meth:`Channel.send` writes a value's packet in place into a free slot
(array bodies are copied once, from the arrays into the slot);
:meth:`Channel.recv` hands out the oldest waiting message as zero-copy views
into its slot, which returns to the senders when the message is released.
Any number of processes may send and receive on one channel; every message is
received once, and the messages of one sender in the order it sent them.

The channel is built in layers, each in a module of its own:

- the segment: its layout, its name and how it is made and opened, every
  header checked before use (``vamra._channel_segment``);
- the slots: a slot goes FREE -> WRITING (claimed by a sender) -> READY
  (published with the next ticket) -> READING (taken by a receiver) -> FREE.
  Every transition is one call into ``vamra._native``, which takes the
  segment's robust mutex, changes the record and lets the mutex go with no
  Python code in between, so a Ctrl-C never leaves the mutex held; a sender's
  slot is published or given back within that call, and a receiver's slot
  belongs to a lease that gives it back when its last view goes;
- the owners: a slot's owner is a process id and start time; a slot whose
  owner died is taken back, a half-written packet dropped, never delivered
  (``vamra._channel_owners``). A process that dies holding the mutex leaves it
  to the next one that takes it, which repairs the records first;
- the waiting: a sender waits on the event "freed", a receiver on
  "published" (futexes in the segment), after a short spin, waking at least
  every few tenths of a second to look for dead owners
  (``vamra._channel_wait``);
- this module: the :class:`Channel` and :class:`Message` API.

Owners are told apart by process id, so the processes sharing a channel must
see one another's ids (one pid namespace: not containers with namespaces of
their own).
"""

from __future__ import annotations

import functools
import math
import os
import time
import weakref
from collections.abc import Callable
from types import TracebackType
from typing import Any, Final

import numpy as np

import vamra
import vamra_rs
from vamra import _channel_owners, _native, _values
from vamra import _channel_segment as _segment

# Re-exported for code that looks inside a channel (tests, debugging).
from vamra._channel_owners import alive as _alive  # noqa: F401
from vamra._channel_owners import stat as _stat  # noqa: F401
from vamra._channel_segment import FREE as _FREE  # noqa: F401
from vamra._channel_segment import FREED as _FREED  # noqa: F401
from vamra._channel_segment import GEN as _GEN  # noqa: F401
from vamra._channel_segment import H_TICKET as _H_TICKET  # noqa: F401
from vamra._channel_segment import LENGTH as _LENGTH  # noqa: F401
from vamra._channel_segment import MUTEX as _MUTEX  # noqa: F401
from vamra._channel_segment import PAGE as _PAGE  # noqa: F401
from vamra._channel_segment import PID as _PID  # noqa: F401
from vamra._channel_segment import PUBLISHED as _PUBLISHED  # noqa: F401
from vamra._channel_segment import READING as _READING  # noqa: F401
from vamra._channel_segment import READY as _READY  # noqa: F401
from vamra._channel_segment import RECORD_WORDS as _RECORD_WORDS  # noqa: F401
from vamra._channel_segment import START as _START  # noqa: F401
from vamra._channel_segment import STATE as _STATE  # noqa: F401
from vamra._channel_segment import TABLE_WORD as _TABLE_WORD  # noqa: F401
from vamra._channel_segment import TICKET as _TICKET  # noqa: F401
from vamra._channel_segment import WRITING as _WRITING  # noqa: F401
from vamra._channel_wait import Waiter, deadline_of, seconds

__all__ = ["Channel", "Message"]

DEFAULT_SLOT_BYTES: Final = 4 << 20
"""Packet bytes a slot holds unless :meth:`Channel.create` is told otherwise."""
DEFAULT_SPIN: Final = 50e-6
"""Seconds a waiter watches the segment before it goes to sleep."""
_OPTIONS: Final = frozenset({"check_integrity", "compress", "alignment"})
# Packets up to this size are copied out of their slot while the mutex is
# held when a copy is asked for, which frees the slot in the same step.
_INLINE_BYTES: Final = 64 << 10
_loads: Final[Callable[[Any], Any]] = vamra_rs.loads_rs
_dump_into: Final[Callable[..., int]] = vamra_rs.dump_to_buffer_rs


def __getattr__(name: str) -> Any:
    # This process's (pid, start time) as slot records name it: read where it
    # is kept, as a forked child changes it.
    if name == "_identity":
        return _channel_owners.identity
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _write_parts(parts: list[Any], area: memoryview) -> int:
    """Writes a packet given as a list of buffers; returns its length."""
    at = 0
    for part in parts:
        area[at : at + len(part)] = part
        at += len(part)
    return at


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

    def __init__(
        self, name: str, path: str, fd: int, shape: _segment.Layout, created: bool, spin: float
    ) -> None:
        """Use :meth:`create` or :meth:`attach`."""
        self._name = name
        self._path = path
        self._created = created
        try:
            self._map = _segment.map_segment(fd, shape)
        finally:
            os.close(fd)
        self._slots = shape.slots
        self._slot_bytes = shape.slot_bytes
        self._stride = shape.stride
        self._area = shape.area
        # Word offsets of the slot records, for code that looks inside.
        self._records = tuple(_TABLE_WORD + i * _RECORD_WORDS for i in range(self._slots))
        self._waiter = Waiter(self._map, spin)
        self._closed = False
        # The leases of received messages whose views may still be alive.
        self._live: weakref.WeakSet[Any] = weakref.WeakSet()
        # Slots this process could not give back when it was done with them
        # (the mutex stayed held): given back by the next call.
        self._pending: list[tuple[int, int, int, int, int]] = []

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
            in ``/dev/shm``; a leading ``/`` is ignored): 1 to 255 bytes of
            UTF-8 (the file system's limit), without ``/`` or NUL.
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
            An invalid name, slot count, slot size or spin.
        OSError
            The shared memory cannot hold the channel.

        Examples
        --------
        >>> from vamra.channel import Channel
        >>> ch = Channel.create("doc-create", slots=2, slot_bytes=4096)
        >>> ch.slots, ch.slot_bytes
        (2, 4096)
        >>> ch.close(); ch.unlink()
        """
        path = _segment.path_of(name)
        shape = _segment.layout(slots, slot_bytes)
        spin = _spin_of(spin)
        fd = _segment.create(name, path, shape)
        try:
            return cls(name, path, fd, shape, True, spin)
        except BaseException:
            os.unlink(path)
            raise

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
            The segment of that name is not a channel (only its header is
            read to tell), or an invalid name or spin.

        Examples
        --------
        >>> from vamra.channel import Channel
        >>> with Channel.create("doc-attach", slots=1, slot_bytes=4096) as ch:
        ...     with Channel.attach("doc-attach") as same:
        ...         same.slots
        1
        """
        path = _segment.path_of(name)
        spin = _spin_of(spin)
        try:
            fd = os.open(path, os.O_RDWR)
        except FileNotFoundError:
            raise FileNotFoundError(f"no channel named {name!r} ({path})") from None
        try:
            shape = _segment.read_layout(fd, path)
        except BaseException:
            os.close(fd)
            raise
        return cls(name, path, fd, shape, False, spin)

    def close(self) -> None:
        """Detaches this handle from the channel; calling it again does nothing.

        A refused close changes nothing: the handle, and calls of other
        threads blocked on it, go on working.

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
        if self._pending:
            self._settle()
        if self._live:
            raise BufferError(
                f"channel {self._name!r}: {len(self._live)} received message(s) still have "
                "views into the channel; release them and drop their arrays before closing"
            )
        # Set first, so that another thread's next call refuses; undone if
        # the segment is still in use.
        self._closed = True
        try:
            self._map.close()
        except BufferError:
            self._closed = False
            raise BufferError(
                f"channel {self._name!r} is in use by another thread of this process"
            ) from None

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
        once, from their own memory into the shared segment. Interrupted
        (Ctrl-C) or failing at any point, a send leaves nothing behind: the
        slot it took is free again and nothing is delivered.

        Parameters
        ----------
        value
            Anything :func:`vamra.dumps` encodes: arrays (bfloat16 too), CPU
            torch tensors, SciPy sparse matrices, string and quantized
            tensors, dicts of them. Received, tensors are NumPy arrays
            (``torch.from_numpy`` views them).
        timeout
            Seconds to wait for a free slot; None waits as long as it takes.
        **options
            ``check_integrity``, ``compress``, ``alignment``, as for
            :func:`vamra.dumps`.

        Raises
        ------
        ValueError
            The packet is larger than a slot (nothing is sent), the value
            cannot be encoded, `timeout` is NaN, or the channel's shared
            state is damaged.
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
        deadline = deadline_of(timeout)
        write: Callable[[Any, memoryview], int] = _dump_into
        payload = value
        if options or type(value) is not np.ndarray:
            write, payload, size = self._plan(value, options)
            if size > self._slot_bytes:
                raise self._too_large(size)
        else:
            size = value.nbytes
            # Near a slot's size, the header decides: sized exactly, so that
            # a full channel is not waited on for a value that cannot go.
            if size + _PAGE > self._slot_bytes:
                size = _packet_size(value)
                if size > self._slot_bytes:
                    raise self._too_large(size)
        if self._pending:
            self._settle()

        def step(deadline: float | None) -> Any:
            return self._send_step(write, payload, deadline, value)

        self._waiter.until_done(
            step, _FREED, deadline, lambda: self._timed_out("free slot", timeout)
        )

    def _send_step(
        self,
        write: Callable[[Any, memoryview], int],
        payload: Any,
        deadline: float | None,
        value: Any,
    ) -> int | None:
        try:
            return _native.channel_send(
                self._map, write, payload, _channel_owners.identity[1], deadline, self._pending
            )
        except TimeoutError:
            raise self._mutex_held() from None
        except ValueError as error:
            # An array within a slot's size whose header tips it over: the
            # encoder checks the room before it writes anything.
            if str(error) == "Buffer too small":
                raise self._too_large(_packet_size(value)) from None
            raise

    def _plan(
        self, value: Any, options: dict[str, Any]
    ) -> tuple[Callable[[Any, memoryview], int], Any, int]:
        """How to write `value` into a slot: (write, what to give it, the packet's size)."""
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
                parts: list[Any] = [vamra.dumps(value, **options)]
                return _write_parts, parts, len(parts[0])
        if companions or options.get("compress"):
            from vamra.files import pieces

            parts = pieces(value, **options)
            return _write_parts, parts, sum(len(part) for part in parts)
        write = functools.partial(_dump_into, **options) if options else _dump_into
        return write, value, _packet_size(value, options)

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
            ``check_integrity=True``, or its structure, or its recorded
            length); the message is dropped. Also for a NaN `timeout`, and
            for damaged shared state of the channel.

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
        deadline = deadline_of(timeout)
        if self._pending:
            self._settle()
        limit = _INLINE_BYTES if copy else 0

        def step(deadline: float | None) -> Any:
            return self._take_step(deadline, limit)

        lease = self._waiter.until_done(
            step, _PUBLISHED, deadline, lambda: self._timed_out("message", timeout)
        )
        if type(lease) is bytes:
            try:
                return Message(_loads(lease), None)
            except ImportError:
                return Message(vamra.loads(lease), None)  # which names the extra to install
        if copy:
            # Large: copied out, then the slot goes with the lease.
            try:
                packet = bytes(lease)
            finally:
                del lease
            return Message(vamra.loads(packet), None)
        try:
            try:
                value = _loads(lease)
            except ImportError:
                value = vamra.loads(lease)  # which names the extra to install
        except BaseException:
            # The slot goes back now, not when the traceback goes.
            del lease
            raise
        # Every view of the value leads back to the lease: when the last one
        # goes, the slot goes back.
        self._live.add(lease)
        return Message(value, lease)

    def _take_step(self, deadline: float | None, limit: int) -> Any:
        try:
            return _native.channel_take(
                self._map, _channel_owners.identity[1], deadline, limit, self._pending
            )
        except TimeoutError:
            raise self._mutex_held() from None

    # -- odds and ends -----------------------------------------------------

    def _settle(self) -> None:
        """Gives back the slots left pending, if the mutex can be had at once;
        those it cannot give back stay pending."""
        records = self._pending[:]
        try:
            _native.channel_release(self._map, records, time.monotonic())
        except (TimeoutError, ValueError):
            return
        del self._pending[: len(records)]

    def _timed_out(self, what: str, timeout: float | None) -> TimeoutError:
        return TimeoutError(f"channel {self._name!r}: no {what} within {timeout} s")

    def _mutex_held(self) -> TimeoutError:
        return TimeoutError(f"channel {self._name!r}: its mutex stayed held")

    @property
    def _bytes(self) -> memoryview:
        """A view of the whole segment, for code that looks inside (drop it before close)."""
        return memoryview(self._map)

    @property
    def _words(self) -> memoryview:
        """The segment as u64 words, for code that looks inside (drop it before close)."""
        return memoryview(self._map).cast("Q")


def _spin_of(spin: object) -> float:
    secs = seconds(spin, "spin")
    if math.isinf(secs):
        raise ValueError("spin must be a finite number of seconds, not inf")
    return secs


def _packet_size(value: Any, options: dict[str, Any] | None = None) -> int:
    """The length of the packet of `value`, planned without encoding it."""
    return sum(len(part) for part in _native.pieces(value, None, None, **(options or {})))

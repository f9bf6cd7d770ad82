"""A channel's shared-memory segment: its layout, its name, making and opening it.

The segment starts with a page of shared state, then the slots::

    [0, 64)        magic, layout, slot count, slot size, slot stride, area
                   offset, next ticket (u64 each)
    [64, 128)      the robust mutex that guards every record
    [128, 136)     event "published": advanced when a message becomes ready
    [136, 144)     event "freed": advanced when a slot becomes free
    [192, ...)     one 64-byte record per slot: state, owner pid, owner start
                   time, ticket, packet length, generation (u64 each)
    area offset    the slots, each a page-aligned run of `stride` bytes

Only ``vamra._native`` changes the records (under the mutex); this module
makes a segment, and checks one's header before mapping it.
"""

from __future__ import annotations

import mmap
import os
import secrets
import sys
from typing import Final, NamedTuple

import vamra_rs
from vamra import _native

SHM_DIR: Final = "/dev/shm"
MAGIC: Final = int.from_bytes(b"vamrachn", "little")
LAYOUT: Final = 1
PAGE: Final = mmap.PAGESIZE
POPULATE: Final = getattr(mmap, "MAP_POPULATE", 0)

# Words (u64) of the header.
H_MAGIC, H_LAYOUT, H_SLOTS, H_SLOT_BYTES, H_STRIDE, H_AREA, H_TICKET = range(7)
HEADER: Final = 64
MUTEX: Final = 64
PUBLISHED: Final = 128
FREED: Final = 136
TABLE: Final = 192
RECORD: Final = 64  # bytes per slot record
TABLE_WORD: Final = TABLE // 8
RECORD_WORDS: Final = RECORD // 8
# Words of a slot record, and its states.
STATE, PID, START, TICKET, LENGTH, GEN = range(6)
FREE, WRITING, READY, READING = range(4)

MAX_SLOTS: Final = 1 << 16
MIN_SLOT_BYTES: Final = 64
# Made without a name and linked into place whole where the file system
# allows it: then no temporary name is left behind by a process killed
# while it creates a channel, and a name may use every byte the system allows.
_TMPFILE: Final = getattr(os, "O_TMPFILE", 0)
# What the fallback's temporary name adds to the channel's: ".", "." and 12 hex digits.
_TEMPORARY_EXTRA: Final = 14


class Layout(NamedTuple):
    """Where things lie in a segment of `size` bytes."""

    slots: int
    slot_bytes: int
    stride: int
    area: int
    size: int


def _name_max() -> int:
    try:
        return os.pathconf(SHM_DIR, "PC_NAME_MAX")
    except (OSError, ValueError):
        return 255


def path_of(name: str) -> str:
    """The file of channel `name` (a leading '/' is ignored); ValueError for an unusable name."""
    if not isinstance(name, str):
        raise TypeError(f"a channel name is a str, not {type(name).__name__}")
    bare = name[1:] if name.startswith("/") else name
    limit = _name_max()
    try:
        size = len(bare.encode())
    except UnicodeEncodeError:
        size = -1  # lone surrogates: no file can have that name
    if not bare or "/" in bare or "\0" in bare or bare in (".", "..") or not 0 < size <= limit:
        raise ValueError(
            f"invalid channel name {name!r}: 1 to {limit} bytes of UTF-8, no '/' after an "
            "optional leading one, no NUL"
        )
    return os.path.join(SHM_DIR, bare)


def _round_up(value: int, unit: int) -> int:
    return -(-value // unit) * unit


def layout(slots: int, slot_bytes: int) -> Layout:
    """The layout of a channel of `slots` slots of `slot_bytes` bytes.

    Raises ValueError for a count or size out of range, a segment too large
    for this system included.
    """
    if type(slots) is not int or not 1 <= slots <= MAX_SLOTS:
        raise ValueError(f"slots must be an int from 1 to {MAX_SLOTS}, not {slots!r}")
    if type(slot_bytes) is not int or slot_bytes < MIN_SLOT_BYTES:
        raise ValueError(
            f"slot_bytes must be an int of at least {MIN_SLOT_BYTES}, not {slot_bytes!r}"
        )
    stride = _round_up(slot_bytes, PAGE)
    area = _round_up(TABLE + slots * RECORD, PAGE)
    size = area + slots * stride
    if size > sys.maxsize:
        raise ValueError(
            f"a channel of {slots} slots of {slot_bytes} bytes needs {size} bytes, more than "
            f"a segment can have ({sys.maxsize})"
        )
    return Layout(slots, slot_bytes, stride, area, size)


def _write_header(fd: int, shape: Layout) -> None:
    with mmap.mmap(fd, PAGE) as head:
        vamra_rs.shm_mutex_init(head, MUTEX)
        with memoryview(head).cast("Q") as words:
            words[H_SLOTS] = shape.slots
            words[H_SLOT_BYTES] = shape.slot_bytes
            words[H_STRIDE] = shape.stride
            words[H_AREA] = shape.area
            words[H_TICKET] = 1
            words[H_LAYOUT] = LAYOUT
            # Last: a segment without its magic is no channel.
            words[H_MAGIC] = MAGIC


def _fill(fd: int, shape: Layout) -> None:
    os.ftruncate(fd, shape.size)
    # The memory is taken now: a full /dev/shm fails here with OSError
    # instead of killing a later writer with SIGBUS.
    os.posix_fallocate(fd, 0, shape.size)
    _write_header(fd, shape)


def create(name: str, path: str, shape: Layout) -> int:
    """Makes the segment at `path`, whole, and returns a descriptor of it.

    Raises FileExistsError when the name is taken; nothing is left behind on
    any failure.
    """
    directory = os.open(SHM_DIR, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fd = -1
        if _TMPFILE:
            try:
                fd = os.open(SHM_DIR, _TMPFILE | os.O_RDWR, 0o600)
            except OSError:
                fd = -1  # not offered here: the named fallback below
        if fd >= 0:
            try:
                _fill(fd, shape)
                linked = _link_unnamed(fd, name, path, directory)
            except BaseException:
                os.close(fd)
                raise
            if linked:
                return fd
            os.close(fd)
        return _create_named(name, path, shape, directory)
    finally:
        os.close(directory)


def _link_unnamed(fd: int, name: str, path: str, directory: int) -> bool:
    """Gives the unnamed file at `fd` its name; False when /proc is not there to do it."""
    if not os.path.isdir("/proc/self/fd"):
        return False
    try:
        # linkat(AT_SYMLINK_FOLLOW) of the descriptor's /proc link: the
        # directory descriptors make os.link call linkat.
        os.link(
            f"/proc/self/fd/{fd}",
            os.path.basename(path),
            src_dir_fd=directory,
            dst_dir_fd=directory,
            follow_symlinks=True,
        )
    except FileExistsError:
        raise FileExistsError(f"a channel named {name!r} already exists ({path})") from None
    return True


def _create_named(name: str, path: str, shape: Layout, directory: int) -> int:
    """create() where unnamed files are not offered: built under a temporary name."""
    bare = os.path.basename(path)
    if len(bare.encode()) + _TEMPORARY_EXTRA > _name_max():
        raise ValueError(
            f"invalid channel name {name!r}: at most {_name_max() - _TEMPORARY_EXTRA} bytes "
            f"on this system"
        )
    temporary = f".{bare}.{secrets.token_hex(6)}"
    fd = os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600, dir_fd=directory)
    try:
        _fill(fd, shape)
        try:
            os.link(temporary, bare, src_dir_fd=directory, dst_dir_fd=directory)
        except FileExistsError:
            raise FileExistsError(f"a channel named {name!r} already exists ({path})") from None
    except BaseException:
        os.close(fd)
        raise
    finally:
        os.unlink(temporary, dir_fd=directory)
    return fd


def read_layout(fd: int, path: str) -> Layout:
    """The layout the segment open at `fd` declares, checked against its size.

    Only the header is read: a file that is not a channel is refused without
    mapping any of it.
    """
    size = os.fstat(fd).st_size
    if size < PAGE:
        raise ValueError(f"{path} is not a vamra channel (too short)")
    header = os.pread(fd, HEADER, 0)
    try:
        slots, slot_bytes, stride, area = _native.channel_layout(header, size)
    except ValueError as error:
        raise ValueError(f"{path}: {error}") from None
    return Layout(slots, slot_bytes, stride, area, size)


def map_segment(fd: int, shape: Layout) -> mmap.mmap:
    """The whole segment, mapped shared; every page is mapped now, not on a
    message's first touch of it (tens of milliseconds for a slot of 64 MiB)."""
    return mmap.mmap(fd, shape.size, flags=mmap.MAP_SHARED | POPULATE)

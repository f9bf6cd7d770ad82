"""Sharded checkpoints: one checkpoint saved as several vamra files and an index.

A sharded checkpoint is a directory holding *shards*, each a complete vamra
file (as :func:`vamra.save` writes one) with some of the checkpoint's
top-level keys, and an *index*, ``<base>.vmra.index.json``, that maps every
key to its shard::

    {"metadata": {"total_size": 1234, "format": "vamra", "format_version": "1.0",
                  "generation": "3f9a0c1e"},
     "user_metadata": {"step": "1000"},
     "weight_map": {"embed.weight": "model-00001-of-00002.3f9a0c1e.vmra", ...}}

``total_size`` is the bytes of the tensors the checkpoint holds (as model hubs
count it); ``user_metadata`` is ``save(..., metadata=...)``, which every
shard carries too. The keys of ``weight_map`` are in the order saved.

Saving is atomic as a whole. Shards are written under names no earlier save
used (they carry a token of this save, the *generation*); the index is
written last, to a temporary file renamed over the old index; then the shards
no index names any more are removed. A save killed at any point leaves the
old checkpoint (its index and its shards) untouched, or no checkpoint when
there was none, never a mixture; the files of a killed save are removed by
the next save into the directory.

Reading opens the index alone; a shard is opened when one of its keys is read.
"""

from __future__ import annotations

import builtins
import contextlib
import errno
import fcntl
import json
import os
import re
import secrets
import stat
import threading
import time
from collections.abc import Callable, Iterator, Mapping
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Final

from vamra import _layout, _values, files
from vamra.quantize import QuantizedTensor
from vamra.ragged import StringTensor

__all__ = [
    "ShardedCheckpoint", "from_hub", "handles", "load", "open", "parse_size", "save",
    "save_shard", "to_hub",
]  # fmt: skip

INDEX_SUFFIX: Final = ".vmra.index.json"
SHARD_SUFFIX: Final = ".vmra"
DEFAULT_BASE: Final = "model"
FORMAT: Final = "vamra"
FORMAT_VERSION: Final = "1.0"
DEFAULT_MAX_SHARD_SIZE: Final = "2GB"

# What a shard holds besides its values: the index entry's fixed part, the
# top-level framing, and per key its node, name, packet header and padding.
# Estimated: the size of every shard is checked once it is planned.
_FILE_OVERHEAD: Final = 1024
_KEY_OVERHEAD: Final = 320

_UNITS: Final = {
    "": 1, "B": 1,
    "KB": 10**3, "MB": 10**6, "GB": 10**9, "TB": 10**12,
    "KIB": 2**10, "MIB": 2**20, "GIB": 2**30, "TIB": 2**40,
}  # fmt: skip
_SIZE: Final = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([KMGT]I?B|B)?\s*", re.IGNORECASE)


def parse_size(size: int | str) -> int:
    """A shard size limit in bytes, from an int or a string such as
    ``"500MB"`` (decimal units: KB, MB, GB, TB) or ``"1GiB"`` (binary units:
    KiB, MiB, GiB, TiB); case is ignored.

    Parameters
    ----------
    size
        A positive int, or a number followed by a unit.

    Returns
    -------
    int
        The size in bytes.

    Raises
    ------
    TypeError
        ``size`` is neither an int nor a str.
    ValueError
        ``size`` is not positive or not understood.

    Examples
    --------
    >>> from vamra.shards import parse_size
    >>> parse_size("2GB"), parse_size("1GiB"), parse_size(4096)
    (2000000000, 1073741824, 4096)
    """
    if isinstance(size, bool) or not isinstance(size, (int, str)):
        raise TypeError(f"max_shard_size must be an int or a str, not {type(size).__name__}")
    if isinstance(size, str):
        found = _SIZE.fullmatch(size)
        if found is None:
            raise ValueError(
                f"max_shard_size {size!r} is not a size: give bytes as an int, or a number "
                "with a unit such as '500MB', '2GB' or '1GiB'"
            )
        number, unit = found.group(1), (found.group(2) or "").upper()
        value = int(float(number) * _UNITS[unit])
    else:
        value = size
    if value <= 0:
        raise ValueError(f"max_shard_size must be positive, got {size!r}")
    return value


# ---------------------------------------------------------------------------
# Where a checkpoint lies


def _is_path(file: Any) -> bool:
    return isinstance(file, (str, bytes, os.PathLike))


def handles(file: Any) -> bool:
    """Whether ``file`` names a sharded checkpoint: a directory, or an index file.

    Parameters
    ----------
    file
        A path or a file object (never a sharded checkpoint).

    Returns
    -------
    bool
        True for an existing directory or a path ending in ``.vmra.index.json``.

    Examples
    --------
    >>> from vamra import shards
    >>> shards.handles("ckpt/model.vmra.index.json"), shards.handles("model.vmra")
    (True, False)
    """
    if not _is_path(file):
        return False
    path = os.fsdecode(file)
    return path.endswith(INDEX_SUFFIX) or os.path.isdir(path)


def _split(path: str) -> tuple[str, str]:
    """(directory, base name) of a checkpoint given as a directory or an index path."""
    if path.endswith(INDEX_SUFFIX):
        directory, name = os.path.split(path)
        base = name[: -len(INDEX_SUFFIX)]
        if not base:
            raise ValueError(f"{path}: an index file needs a name before {INDEX_SUFFIX!r}")
        return directory or ".", base
    return path, DEFAULT_BASE


def index_path(file: Any) -> str:
    """The index file of a checkpoint given as a directory or an index path.

    A directory must hold exactly one ``*.vmra.index.json``.
    """
    path = os.fsdecode(file)
    if path.endswith(INDEX_SUFFIX):
        return path
    try:
        names = sorted(n for n in os.listdir(path) if n.endswith(INDEX_SUFFIX))
    except FileNotFoundError:
        raise FileNotFoundError(errno.ENOENT, "no such checkpoint directory", path) from None
    if len(names) == 1:
        return os.path.join(path, names[0])
    if names:
        raise ValueError(
            f"{path}: holds several checkpoints ({', '.join(names)}); name one of the index files"
        )
    hub = [n for n in os.listdir(path) if n.endswith(".safetensors.index.json")]
    hint = (
        f"; it holds a safetensors index ({hub[0]}): convert it with `vamra convert {path} DST`"
        if hub
        else ""
    )
    raise FileNotFoundError(
        errno.ENOENT, f"no vamra checkpoint index (*{INDEX_SUFFIX}){hint}", path
    )


def _shard_name(base: str, number: int, count: int, token: str, rank: int | None) -> str:
    who = "" if rank is None else f"-rank{rank:05d}"
    return f"{base}{who}-{number:05d}-of-{count:05d}.{token}{SHARD_SUFFIX}"


def _shard_pattern(base: str) -> re.Pattern[str]:
    """Names of the shards of checkpoints named ``base``, of any save."""
    return re.compile(
        re.escape(base) + r"(?:-rank\d+)?-\d+-of-\d+\.[0-9a-f]+" + re.escape(SHARD_SUFFIX)
    )


def _session_name(base: str) -> str:
    return f".{base}.vmra.session"


def _part_name(base: str, rank: int) -> str:
    return f".{base}.vmra.part-{rank:05d}"


# ---------------------------------------------------------------------------
# Splitting a dict into shards


def _weight(value: Any, depth: int = 0) -> int:
    """A bound on the bytes ``value`` takes in a file, besides framing."""
    if depth > _values.MAX_DEPTH:
        return 0  # refused by the planner, which names it
    if isinstance(value, dict):
        return sum(_KEY_OVERHEAD + _weight(v, depth + 1) for v in value.values())
    if isinstance(value, (list, tuple)):
        return sum(_KEY_OVERHEAD + _weight(v, depth + 1) for v in value)
    if isinstance(value, (str, bytes, bytearray)):
        return len(value) * 4
    if isinstance(value, StringTensor):
        return len(value.payload) + 8 * (value.count + 1)
    if isinstance(value, QuantizedTensor):
        return int(value.data.nbytes + value.scales.nbytes + value.zero_points.nbytes) + 1024
    if _values.is_sparse(value):
        parts = ("data", "indices", "indptr", "row", "col")
        return sum(int(getattr(value, p).nbytes) for p in parts if hasattr(value, p)) + 1024
    nbytes = getattr(value, "nbytes", None)
    if isinstance(nbytes, int):
        return nbytes
    return 0


def _tensor_bytes(value: Any, depth: int = 0) -> int:
    """The bytes of the tensors in ``value`` (a hub index's ``total_size``)."""
    if depth > _values.MAX_DEPTH:
        return 0
    if isinstance(value, dict):
        return sum(_tensor_bytes(v, depth + 1) for v in value.values())
    if isinstance(value, (list, tuple)):
        return sum(_tensor_bytes(v, depth + 1) for v in value)
    if isinstance(value, (str, bytes, bytearray)):
        return 0
    return _weight(value, depth)


def _tie(value: Any) -> tuple[Any, ...] | None:
    """What identifies the memory of a tensor, so that tied entries (one
    tensor under several names) land in one shard and are stored once."""
    interface = getattr(value, "__array_interface__", None)
    if interface is None and hasattr(value, "data_ptr") and hasattr(value, "nbytes"):
        try:
            return (value.data_ptr(), int(value.nbytes), str(value.dtype), tuple(value.shape))
        except (RuntimeError, TypeError):
            return None
    if isinstance(interface, dict):
        return (interface["data"][0], int(value.nbytes), str(value.dtype), tuple(value.shape))
    return None


def _groups(state: dict[str, Any], limit: int, alignment: int) -> list[list[str]]:
    """The keys of ``state`` in shards of at most ``limit`` bytes (as
    estimated), in order; a value larger than the limit has a shard of its
    own, and tied entries join the shard of the first."""
    groups: list[list[str]] = []
    used: list[int] = []
    tied: dict[tuple[Any, ...], int] = {}
    for key, value in state.items():
        tie = _tie(value)
        if tie is not None and tie[1] and tie in tied:
            groups[tied[tie]].append(key)
            used[tied[tie]] += _KEY_OVERHEAD
            continue
        weight = _KEY_OVERHEAD + alignment + len(key) + _weight(value)
        if not groups or used[-1] + weight > limit and len(groups[-1]) > 0:
            groups.append([])
            used.append(_FILE_OVERHEAD)
        groups[-1].append(key)
        used[-1] += weight
        if tie is not None and tie[1]:
            tied[tie] = len(groups) - 1
    return groups


def _check_workers(workers: Any) -> None:
    if workers is not None and (
        isinstance(workers, bool) or not isinstance(workers, int) or workers < 1
    ):
        raise ValueError(f"workers must be a positive int (or None), got {workers!r}")


def _check_state(state: Any) -> dict[str, Any]:
    if not isinstance(state, dict):
        raise TypeError(
            f"a sharded checkpoint holds a dict (a state_dict), not a {type(state).__name__}"
        )
    for key in state:
        if not isinstance(key, str):
            raise TypeError(
                f"a sharded checkpoint needs str keys at the top level, got {key!r}; "
                "nest other keys inside a dict entry"
            )
    return state


class _Shard:
    """One shard to write: its keys, its file name and, once planned, its layout."""

    def __init__(self, keys: list[str], name: str) -> None:
        self.keys = keys
        self.name = name
        self.layout: _layout.Layout | None = None


def _plan_shards(
    state: dict[str, Any],
    limit: int,
    metadata: dict[str, str] | None,
    options: dict[str, Any],
    plans: dict[tuple[str, ...], _layout.Layout] | None = None,
) -> list[list[str]]:
    """The key groups of the shards, each checked to plan within ``limit``
    (a group over it with several keys hands its last key to the next).
    The plans made to check them that are the shards' own go into ``plans``."""
    pending = _groups(state, limit, int(options.get("alignment", 64)))
    done: list[list[str]] = []
    while pending:
        keys = pending.pop(0)
        if len(keys) > 1 and _planned_size(state, keys, metadata, options, plans) > limit:
            # The last key moves on, with the names tied to it.
            tie = _tie(state[keys[-1]])
            tied = tie is not None and tie[1] > 0
            moving = [k for k in keys if k == keys[-1] or (tied and _tie(state[k]) == tie)]
            if len(moving) < len(keys):
                if not pending:
                    pending.append([])
                pending[0][:0] = moving
                pending.insert(0, [k for k in keys if k not in moving])
                continue
        done.append(keys)
    return done


def _planned_size(
    state: dict[str, Any],
    keys: list[str],
    metadata: dict[str, str] | None,
    options: dict[str, Any],
    plans: dict[tuple[str, ...], _layout.Layout] | None = None,
) -> int:
    """The exact size of a shard, without compressing or hashing anything."""
    quick = {**options, "check_integrity": False, "compress": False}
    planned = files._plan({k: state[k] for k in keys}, metadata or {}, quick)
    size = planned.size
    if plans is not None and quick == options:
        plans[tuple(keys)] = planned  # the shard's own plan: written as it is
    if options.get("check_integrity"):
        size += 8 * (len(keys) + 2)
    if options.get("compress"):
        # What LZ4 adds to data it cannot shrink: block and frame headers.
        size += size // 4096 + 64 * len(keys)
    return size


# ---------------------------------------------------------------------------
# Writing


_NO_LOCKS: Final = -1


def _directory_lock(directory: str, mode: int) -> int | None:
    """A descriptor of the directory holding an flock of ``mode``: None when
    a non-blocking lock is not to be had, ``_NO_LOCKS`` where the file system
    has no locks (then nothing waits for anything). Saves hold it shared while
    they write; shards are removed only under it held exclusively, so no
    save's files are removed while it is writing them."""
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        fcntl.flock(fd, mode)
    except BlockingIOError:
        os.close(fd)
        return None
    except OSError:
        os.close(fd)
        return _NO_LOCKS
    except BaseException:
        os.close(fd)
        raise
    return fd


def _unlock(fd: int | None) -> None:
    if fd is not None and fd != _NO_LOCKS:
        os.close(fd)


def _write_shard(directory: str, shard: _Shard, mode: int | None, fsync: bool) -> int:
    """Writes a planned shard to its new name (its blocks allocated first,
    see :func:`vamra.files._preallocate`); returns its size."""
    assert shard.layout is not None
    path = os.path.join(directory, shard.name)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        if mode is not None:
            os.fchmod(fd, mode)
        files._preallocate(fd, shard.layout.size)
        written: int = shard.layout.write(fd)
        if fsync:
            os.fsync(fd)
    finally:
        os.close(fd)
    return written


def _write_shards(
    directory: str,
    state: dict[str, Any],
    shards: list[_Shard],
    metadata: dict[str, str] | None,
    options: dict[str, Any],
    workers: int | None,
    fsync: bool,
    mode: int | None,
) -> None:
    """Plans and writes the shards on up to ``workers`` threads: planning one
    overlaps writing another, and the writer releases the interpreter lock."""

    def one(shard: _Shard) -> None:
        if shard.layout is None:
            shard.layout = files._plan({k: state[k] for k in shard.keys}, metadata or {}, options)
        try:
            _write_shard(directory, shard, mode, fsync)
        finally:
            shard.layout = None  # the plan pins the arrays; let them go

    count = max(1, min(workers or os.cpu_count() or 1, len(shards)))
    try:
        if count == 1:
            for shard in shards:
                one(shard)
        else:
            pool = ThreadPoolExecutor(count, thread_name_prefix="vamra-shard")
            try:
                for future in [pool.submit(one, shard) for shard in shards]:
                    future.result()
            finally:
                # On a failure the shards not yet begun are not written at all.
                pool.shutdown(wait=True, cancel_futures=True)
    except BaseException:
        for shard in shards:
            with contextlib.suppress(OSError):
                os.unlink(os.path.join(directory, shard.name))
        raise


def _write_atomically(path: str, data: bytes, fsync: bool) -> None:
    """``data`` to ``path`` through a temporary file renamed over it."""
    directory, base = os.path.split(path)
    fd, temporary = files._create_temporary(directory or ".", base)
    try:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view) :]
            if fsync:
                os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    if fsync:
        files._fsync_directory(directory)


def _index_document(
    weight_map: dict[str, str],
    total_size: int,
    token: str,
    metadata: dict[str, str] | None,
    source: dict[str, Any] | None = None,
    source_files: dict[str, str] | None = None,
) -> bytes:
    document: dict[str, Any] = {
        "metadata": {
            "total_size": total_size,
            "format": FORMAT,
            "format_version": FORMAT_VERSION,
            "generation": token,
        }
    }
    if metadata:
        document["user_metadata"] = metadata
    if source is not None:
        # A checkpoint converted from the hub layout: that index's metadata
        # and file names, which a conversion back restores.
        document["source_metadata"] = source
        document["source_files"] = source_files or {}
    document["weight_map"] = weight_map
    return (json.dumps(document, indent=2, ensure_ascii=False) + "\n").encode("utf-8")


def _publish(directory: str, base: str, document: bytes, shards: list[str], fsync: bool) -> None:
    """Writes the index over the old one. Shards that replace an old
    checkpoint have their writeback started then, off the caller's path, as
    a file saved over another has (see :func:`vamra.files._replace`)."""
    index = os.path.join(directory, base + INDEX_SUFFIX)
    replacing = os.path.exists(index)
    _write_atomically(index, document, fsync)
    if replacing and not fsync:
        files._writeback_later(*(os.path.join(directory, name) for name in shards))


def _remove_unnamed(directory: str, base: str, keep: set[str], wait: float = 0.0) -> None:
    """Removes the shards of ``base`` that ``keep`` (the files the index
    names) does not hold, and temporary files of killed saves: only when no
    other save is writing into the directory (else a later save does it),
    which is waited for up to ``wait`` seconds."""
    deadline = time.monotonic() + wait
    while (fd := _directory_lock(directory, fcntl.LOCK_EX | fcntl.LOCK_NB)) is None:
        if time.monotonic() >= deadline:
            return
        time.sleep(_POLL)
    try:
        pattern = _shard_pattern(base)
        temporary = re.compile(r"\." + re.escape(base) + r".*\.[0-9a-f]{12}\.tmp")
        for name in os.listdir(directory):
            if name in keep:
                continue
            if pattern.fullmatch(name) or temporary.fullmatch(name):
                path = os.path.join(directory, name)
                # Released off the caller's path, as a file saved over another is.
                held = files._hold(path)
                try:
                    os.unlink(path)
                except FileNotFoundError:
                    pass
                finally:
                    files._release_later(held)
    finally:
        _unlock(fd)


def _make_room(index: str) -> None:
    """Drops the cached pages of the shards the old index names, as a single
    file's are before it is replaced (see :func:`vamra.files._make_room`)."""
    try:
        with builtins.open(index, "rb") as handle:
            names = set(json.loads(handle.read())["weight_map"].values())
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return
    directory = os.path.dirname(index)
    for name in names:
        if isinstance(name, str) and os.path.basename(name) == name:
            files._make_room(os.path.join(directory, name))


def _existing_mode(path: str) -> int | None:
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        return None


def _prepare_directory(path: str) -> tuple[str, str]:
    directory, base = _split(path)
    if os.path.exists(directory) and not os.path.isdir(directory):
        raise NotADirectoryError(
            errno.ENOTDIR, "a sharded checkpoint is saved into a directory", directory
        )
    os.makedirs(directory, exist_ok=True)
    return directory, base


def save(
    obj: Any,
    file: Any,
    *,
    max_shard_size: int | str | None = None,
    workers: int | None = None,
    metadata: dict[str, str] | None = None,
    fsync: bool = False,
    check_integrity: bool = False,
    compress: bool = False,
    alignment: int = 64,
) -> None:
    """Save a dict as a sharded checkpoint (what :func:`vamra.save` does for
    a directory, an index path or ``max_shard_size``).

    Parameters
    ----------
    obj
        A dict with str keys (a ``state_dict``); it is split by its top-level
        keys, in order.
    file
        A directory (created if missing; the index is ``model.vmra.index.json``
        in it), or the path of an index file ``<dir>/<name>.vmra.index.json``.
    max_shard_size
        The largest shard, in bytes (int) or as ``"500MB"``, ``"2GB"`` or
        ``"1GiB"``; ``"2GB"`` by default. A value larger than this gets a
        shard of its own; entries that share memory (tied weights) are put in
        one shard and stored once.
    workers
        Threads that plan and write shards at the same time (``os.cpu_count()``
        by default).
    metadata
        Str to str metadata, kept in the index and in every shard.
    fsync
        Flush every shard, the index and the directory to the device.
    check_integrity, compress, alignment
        Encoder options, as for :func:`vamra.dumps`.

    Raises
    ------
    TypeError
        ``obj`` is not a dict with str keys, or holds a value that cannot be
        encoded (raised before anything is written).
    ValueError
        A value cannot be written, or ``max_shard_size`` is not understood.
    NotADirectoryError
        ``file`` is an existing file.

    Examples
    --------
    >>> import numpy as np, vamra
    >>> state = {f"layer{i}": np.ones(1000, np.float32) for i in range(4)}
    >>> vamra.save(state, "/tmp/sharded", max_shard_size="8KB")
    >>> sorted(os.listdir("/tmp/sharded"))[-1]
    'model.vmra.index.json'
    >>> vamra.open("/tmp/sharded")["layer3"].shape
    (1000,)
    """
    if not _is_path(file):
        raise TypeError("a sharded checkpoint is saved to a directory or an index path, not a file")
    _check_workers(workers)
    state = _check_state(obj)
    limit = parse_size(DEFAULT_MAX_SHARD_SIZE if max_shard_size is None else max_shard_size)
    if metadata is not None:
        _layout._check_metadata(metadata)
    options = {"check_integrity": check_integrity, "compress": compress, "alignment": alignment}
    directory, base = _prepare_directory(os.fsdecode(file))
    index = os.path.join(directory, base + INDEX_SUFFIX)
    plans: dict[tuple[str, ...], _layout.Layout] = {}
    groups = _plan_shards(state, limit, metadata, options, plans)
    token = secrets.token_hex(4)
    shards = [
        _Shard(keys, _shard_name(base, i + 1, len(groups), token, None))
        for i, keys in enumerate(groups)
    ]
    for shard in shards:
        shard.layout = plans.pop(tuple(shard.keys), None)
    plans.clear()
    lock = _directory_lock(directory, fcntl.LOCK_SH)
    try:
        _make_room(index)
        _write_shards(
            directory, state, shards, metadata, options, workers, fsync, _existing_mode(index)
        )
        if fsync:
            files._fsync_directory(directory)
        by_key = {key: shard.name for shard in shards for key in shard.keys}
        weight_map = {key: by_key[key] for key in state}
        document = _index_document(weight_map, _tensor_bytes(state), token, metadata)
        _publish(directory, base, document, [shard.name for shard in shards], fsync)
    finally:
        _unlock(lock)
    _remove_unnamed(directory, base, {shard.name for shard in shards})


# ---------------------------------------------------------------------------
# Many writers

# Sessions this process has written a part of, by session file: a rank that
# finishes its part early never joins the same session twice.
_joined: dict[str, str] = {}
_POLL: Final = 0.02


def _session_alive(path: str) -> dict[str, Any] | None:
    """The session record at ``path`` while the rank that opened it holds
    it (its lock is taken), else None (no session, or a dead one's file)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except FileNotFoundError:
        return None
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            with builtins.open(fd, "rb", closefd=False) as handle:
                try:
                    found: dict[str, Any] = json.loads(handle.read())
                except ValueError:
                    return None
                return found
        return None  # nobody holds it: left by a killed save
    finally:
        os.close(fd)


def _open_session(directory: str, base: str, world_size: int) -> tuple[int, str]:
    """Rank 0 opens a session for the other ranks to join: a record holding
    a new generation token, locked before it becomes visible, and held until
    the index is written (or the save fails)."""
    token = secrets.token_hex(4)
    path = os.path.join(directory, _session_name(base))
    fd, temporary = files._create_temporary(directory, _session_name(base))
    try:
        fcntl.flock(fd, fcntl.LOCK_SH)
        os.write(fd, json.dumps({"token": token, "world_size": world_size}).encode())
        os.replace(temporary, path)
    except BaseException:
        os.close(fd)
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    return fd, token


def _deadline_error(what: str, timeout: float, directory: str) -> TimeoutError:
    return TimeoutError(f"{directory}: {what} within {timeout:g} s (timeout=)")


def _join_session(directory: str, base: str, world_size: int, deadline: float) -> str:
    path = os.path.join(directory, _session_name(base))
    seen = _joined.get(path)
    delay = _POLL
    while True:
        record = _session_alive(path)
        if record is not None and record.get("token") != seen:
            if record.get("world_size") != world_size:
                raise ValueError(
                    f"{directory}: rank 0 saves with world_size={record.get('world_size')}, "
                    f"this rank with world_size={world_size}"
                )
            token = str(record["token"])
            _joined[path] = token
            return token
        if time.monotonic() > deadline:
            raise TimeoutError(
                f"{directory}: rank 0 did not start the save (no session for this rank to join)"
            )
        time.sleep(delay)
        delay = min(delay * 1.5, 0.25)


class _Job:
    """What one rank of a save with many writers writes, and how."""

    def __init__(
        self,
        directory: str,
        base: str,
        state: dict[str, Any],
        limit: int,
        metadata: dict[str, str] | None,
        options: dict[str, Any],
        workers: int | None,
        fsync: bool,
    ) -> None:
        self.directory = directory
        self.base = base
        self.state = state
        self.limit = limit
        self.metadata = metadata
        self.options = options
        self.workers = workers
        self.fsync = fsync

    def path(self, name: str) -> str:
        return os.path.join(self.directory, name)

    def write_part(self, rank: int, token: str) -> dict[str, Any]:
        """Writes this rank's shards; returns the record of its part."""
        state = self.state
        groups = _plan_shards(state, self.limit, self.metadata, self.options) if state else []
        shards = [
            _Shard(keys, _shard_name(self.base, i + 1, len(groups), token, rank))
            for i, keys in enumerate(groups)
        ]
        mode = _existing_mode(self.path(self.base + INDEX_SUFFIX))
        _write_shards(
            self.directory, state, shards, self.metadata, self.options, self.workers,
            self.fsync, mode,
        )  # fmt: skip
        by_key = {key: shard.name for shard in shards for key in shard.keys}
        return {
            "token": token,
            "rank": rank,
            "weight_map": {key: by_key[key] for key in state},
            "total_size": _tensor_bytes(state),
        }


def _read_part(path: str, token: str) -> dict[str, Any] | None:
    try:
        with builtins.open(path, "rb") as handle:
            part: dict[str, Any] = json.loads(handle.read())
    except (FileNotFoundError, ValueError):
        return None
    return part if part.get("token") == token else None


def _index_generation(path: str) -> str | None:
    try:
        with builtins.open(path, "rb") as handle:
            document = json.loads(handle.read())
        return str(document["metadata"]["generation"])
    except (OSError, ValueError, KeyError, TypeError):
        return None


def save_shard(
    obj: Any,
    directory: Any,
    *,
    rank: int,
    world_size: int,
    timeout: float = 600.0,
    max_shard_size: int | str | None = None,
    workers: int | None = None,
    metadata: dict[str, str] | None = None,
    fsync: bool = False,
    check_integrity: bool = False,
    compress: bool = False,
    alignment: int = 64,
) -> None:
    """Write this process's part of a checkpoint that ``world_size``
    processes save at the same time.

    Each process (rank) calls it with the entries it holds; their keys must
    not overlap. The ranks coordinate through files in the directory:

    * rank 0 opens a *session* (a small locked file holding a new generation
      token); the other ranks wait for it, then write their shards;
    * each rank writes its shards (split by ``max_shard_size`` as
      :func:`vamra.save` does) under names of this generation, then a record
      of its keys;
    * rank 0 waits for every rank's record, writes the index naming all the
      shards (atomically, so the old checkpoint stays whole until then) and
      removes the shards no index names;
    * every call returns once the index is written, so a checkpoint is
      complete on every rank when its call returns.

    Every wait is bounded by ``timeout`` (ranks other than 0 wait for the
    index up to a quarter longer, at most 30 s more, so that they report
    rank 0's failure rather than their own timeout). A rank that dies makes the others
    fail with a TimeoutError (or, on ranks other than 0, a RuntimeError as
    soon as rank 0 gives up) and leaves the old checkpoint in place; the
    next save removes what the failed one wrote. The directory must be one
    all ranks see (a local or shared file system with ``flock``).

    Parameters
    ----------
    obj
        This rank's entries: a dict with str keys.
    directory
        The checkpoint's directory (or its index path), the same on every rank.
    rank, world_size
        This process's number (0 to ``world_size - 1``) and the number of
        processes.
    timeout
        Seconds any wait may take.
    max_shard_size, workers, metadata, fsync, check_integrity, compress, alignment
        As for :func:`save`; ``metadata`` is taken from rank 0 for the index.

    Raises
    ------
    TimeoutError
        A wait took longer than ``timeout`` (a rank did not start or did not
        finish); the message says which.
    RuntimeError
        Rank 0 gave up before writing the index.
    ValueError
        Keys of two ranks overlap, ranks disagree on ``world_size``, or
        ``rank`` is out of range.

    Examples
    --------
    >>> import numpy as np, vamra
    >>> vamra.save_shard({"w": np.ones(3)}, "/tmp/one-rank", rank=0, world_size=1)
    >>> list(vamra.open("/tmp/one-rank"))
    ['w']
    """
    if not _is_path(directory):
        raise TypeError("save_shard writes into a directory, given as a path")
    if isinstance(world_size, bool) or not isinstance(world_size, int) or world_size < 1:
        raise ValueError(f"world_size must be a positive int, got {world_size!r}")
    if isinstance(rank, bool) or not isinstance(rank, int) or not 0 <= rank < world_size:
        raise ValueError(f"rank must be an int from 0 to {world_size - 1}, got {rank!r}")
    if not (isinstance(timeout, (int, float)) and timeout > 0):
        raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
    _check_workers(workers)
    state = _check_state(obj)
    limit = parse_size(DEFAULT_MAX_SHARD_SIZE if max_shard_size is None else max_shard_size)
    if metadata is not None:
        _layout._check_metadata(metadata)
    options = {"check_integrity": check_integrity, "compress": compress, "alignment": alignment}
    where, base = _prepare_directory(os.fsdecode(directory))
    deadline = time.monotonic() + timeout
    job = _Job(where, base, state, limit, metadata, options, workers, fsync)
    if rank == 0:
        _coordinate(job, world_size, timeout, deadline)
    else:
        _contribute(job, rank, world_size, timeout, deadline)


def _contribute(job: _Job, rank: int, world_size: int, timeout: float, deadline: float) -> None:
    directory, base = job.directory, job.base
    token = _join_session(directory, base, world_size, deadline)
    lock = _directory_lock(directory, fcntl.LOCK_SH)
    try:
        part = job.write_part(rank, token)
        _write_atomically(job.path(_part_name(base, rank)), json.dumps(part).encode(), job.fsync)
    finally:
        _unlock(lock)
    session = job.path(_session_name(base))
    index = job.path(base + INDEX_SUFFIX)
    delay = _POLL
    while True:
        alive = _session_alive(session)
        if alive is None or alive.get("token") != token:
            # Rank 0 publishes the index before it ends the session.
            if _index_generation(index) == token:
                return
            raise RuntimeError(
                f"{directory}: rank 0 ended the save without writing the index "
                "(see its error); the previous checkpoint is unchanged"
            )
        # Rank 0 gives up at the deadline too, then ends the session: a little
        # longer here, so that what this rank reports is rank 0's failure.
        if time.monotonic() > deadline + min(timeout / 4, 30.0):
            raise _deadline_error("rank 0 did not write the index", timeout, directory)
        time.sleep(delay)
        delay = min(delay * 1.5, 0.25)


def _coordinate(job: _Job, world_size: int, timeout: float, deadline: float) -> None:
    directory, base = job.directory, job.base
    session, token = _open_session(directory, base, world_size)
    session_path = job.path(_session_name(base))
    lock = _directory_lock(directory, fcntl.LOCK_SH)
    try:
        parts = {0: job.write_part(0, token)}
        delay = _POLL
        while len(parts) < world_size:
            for rank in range(1, world_size):
                if rank not in parts:
                    found = _read_part(job.path(_part_name(base, rank)), token)
                    if found is not None:
                        parts[rank] = found
            if len(parts) == world_size:
                break
            if time.monotonic() > deadline:
                missing = ", ".join(str(r) for r in range(world_size) if r not in parts)
                raise _deadline_error(
                    f"rank(s) {missing} did not write their part", timeout, directory
                )
            time.sleep(delay)
            delay = min(delay * 1.5, 0.25)
        weight_map: dict[str, str] = {}
        for rank in range(world_size):
            for key, name in parts[rank]["weight_map"].items():
                if key in weight_map:
                    raise ValueError(f"{directory}: key {key!r} is saved by two ranks")
                if os.path.basename(name) != name:
                    raise ValueError(f"{directory}: rank {rank} names a shard outside it")
                weight_map[key] = name
        if job.fsync:
            files._fsync_directory(directory)
        total = sum(int(part["total_size"]) for part in parts.values())
        document = _index_document(weight_map, total, token, job.metadata)
        _publish(directory, base, document, list(dict.fromkeys(weight_map.values())), job.fsync)
        # Every rank's record is in: any other is left by an earlier save.
        records = re.compile(re.escape(_part_name(base, 0)[:-5]) + r"\d+")
        for name in os.listdir(directory):
            if records.fullmatch(name):
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(job.path(name))
    finally:
        _unlock(lock)
        # Ended before the lock goes: a rank that finds it gone reads the index.
        with contextlib.suppress(FileNotFoundError):
            if os.path.samestat(os.fstat(session), os.stat(session_path)):
                os.unlink(session_path)
        os.close(session)
    # The other ranks are done, and let go of the directory as they return.
    _remove_unnamed(directory, base, set(weight_map.values()), wait=2.0)


# ---------------------------------------------------------------------------
# Reading


def _read_index(path: str) -> dict[str, Any]:
    try:
        with builtins.open(path, "rb") as handle:
            document: dict[str, Any] = json.loads(handle.read().decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise ValueError(f"{path}: not a checkpoint index (not JSON: {exc})") from None
    weight_map = document.get("weight_map") if isinstance(document, dict) else None
    if not isinstance(weight_map, dict):
        raise ValueError(f"{path}: not a checkpoint index (no weight_map)")
    meta = document.get("metadata")
    if not isinstance(meta, dict) or meta.get("format") != FORMAT:
        raise ValueError(
            f"{path}: not a vamra checkpoint index (its metadata does not name the vamra format); "
            "a safetensors index is converted with `vamra convert`"
        )
    major = str(meta.get("format_version", "")).split(".")[0]
    if major != FORMAT_VERSION.split(".")[0]:
        raise ValueError(
            f"{path}: sharded checkpoint format {meta.get('format_version')!r}, which this "
            f"vamra reads only as version {FORMAT_VERSION.split('.')[0]}.x; upgrade vamra"
        )
    for key, name in weight_map.items():
        if not isinstance(name, str) or os.path.basename(name) != name or name in ("", ".", ".."):
            # A shard is a file beside the index, never a path elsewhere.
            raise ValueError(f"{path}: entry {key!r} names {name!r}, not a file beside the index")
    user = document.get("user_metadata", {})
    if not isinstance(user, dict) or not all(
        isinstance(k, str) and isinstance(v, str) for k, v in user.items()
    ):
        raise ValueError(f"{path}: user_metadata is not a dict of str to str")
    return document


class ShardedCheckpoint(files._Closing, Mapping[str, Any]):
    """A read-only mapping over a sharded checkpoint, opening shards on access.

    The keys, their order and which shard holds each come from the index;
    a shard is opened (mapped, its own index read) when one of its keys is
    first read, and kept open until :meth:`close`. Values are read as
    :func:`vamra.open` reads them from a single file.
    """

    def __init__(
        self, path: str, document: dict[str, Any], open_file: Callable[[str], Any]
    ) -> None:
        self._path = path
        self._directory = os.path.dirname(path) or "."
        self._document = document
        self._map: dict[str, str] = document["weight_map"]
        self._open_file = open_file
        self._shards: dict[str, Any] = {}
        self._lock = threading.Lock()

    def shard(self, name: str) -> Any:
        """The opened shard ``name`` (a :class:`vamra.files.Checkpoint`)."""
        with self._lock:
            found = self._shards.get(name)
            if found is None:
                found = self._shards[name] = self._open_file(os.path.join(self._directory, name))
            return found

    def __getitem__(self, key: str) -> Any:
        name = self._map[key]
        shard = self.shard(name)
        try:
            return shard[key]
        except KeyError:
            raise ValueError(
                f"{self._path}: the index puts {key!r} in {name}, which does not hold it "
                "(a damaged checkpoint)"
            ) from None

    def __iter__(self) -> Iterator[str]:
        return iter(self._map)

    def __len__(self) -> int:
        return len(self._map)

    def __contains__(self, key: object) -> bool:
        return key in self._map

    def file_of(self, key: str) -> str:
        """The path of the shard that holds ``key``."""
        return os.path.join(self._directory, self._map[key])

    @property
    def shards(self) -> list[str]:
        """The shard files, in the order of their first key."""
        return list(dict.fromkeys(self._map.values()))

    @property
    def metadata(self) -> dict[str, str]:
        """The metadata saved with the checkpoint (``save(..., metadata=...)``)."""
        return dict(self._document.get("user_metadata", {}))

    @property
    def index(self) -> dict[str, Any]:
        """The index document (its ``metadata`` holds ``total_size``)."""
        return self._document

    @property
    def name(self) -> str:
        return self._path

    def close(self) -> None:
        """Closes the shards opened so far; values already read stay valid."""
        with self._lock:
            opened, self._shards = self._shards, {}
        for shard in opened.values():
            shard.close()

    def __repr__(self) -> str:
        return (
            f"<vamra.ShardedCheckpoint {self._path!r}: {len(self)} entries "
            f"in {len(self.shards)} shards>"
        )


def open(  # noqa: A001 - mirrors the builtin, as vamra.open does
    file: Any, *, open_file: Callable[[str], Any] | None = None
) -> ShardedCheckpoint:
    """Open a sharded checkpoint (a directory or its index path) as one mapping.

    Parameters
    ----------
    file
        The checkpoint's directory (holding one ``*.vmra.index.json``) or
        its index path.
    open_file
        Opens one shard (:func:`vamra.files.open` by default;
        :func:`vamra.torch.open` passes its own).

    Returns
    -------
    ShardedCheckpoint
        A read-only mapping over every key, usable as a context manager.

    Raises
    ------
    FileNotFoundError
        No index there (the message names a safetensors index if there is one).
    ValueError
        The index is not a vamra checkpoint index, is of a newer major
        version, or names a file outside its directory.

    Examples
    --------
    >>> import numpy as np, vamra
    >>> vamra.save({"a": np.ones(2), "b": np.zeros(2)}, "/tmp/ck", max_shard_size=200)
    >>> with vamra.open("/tmp/ck") as checkpoint:
    ...     list(checkpoint), len(checkpoint.shards)
    (['a', 'b'], 2)
    """
    path = index_path(file)
    return ShardedCheckpoint(path, _read_index(path), open_file or files.open)


def load(
    file: Any, *, load_file: Callable[[str], Any] | None = None, with_metadata: bool = False
) -> Any:
    """Read a whole sharded checkpoint into one dict, in the order saved.

    Parameters
    ----------
    file
        The checkpoint's directory or its index path.
    load_file
        Reads one shard whole (:func:`vamra.load` by default).
    with_metadata
        Also return the checkpoint's metadata.

    Returns
    -------
    dict or tuple
        Every key's value; with ``with_metadata``, ``(value, metadata)``.

    Raises
    ------
    FileNotFoundError, ValueError
        As :func:`open` raises them; ValueError also when a shard does not
        hold a key the index puts in it.

    Examples
    --------
    >>> import numpy as np, vamra
    >>> vamra.save({"a": np.ones(2)}, "/tmp/ck1", max_shard_size="1MB")
    >>> vamra.load("/tmp/ck1")["a"].tolist()
    [1.0, 1.0]
    """
    path = index_path(file)
    document = _read_index(path)
    directory = os.path.dirname(path) or "."
    reader = load_file or files.load
    by_shard: dict[str, Any] = {}
    out: dict[str, Any] = {}
    for key, name in document["weight_map"].items():
        values = by_shard.get(name)
        if values is None:
            values = by_shard[name] = reader(os.path.join(directory, name))
            if not isinstance(values, dict):
                raise ValueError(f"{path}: shard {name} does not hold a dict")
        if key not in values:
            raise ValueError(
                f"{path}: the index puts {key!r} in {name}, which does not hold it "
                "(a damaged checkpoint)"
            )
        out[key] = values[key]
    return (out, dict(document.get("user_metadata", {}))) if with_metadata else out


# ---------------------------------------------------------------------------
# The layout of model hubs: safetensors shards and model.safetensors.index.json

HUB_INDEX_SUFFIX: Final = ".safetensors.index.json"


def hub_index(path: str) -> str | None:
    """The safetensors index of ``path`` (a directory holding exactly one, or
    the index itself), or None when it names none."""
    if path.endswith(HUB_INDEX_SUFFIX) and os.path.isfile(path):
        return path
    if os.path.isdir(path):
        found = [n for n in os.listdir(path) if n.endswith(HUB_INDEX_SUFFIX)]
        if len(found) == 1 and not any(n.endswith(INDEX_SUFFIX) for n in os.listdir(path)):
            return os.path.join(path, found[0])
    return None


def _safetensors(tensors: bool) -> Any:
    import importlib

    try:
        return importlib.import_module("safetensors.torch" if tensors else "safetensors.numpy")
    except ImportError as exc:
        raise ImportError(
            "converting safetensors checkpoints needs the safetensors package: "
            "pip install 'vamra[safetensors]'",
            name="safetensors",
        ) from exc


def _torch_installed() -> bool:
    import importlib.util

    return importlib.util.find_spec("torch") is not None


def _hub_document(path: str) -> dict[str, Any]:
    try:
        with builtins.open(path, "rb") as handle:
            document = json.loads(handle.read().decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise ValueError(f"{path}: not a safetensors index (not JSON: {exc})") from None
    weight_map = document.get("weight_map") if isinstance(document, dict) else None
    if not isinstance(weight_map, dict):
        raise ValueError(f"{path}: not a safetensors index (no weight_map)")
    for key, name in weight_map.items():
        if not isinstance(name, str) or os.path.basename(name) != name or name in ("", ".", ".."):
            raise ValueError(f"{path}: entry {key!r} names {name!r}, not a file beside the index")
    result: dict[str, Any] = document
    return result


def _safetensors_metadata(path: str) -> dict[str, str]:
    """A safetensors file's metadata, in the order its header has it (which
    safetensors' own reader does not keep)."""
    with builtins.open(path, "rb") as handle:
        length = int.from_bytes(handle.read(8), "little")
        if length > 100 << 20:
            raise ValueError(f"{path}: not a safetensors file (a header of {length} bytes)")
        try:
            header = json.loads(handle.read(length).decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError):
            raise ValueError(f"{path}: not a safetensors file (its header is not JSON)") from None
    meta = header.get("__metadata__") if isinstance(header, dict) else None
    if meta is None:
        return {}
    if not isinstance(meta, dict) or not all(
        isinstance(k, str) and isinstance(v, str) for k, v in meta.items()
    ):
        raise ValueError(f"{path}: its metadata is not a dict of str to str")
    return meta


def from_hub(
    source: str,
    target: str,
    *,
    check_integrity: bool = False,
    compress: bool = False,
    alignment: int = 64,
) -> None:
    """Convert a safetensors checkpoint in the hub layout (shards and
    ``model.safetensors.index.json``) into a vamra sharded checkpoint.

    Each safetensors shard becomes one vamra shard with the same tensors, in
    the same order, with its metadata (``{"format": "pt"}``...) as the shard's
    metadata; the hub index's metadata and shard names are kept in the vamra
    index, so :func:`to_hub` gives the same layout back. Tensors go through
    torch when it is installed (which carries bfloat16), else NumPy.

    Parameters
    ----------
    source
        The hub checkpoint's directory or its ``*.safetensors.index.json``.
    target
        The vamra checkpoint's directory (or index path); an old checkpoint
        there is replaced as :func:`save` replaces it.
    check_integrity, compress, alignment
        Encoder options, as for :func:`vamra.dumps`.

    Raises
    ------
    FileNotFoundError
        ``source`` holds no safetensors index, or a shard it names is missing.
    ValueError
        The index names a file outside its directory, or a shard lacks a key
        the index puts in it.
    ImportError
        safetensors is not installed (the ``[safetensors]`` extra).

    Examples
    --------
    >>> from vamra import shards
    >>> shards.from_hub("hub-checkpoint/", "ckpt/")  # doctest: +SKIP
    """
    hub = hub_index(source)
    if hub is None:
        raise FileNotFoundError(errno.ENOENT, f"no safetensors index (*{HUB_INDEX_SUFFIX})", source)
    document = _hub_document(hub)
    weight_map: dict[str, str] = document["weight_map"]
    tensors = _torch_installed()
    library = _safetensors(tensors)
    hub_files = list(dict.fromkeys(weight_map.values()))
    source_directory = os.path.dirname(hub) or "."
    directory, base = _prepare_directory(target)
    token = secrets.token_hex(4)
    options = {"check_integrity": check_integrity, "compress": compress, "alignment": alignment}
    written: list[str] = []
    came_from: dict[str, str] = {}
    shard_of: dict[str, str] = {}
    metadata: list[dict[str, str]] = []
    total = 0
    lock = _directory_lock(directory, fcntl.LOCK_SH)
    try:
        for number, hub_file in enumerate(hub_files, 1):
            path = os.path.join(source_directory, hub_file)
            meta = _safetensors_metadata(path)
            state = library.load_file(path)
            missing = [k for k, f in weight_map.items() if f == hub_file and k not in state]
            if missing:
                raise ValueError(
                    f"{hub}: puts {missing[0]!r} in {hub_file}, which does not hold it"
                )
            shard = _Shard(list(state), _shard_name(base, number, len(hub_files), token, None))
            written.append(shard.name)
            _write_shards(directory, state, [shard], meta, options, 1, False, None)
            came_from[shard.name] = hub_file
            shard_of.update(dict.fromkeys(state, shard.name))
            metadata.append(meta)
            total += _tensor_bytes(state)
        common = metadata[0] if metadata and all(m == metadata[0] for m in metadata) else None
        index = _index_document(
            {key: shard_of[key] for key in weight_map},
            total,
            token,
            common or None,
            source=document.get("metadata", {}),
            source_files=came_from,
        )
        _publish(directory, base, index, written, False)
    except BaseException:
        for name in written:
            with contextlib.suppress(OSError):
                os.unlink(os.path.join(directory, name))
        raise
    finally:
        _unlock(lock)
    _remove_unnamed(directory, base, set(written))


def to_hub(source: str, target: str, load_file: Callable[[str], Any] | None = None) -> None:
    """Convert a vamra sharded checkpoint into the hub layout: one safetensors
    file per vamra shard (named as it was when it came from the hub, else
    ``model-00001-of-0000N.safetensors``), each with its shard's metadata, and
    ``model.safetensors.index.json``. Tensors over the same memory (tied
    weights, stored once by vamra) are written under each name, as
    safetensors stores them.

    Parameters
    ----------
    source
        The vamra checkpoint's directory or index path.
    target
        The directory to write the safetensors shards and
        ``model.safetensors.index.json`` into (created if missing).
    load_file
        Reads a shard as torch tensors (``vamra.torch.load``, which carries
        bfloat16); without it shards are read as NumPy arrays.

    Raises
    ------
    FileNotFoundError, ValueError
        As :func:`open` raises them.
    ImportError
        safetensors is not installed (the ``[safetensors]`` extra).

    Examples
    --------
    >>> import vamra.torch
    >>> from vamra import shards
    >>> shards.to_hub("ckpt/", "hub-checkpoint/", vamra.torch.load)  # doctest: +SKIP
    """
    path = index_path(source)
    document = _read_index(path)
    source_directory = os.path.dirname(path) or "."
    tensors = load_file is not None
    library = _safetensors(tensors)
    reader = load_file or files.load
    weight_map: dict[str, str] = document["weight_map"]
    shard_files = list(dict.fromkeys(weight_map.values()))
    given = document.get("source_files") or {}
    hub_names = {
        name: given.get(name) or f"model-{i:05d}-of-{len(shard_files):05d}.safetensors"
        for i, name in enumerate(shard_files, 1)
    }
    os.makedirs(target, exist_ok=True)
    total = 0
    for name in shard_files:
        shard_path = os.path.join(source_directory, name)
        with files.open(shard_path) as opened:
            meta = opened.metadata
        state = reader(shard_path)
        keys = [k for k, f in weight_map.items() if f == name]
        out: dict[str, Any] = {}
        seen: set[int] = set()
        for key in keys:
            value = state[key]
            # safetensors refuses tensors that share memory: each name its own copy.
            out[key] = value.clone() if tensors and id(value) in seen else value
            seen.add(id(value))
        total += _tensor_bytes(out)
        hub_file = os.path.join(target, hub_names[name])
        if not tensors:
            import numpy as np

            out = {k: np.ascontiguousarray(v) for k, v in out.items()}
        library.save_file(out, hub_file, metadata=meta or None)
    hub_metadata = document.get("source_metadata") or {"total_size": total}
    hub_index_document = {
        "metadata": hub_metadata,
        "weight_map": {k: hub_names[f] for k, f in weight_map.items()},
    }
    _write_atomically(
        os.path.join(target, "model" + HUB_INDEX_SUFFIX),
        (json.dumps(hub_index_document, indent=2, sort_keys=True) + "\n").encode(),
        False,
    )


def _register() -> None:
    files._sharded = _Dispatch()


class _Dispatch:
    """What files.save/load/open call for a sharded checkpoint."""

    handles = staticmethod(handles)
    save = staticmethod(save)
    load = staticmethod(load)
    open = staticmethod(open)


_register()

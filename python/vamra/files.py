"""Checkpoints on disk: :func:`~vamra.save`, :func:`~vamra.load` and :func:`~vamra.open`.

A vamra file is exactly one packet, so ``vamra.loads(open(p, "rb").read())``
reads it too. Saving streams the packet from the arrays' own memory to the
file (vectored writes, no packet built in memory) and replaces the target
atomically; loading maps the file, so arrays are views into the map and
nothing is read until it is touched; :func:`~vamra.open` gives lazy access to the
entries of a dictionary saved as a bundle.

The pieces here are meant to be reused by adapters that want other array
types: :class:`MappedFile` opens and maps a file, :class:`LazyBundle` takes
the function that turns one entry's packet into a value.
"""

from __future__ import annotations

import builtins
import contextlib
import errno
import hashlib
import importlib
import io
import mmap as _mmap
import os
import queue
import re
import secrets
import socket
import stat
import threading
from collections.abc import Callable, ItemsView, Iterable, Iterator, Mapping, ValuesView
from types import ModuleType, TracebackType
from typing import Any, BinaryIO, Final, Self, Union

from vamra import _layout, _packets, _values, remote
from vamra.quantize import QuantizedTensor
from vamra.ragged import StringTensor

__all__ = ["Checkpoint", "LazyBundle", "MappedFile", "TensorSlice", "load", "open", "save"]

PathLike = Union[str, "os.PathLike[str]"]
FileArg = Union[str, "os.PathLike[str]", BinaryIO]

_COMPANIONS: Final = (StringTensor, QuantizedTensor)
# Options each companion value understands when it sits in a saved dict.
_COMPANION_OPTIONS: Final = {
    StringTensor: frozenset({"check_integrity"}),
    QuantizedTensor: frozenset({"check_integrity", "alignment"}),
}

_DEFAULTS: Final = {"check_integrity": False, "compress": False, "alignment": 64}

_extension: ModuleType | None = None

# The sharded layout (vamra.shards) sits above this module: it registers
# itself here when imported, as vamra's __init__ does, and save, load and open
# hand it what names a sharded checkpoint (a directory or an index file).
_sharded: Any = None


def _to_sharded(file: Any) -> bool:
    return _sharded is not None and bool(_sharded.handles(file))


def _ext() -> ModuleType:
    """The internal extension module ``vamra._native``, imported on first use."""
    global _extension
    if _extension is None:
        _extension = importlib.import_module("vamra._native")
    return _extension


def _check_encodable(obj: Any) -> Any:
    """Refuses values the package cannot encode, before anything is written;
    returns ``obj`` ready for the encoders (torch tensors as arrays)."""
    return _values.prepare(obj)[0]


def _companion_encoder(top: Any, options: dict[str, Any]) -> Callable[[Any], bytes]:
    """Encodes string and quantized values as vamra.dumps does: inside a dict
    with the options they understand; at the top level an option they do not
    support raises TypeError, as dumps does, unless it has its default value."""

    def encode(value: Any) -> bytes:
        allowed = next(a for t, a in _COMPANION_OPTIONS.items() if isinstance(value, t))
        if value is top:
            for name, given in options.items():
                if name not in allowed and given != _DEFAULTS[name]:
                    raise TypeError(f"{type(value).__name__} does not support option {name!r}")
        return _packets.dumps(value, **{k: v for k, v in options.items() if k in allowed})

    return encode


def _stream_options(
    obj: Any, check_integrity: bool, compress: bool, alignment: int
) -> tuple[dict[str, Any], dict[str, Any]]:
    options = {"check_integrity": check_integrity, "compress": compress, "alignment": alignment}
    hooks = {"companion_types": _COMPANIONS, "encode_companion": _companion_encoder(obj, options)}
    return options, hooks


def pieces(obj: Any, **options: Any) -> list[bytes | memoryview]:
    """The packet ``vamra.dumps(obj, **options)`` as a list of buffers.

    Headers, framing, padding and footers are small ``bytes`` objects; array
    bodies are one-byte memoryviews of the arrays themselves (compressed
    bodies are ``bytes``). Their concatenation is exactly the packet.

    Parameters
    ----------
    obj
        Anything :func:`vamra.dumps` accepts.
    **options
        ``check_integrity``, ``compress`` and ``alignment``, as for
        :func:`vamra.dumps`.

    Returns
    -------
    list
        The pieces, in order.

    Examples
    --------
    >>> import numpy as np, vamra
    >>> from vamra.files import pieces
    >>> b"".join(pieces({"w": np.ones(3)})) == vamra.dumps({"w": np.ones(3)})
    True
    """
    obj = _check_encodable(obj)
    base, hooks = _stream_options(
        obj,
        bool(options.pop("check_integrity", False)),
        bool(options.pop("compress", False)),
        options.pop("alignment", 64),
    )
    if options:
        raise TypeError(f"unexpected option {next(iter(options))!r}")
    result: list[bytes | memoryview] = _ext().pieces(obj, **base, **hooks)
    return result


def _plain_fd(file: Any, *, reading: bool = False) -> int | None:
    """The descriptor of a plain binary file object, used directly.

    Only unwrapped OS files qualify: a wrapper (a compressor, an encryptor)
    may expose its inner file's descriptor, and using it would bypass it.
    """
    buffered = (io.BufferedReader if reading else io.BufferedWriter, io.BufferedRandom)
    raw = file.raw if isinstance(file, buffered) else file
    if isinstance(raw, io.FileIO):
        return raw.fileno()
    return None


def _name_of(file: Any) -> str:
    if isinstance(file, (str, bytes, os.PathLike)):
        return os.fsdecode(file)
    name = getattr(file, "name", None)
    return str(name) if isinstance(name, (str, bytes, int)) else repr(file)


def _fsync_directory(directory: str) -> None:
    fd = os.open(directory or ".", os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


_closer: queue.SimpleQueue[int] | None = None
_closer_lock = threading.Lock()
# Descriptors handed to the closing thread and not yet taken by it.
_pending: set[int] = set()
# When that many wait already, the caller closes its own: the thread cannot
# keep up, and every descriptor it holds counts against the process's limit.
_MAX_PENDING: Final = 32


def _forget_closer() -> None:
    # A forked child has no closing thread, and holds its own copies of the
    # descriptors that were waiting for it: it closes those and starts a
    # thread of its own when it next needs one.
    global _closer, _closer_lock
    for fd in _pending:
        try:
            os.close(fd)
        except OSError:
            pass
    _pending.clear()
    _closer = None
    _closer_lock = threading.Lock()


os.register_at_fork(after_in_child=_forget_closer)


def _hold(path: str) -> int | None:
    """A descriptor of the file about to be replaced, if any."""
    try:
        return os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError:
        return None


def _release_later(fd: int | None) -> None:
    """Closes a replaced file's descriptor on a background thread.

    Dropping the last reference to a large replaced file frees its cached
    pages, which costs about as much as writing it. Holding a descriptor
    across the rename moves that cost off the caller's path: the old file is
    released by a daemon thread (or by the OS at exit).
    """
    global _closer
    if fd is None:
        return
    if len(_pending) >= _MAX_PENDING:
        # Read without the lock: a stale count only moves one close either way.
        _close_quietly(fd)
        return
    with _closer_lock:
        if _closer is None:
            _closer = queue.SimpleQueue()
            waiting = _closer

            def close_forever() -> None:
                while True:
                    taken = waiting.get()
                    # Forgotten before it is closed: a child forked in between
                    # may leak its copy, but never closes a reused number.
                    with _closer_lock:
                        _pending.discard(taken)
                    try:
                        os.close(taken)
                    except OSError:
                        pass

            threading.Thread(target=close_forever, name="vamra-release", daemon=True).start()
        _pending.add(fd)
        _closer.put(fd)


def _close_quietly(fd: int) -> None:
    try:
        os.close(fd)
    except OSError:
        pass


# Temporary files are named ".<target>.<pid>.<host>.<random>.vamra-tmp": the
# suffix finds them (find -name '*.vamra-tmp'), and the process and machine
# that wrote them tell a leftover of a killed save from a save in progress.
TEMPORARY_SUFFIX: Final = ".vamra-tmp"
_NAME_MAX: Final = 255
_MAX_PID: Final = 1 << 22  # the largest pid_max Linux allows
_HOST: str | None = None


def _host_tag() -> str:
    """This machine and process-id namespace, as 8 hex digits: a process id
    only names a process where the tag matches (a directory may be shared
    over the network, or between containers)."""
    global _HOST
    if _HOST is None:
        try:
            namespace = os.stat("/proc/self/ns/pid").st_ino
        except OSError:
            namespace = 0
        seed = f"{socket.gethostname()}/{namespace}".encode()
        _HOST = hashlib.blake2s(seed, digest_size=4).hexdigest()
    return _HOST


def _temporary_prefix(base: str) -> str:
    """The start of the names of a target's temporary files. A target name
    near the file-name limit is shortened (and a digest of it added) so that
    its temporary names stay within the limit too."""
    room = _NAME_MAX - len(f"..{_MAX_PID}.{_host_tag()}.{'0' * 12}{TEMPORARY_SUFFIX}")
    encoded = os.fsencode(base)
    if len(encoded) <= room:
        return f".{base}."
    digest = hashlib.blake2s(encoded, digest_size=4).hexdigest()
    kept = encoded[: room - len(digest) - 1]
    # Cut at a character boundary (UTF-8 continuation bytes are 10xxxxxx).
    while kept and kept[-1] & 0xC0 == 0x80:
        kept = kept[:-1]
    if kept and kept[-1] >= 0xC0:
        kept = kept[:-1]
    return f".{os.fsdecode(kept)}~{digest}."


def _create_temporary(directory: str, base: str) -> tuple[int, str]:
    """A new file beside the target, created with the mode a plain open would give."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    prefix = f"{_temporary_prefix(base)}{os.getpid()}.{_host_tag()}."
    for _ in range(100):
        path = os.path.join(directory, f"{prefix}{secrets.token_hex(6)}{TEMPORARY_SUFFIX}")
        try:
            return os.open(path, flags, 0o666), path
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "could not create a unique temporary file", directory)


def _preallocate(fd: int, size: int) -> None:
    """Allocates a new file's blocks before it is written.

    Writing into allocated blocks skips the delayed allocation a file system
    otherwise reserves page by page, which costs more than copying the bytes;
    and ext4, renaming a file over another, finds no delayed blocks to
    allocate and write out on the caller's path. Where the file system cannot
    (or for an empty file) nothing is done. A full disk fails here, before
    anything is written.
    """
    if size > 0:
        _ext().preallocate(fd, size)


def _make_room(path: str) -> None:
    """Drops the cached pages of a file about to be replaced (its contents
    stay as they are, on the device and for any map of it).

    The new file's pages are then taken from memory the old one's free,
    instead of from what the kernel reclaims page by page while the new one
    is written, which on a machine short of free memory costs several times
    the copy (tools that truncate the old file first get this for free). A
    page still dirty is written out first, as the old file is kept whole.
    """
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError:
        return
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    except OSError:
        pass
    finally:
        os.close(fd)


def _writeback_later(*paths: str) -> None:
    """Starts writing files that have just replaced others to the device, on
    a thread of its own.

    ext4 does this for a file renamed over another that still has delayed
    blocks, so that a power cut soon after the rename finds the new data on
    its way rather than an empty file; a preallocated file has none, so it is
    asked for here, off the caller's path.
    """
    fds = []
    for path in paths:
        try:
            fds.append(os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK))
        except OSError:
            pass
    if not fds:
        return

    def start() -> None:
        for fd in fds:
            try:
                _ext().start_writeback(fd)
            except OSError:
                pass
            finally:
                os.close(fd)

    # Not a daemon: the interpreter waits for it at exit rather than ending
    # it inside the call (which a thread in native code does not survive).
    threading.Thread(target=start, name="vamra-writeback").start()


def _replace(temporary: str, target: str, writeback: bool = True) -> None:
    """Renames a complete temporary file over ``target`` atomically; the file
    it replaces is released, and (with ``writeback``) the new one's writeback
    started, off the caller's path."""
    replaced = _hold(target)
    try:
        os.replace(temporary, target)
    finally:
        _release_later(replaced)
    if replaced is not None and writeback:
        _writeback_later(target)


def _plan(obj: Any, metadata: dict[str, str] | None, options: dict[str, Any]) -> _layout.Layout:
    """``obj`` planned for a file: laid out with an index (see
    :mod:`vamra._layout`) unless it is a lone array, sparse matrix, string or
    quantized tensor, which stays the plain packet vamra.dumps writes. Every
    check runs here, before anything is written."""
    if metadata is not None or _layout.needs_layout(obj):
        return _layout.plan(
            obj, encode_companion=_companion_encoder(obj, options), metadata=metadata, **options
        )
    return _layout.plan_plain(obj, encode_companion=_companion_encoder(obj, options), **options)


def _process_start(pid: int) -> float | None:
    """When process ``pid`` started (seconds since the epoch), where /proc
    tells; infinity for a process that has ended but is not reaped yet."""
    try:
        with builtins.open(f"/proc/{pid}/stat", "rb") as handle:
            fields = handle.read().rsplit(b")", 1)[1].split()
        if fields[0] in (b"Z", b"X"):
            return float("inf")
        with builtins.open("/proc/stat", "rb") as handle:
            boot = next(int(line.split()[1]) for line in handle if line.startswith(b"btime "))
        return boot + int(fields[19]) / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError, StopIteration):
        return None


def _writer_gone(pid: int, written: float) -> bool:
    """Whether no running process can still be writing a temporary file that
    process ``pid`` of this machine last wrote at ``written``."""
    if pid == os.getpid():
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:
        pass  # it exists, owned by another user
    started = _process_start(pid)
    # A process that started after the file was last written cannot have
    # written it: its id was reused. (Start times are known to 1/100 s, the
    # boot time to the second.)
    return started is not None and started > written + 2


_swept: set[str] = set()
_swept_lock = threading.Lock()


def _remove_stale_temporaries(directory: str, base: str) -> None:
    """Removes what killed saves of this target left behind: temporary files
    of a process of this machine that is gone. Each target is swept once per
    process, so that saving in a loop does not list its directory each time."""
    target = os.path.join(directory, base)
    with _swept_lock:
        if target in _swept:
            return
        if len(_swept) >= 4096:
            _swept.clear()
        _swept.add(target)
    prefix = _temporary_prefix(base)
    pattern = re.compile(
        re.escape(prefix)
        + r"(\d+)\."
        + re.escape(_host_tag())
        + r"\.[0-9a-f]{12}"
        + re.escape(TEMPORARY_SUFFIX)
    )
    try:
        with os.scandir(directory or ".") as entries:
            found = [(e.path, e.name) for e in entries if e.name.startswith(prefix)]
    except OSError:
        return
    for path, name in found:
        match = pattern.fullmatch(name)
        if match is None or not 0 < int(match.group(1)) <= _MAX_PID:
            continue
        try:
            written = os.lstat(path).st_mtime
            if _writer_gone(int(match.group(1)), written):
                os.unlink(path)
        except OSError:
            continue


# Names of open descriptors: writing to one writes to that descriptor's file.
_DESCRIPTOR_NAME: Final = re.compile(r"/dev/(stdout|stderr)|/dev/fd/\d+|/proc/(self|\d+)/fd/\d+")


def _stream_target(path: str) -> bool:
    """Whether a save to ``path`` writes into what it names instead of
    replacing it: a character device (/dev/null, a terminal), a FIFO, or the
    name of an open descriptor (/dev/stdout). Other kinds are refused."""
    if _DESCRIPTOR_NAME.fullmatch(path):
        return True
    try:
        mode = os.stat(path).st_mode
    except (FileNotFoundError, NotADirectoryError):
        return False
    if stat.S_ISREG(mode):
        return False
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if stat.S_ISCHR(mode) or stat.S_ISFIFO(mode):
        return True
    kind = "a block device" if stat.S_ISBLK(mode) else "a socket" if stat.S_ISSOCK(mode) else None
    raise OSError(
        errno.EINVAL,
        f"is {kind or 'not a regular file'}: vamra writes regular files, character devices "
        "and FIFOs",
        path,
    )


@contextlib.contextmanager
def _replacing(
    path: str, fsync: bool = False, size: int | None = None
) -> Iterator[tuple[int, str]]:
    """Writes a file in place of ``path``: yields a descriptor open for writing
    and the name it is open under, and on success puts it at ``path``. With
    ``size``, the new file's blocks are allocated before it is written.

    A regular file, or a path naming nothing yet, is replaced atomically: the
    writing goes to a temporary file beside it, renamed over the target once
    complete (an error removes it; the old file stays as it was). A character
    device, a FIFO or a descriptor name is written into as a stream.
    """
    if _stream_target(path):
        fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CLOEXEC)
        try:
            yield fd, path
            if fsync:
                with contextlib.suppress(OSError):  # a pipe or a terminal has nothing to flush
                    os.fsync(fd)
        finally:
            os.close(fd)
        return
    # A symbolic link keeps pointing where it did: its target is replaced.
    target = os.path.realpath(path)
    directory, base = os.path.split(target)
    if os.path.isdir(target):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    try:
        mode: int | None = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        mode = None
    _remove_stale_temporaries(directory, base)
    try:
        fd, temporary = _create_temporary(directory, base)
    except FileNotFoundError:
        raise FileNotFoundError(
            errno.ENOENT, f"no such directory: {directory or '.'!r}", path
        ) from None
    try:
        try:
            if mode is not None:
                os.fchmod(fd, mode)
                _make_room(target)
            if size is not None:
                _preallocate(fd, size)
            yield fd, temporary
            if fsync:
                os.fsync(fd)
        finally:
            os.close(fd)
        _replace(temporary, target, writeback=not fsync)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    if fsync:
        _fsync_directory(directory)


def _save_path(layout: _layout.Layout, path: str, fsync: bool) -> None:
    with _replacing(path, fsync, layout.size) as (fd, _):
        layout.write(fd)


def _save_file_object(layout: _layout.Layout, file: Any, fsync: bool) -> None:
    if isinstance(file, io.TextIOBase):
        raise TypeError("vamra.save needs a file opened in binary mode ('wb'), not a text file")
    if not callable(getattr(file, "write", None)):
        raise TypeError(
            "vamra.save writes to a path (str or os.PathLike) or a binary file object "
            f"open for writing, not {type(file).__name__}"
        )
    fd = _plain_fd(file)
    if fd is None:
        # Written a piece at a time: array memory as it is, compressed bodies
        # a block at a time, never the packet whole.
        layout.write(file.write)
        if fsync:
            file.flush()
            fileno = getattr(file, "fileno", None)
            if fileno is not None:
                os.fsync(fileno())
        return
    file.flush()
    seekable = file.seekable()
    start = file.tell() if seekable else 0
    written: int = layout.write(fd)
    if seekable:
        # Resynchronise the file object with the descriptor it does not know moved.
        file.seek(start + written)
    if fsync:
        os.fsync(fd)


def _where(file: Any, storage_options: dict[str, Any] | None) -> Any:
    """``file`` with a ``file://`` URL made a path; storage options are
    refused for anything that is not read through fsspec."""
    if isinstance(file, str):
        local = remote.local_path(file)
        if local is not None:
            file = local
    if storage_options and not remote.is_remote(file):
        raise ValueError("storage_options are for URLs of fsspec filesystems, not for local files")
    return file


def save(
    obj: Any,
    file: FileArg,
    *,
    check_integrity: bool = False,
    compress: bool = False,
    alignment: int = 64,
    fsync: bool = False,
    metadata: dict[str, str] | None = None,
    storage_options: dict[str, Any] | None = None,
    max_shard_size: int | str | None = None,
    workers: int | None = None,
) -> None:
    """Write ``obj`` to a file as one packet.

    The packet is streamed from the arrays' own memory to the file with
    vectored writes; it is never built whole in memory. With ``compress``,
    bodies are compressed one at a time as they are written, so the extra
    memory is bounded by the largest compressed body.

    A path is replaced atomically: the packet goes to a temporary file in the
    same directory, which is renamed over the target once complete. An error,
    a full disk or a killed process never leaves a truncated file at the path;
    the previous file, if any, stays intact, and the temporary file is removed
    on error. The new file keeps the mode of the file it replaces.

    Atomic replacement applies to regular files and to paths that name
    nothing yet. A character device, a FIFO or the name of an open descriptor
    (``/dev/stdout``, ``/dev/fd/N``) is written into as a stream, at its end;
    a block device or a socket is refused.

    A killed save leaves its temporary file behind, named
    ``.NAME.<pid>.<host>.<random>.vamra-tmp``. The first save of a target in
    each process removes the ones of that target whose process, on this
    machine, is gone.

    Parameters
    ----------
    obj
        Anything :func:`vamra.dumps` accepts: an array, a sparse matrix, a
        string or quantized tensor, or a dict of them.
    file
        A path, a URL of any fsspec filesystem (``s3://bucket/model.vmra``;
        see :mod:`vamra.remote`), or a binary file object open for writing
        (the packet is written at its current position; no atomic
        replacement then). At a URL the packet is streamed as an upload (on
        S3 a multipart upload) and the object appears only once complete.
    check_integrity, compress, alignment
        Encoder options, as for :func:`vamra.dumps`.
    fsync
        Also flush the file, and for a path its directory, to the storage
        device before returning. Off by default, as in the file formats
        users compare vamra with: without it a power cut shortly after saving
        may lose the new file (never leaving a truncated one in its place).
    metadata
        str to str, stored with the file (the ``metadata`` of :func:`vamra.open`).
    storage_options
        For a URL: the filesystem's options (credentials, endpoint...), as
        pandas and Dask take them.
    max_shard_size, workers
        Save a dict as a sharded checkpoint into a directory (see
        :mod:`vamra.shards`): shards of at most ``max_shard_size`` (bytes,
        or ``"500MB"``, ``"2GB"``, ``"1GiB"``) written by up to ``workers``
        threads. A directory or a ``*.vmra.index.json`` path is saved sharded
        even without them (shards of at most 2 GB).

    Raises
    ------
    TypeError
        ``obj`` holds a value that cannot be encoded, or ``file`` is a text
        file. Raised before the target is touched.
    ValueError
        ``obj`` cannot be written as a packet (an unsupported dtype, a
        non-contiguous array, a limit of the packet format). Raised before
        the target is touched.
    FileNotFoundError
        The directory of the path does not exist.
    OSError
        Writing failed (a full disk, a file-size limit, a refused or failed
        upload, with the URL in the message); the previous file is intact.
        Or the path names a block device or a socket.
    ImportError
        A URL was given and fsspec (or its filesystem's package) is missing.

    Examples
    --------
    >>> import numpy as np, vamra
    >>> vamra.save({"w": np.ones((3, 4), np.float32)}, "/tmp/w.vmra")
    >>> vamra.load("/tmp/w.vmra")["w"].shape
    (3, 4)
    """
    if not isinstance(file, (str, bytes, os.PathLike)) and isinstance(file, io.TextIOBase):
        raise TypeError("vamra.save needs a file opened in binary mode ('wb'), not a text file")
    options = {"check_integrity": check_integrity, "compress": compress, "alignment": alignment}
    if max_shard_size is not None or workers is not None or _to_sharded(file):
        sharded = _sharded
        if sharded is None:  # only when vamra.files is loaded without vamra
            raise ImportError("sharded checkpoints need vamra.shards: import vamra")
        sharded.save(
            obj, file, max_shard_size=max_shard_size, workers=workers, metadata=metadata,
            fsync=fsync, **options,
        )  # fmt: skip
        return
    layout = _plan(obj, metadata, options)
    file = _where(file, storage_options)
    if isinstance(file, str) and remote.is_remote(file):
        fs, path = remote.resolve(file, storage_options)
        remote.upload(layout, fs, path, file)
    elif isinstance(file, (str, bytes, os.PathLike)):
        _save_path(layout, os.fsdecode(file), fsync)
    else:
        _save_file_object(layout, file, fsync)


def _packet_length(buffer: Any, offset: int, available: int) -> int:
    """The length of the packet at ``buffer[offset:]`` from its framing, at
    most ``available``: a damaged or cut packet takes all there is (decoding
    it then says what is wrong)."""
    length: int | None = _ext().extent(buffer, offset, available)
    return available if length is None or length > available else length


# Reading a packet from a stream grows its buffer by at most this much at a
# time, so a damaged length field cannot make it reserve more than is there.
_READ_STEP: Final = 1 << 24
# What a reader of a seekable stream reads past what the framing asks for
# (and seeks back over at the end): one read per bundle entry or LZ4 block
# would cost more than the bytes.
_LOOKAHEAD: Final = 1 << 20


def _read_into(handle: Any, data: bytearray, wanted: int, ahead: int) -> bool:
    """Appends bytes read from ``handle`` to ``data`` until it holds
    ``wanted`` (asking for up to ``ahead`` more); False when the stream ends
    first."""
    while len(data) < wanted:
        chunk = handle.read(min(max(wanted - len(data), ahead), _READ_STEP))
        if chunk is not None and not isinstance(chunk, (bytes, bytearray)):
            raise TypeError("the file must be opened in binary mode")
        if not chunk:
            return False  # the end, or a non-blocking stream with nothing now
        data += chunk
    return True


def _seekable(handle: Any) -> bool:
    try:
        return bool(handle.seekable())
    except (AttributeError, OSError, ValueError):
        return False


def _read_packet(handle: Any) -> bytearray:
    """Reads one packet from a file object and leaves the position after it:
    its framing says how long it is, read a field at a time (a bundle's
    entries, a compressed body's LZ4 blocks). A stream that cannot seek is
    read no further than that; one that can is read ahead and sought back.
    Stops early at the end of the stream, and where the framing is damaged
    (decoding then says what is wrong): a stream may never end."""
    seekable = _seekable(handle)
    start = handle.tell() if seekable else 0
    data = bytearray()
    while True:
        wanted: int | None = _ext().extent(data, 0, len(data))
        if wanted is None or wanted <= len(data):
            break
        if not _read_into(handle, data, wanted, _LOOKAHEAD if seekable else 0):
            break
    if wanted is not None and wanted < len(data):
        del data[wanted:]
        handle.seek(start + wanted)
    return data


class MappedFile:
    """A file's bytes, memory-mapped (or read into memory).

    ``buffer`` is an :class:`mmap.mmap` (read-only, or copy-on-write when
    ``writable``) or, with ``mmap=False``, a ``bytes``/``bytearray``. Values
    decoded from it may keep it alive after :meth:`close`: a map with views
    into it is unmapped when the last view is gone.
    """

    def __init__(self, file: FileArg, *, writable: bool = False, mmap: bool = True) -> None:
        self.name = _name_of(file)
        self.writable = writable
        self.buffer: Any = None
        if isinstance(file, (str, bytes, os.PathLike)):
            with builtins.open(file, "rb") as handle:
                self.buffer = self._read(handle, writable, mmap, whole=True)
        else:
            if isinstance(file, io.TextIOBase) or not callable(getattr(file, "read", None)):
                kind = "a text file" if isinstance(file, io.TextIOBase) else type(file).__name__
                raise TypeError(
                    "expected a path (str or os.PathLike) or a binary file object open for "
                    f"reading ('rb'), not {kind}"
                )
            self.buffer = self._read(file, writable, mmap, whole=False)

    def _read(self, handle: Any, writable: bool, mmap: bool, whole: bool) -> Any:
        """The file's bytes from the current position: all of them for a path
        (``whole``), else the one packet there, leaving the position after it."""
        fd = _plain_fd(handle, reading=True)
        if fd is not None and mmap and stat.S_ISREG(os.fstat(fd).st_mode):
            start = handle.tell()
            size = os.fstat(fd).st_size
            if size <= start:
                raise ValueError(f"{self.name}: empty file, not a vamra packet")
            access = _mmap.ACCESS_COPY if writable else _mmap.ACCESS_READ
            mapped = _mmap.mmap(fd, 0, access=access)
            end = size if whole else start + _packet_length(mapped, start, size - start)
            if not whole:
                handle.seek(end)
            return mapped if start == 0 and end == size else memoryview(mapped)[start:end]
        # A path's whole file, unless it is a pipe or a device (endless, maybe).
        regular = fd is None or stat.S_ISREG(os.fstat(fd).st_mode)
        data: bytes | bytearray = handle.read() if whole and regular else _read_packet(handle)
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError(f"{self.name}: the file must be opened in binary mode")
        if not data:
            raise ValueError(f"{self.name}: empty file, not a vamra packet")
        return bytearray(data) if writable and isinstance(data, bytes) else data

    @property
    def closed(self) -> bool:
        return self.buffer is None

    def view(self, offset: int = 0, length: int | None = None) -> Any:
        """A buffer of ``length`` bytes at ``offset`` (to the end when None)."""
        if self.buffer is None:
            raise ValueError(f"{self.name}: file is closed")
        end = None if length is None else offset + length
        if offset == 0 and end is None:
            return self.buffer
        return memoryview(self.buffer)[offset:end]

    def close(self) -> None:
        """Drops the map; views still in use keep it mapped until they go."""
        buffer, self.buffer = self.buffer, None
        if isinstance(buffer, _mmap.mmap):
            try:
                buffer.close()
            except BufferError:
                pass  # arrays still view it: unmapped when they are released

    def __enter__(self) -> MappedFile:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _decode(source: MappedFile, buffer: Any, where: str = "") -> Any:
    try:
        value, _, _ = _packets.decode(buffer, writable=source.writable, aligned=True)
    except ValueError as exc:
        raise ValueError(f"{source.name}{where}: {exc}") from exc
    return value


def load(
    file: FileArg,
    *,
    mmap: bool = True,
    writable: bool = False,
    with_metadata: bool = False,
    storage_options: dict[str, Any] | None = None,
) -> Any:
    """Read the value saved in a file.

    Uncompressed arrays are views into a memory map of the file: nothing is
    read until it is touched, and the map stays alive as long as any array
    uses it. Compressed arrays, strings and quantized tensors are decoded
    into memory of their own.

    Parameters
    ----------
    file
        A path, a URL of any fsspec filesystem, or a binary file object
        positioned at the packet. The packet there is read (its framing tells
        its length) and the position left after it, so packets saved one
        after another load one at a time. A URL (or an fsspec file object)
        is read with one streamed request into memory the arrays share, its
        digests checked as the bytes arrive.
    mmap
        Map the file (default). ``False`` reads it into memory instead.
    writable
        Make the arrays writable. The file is mapped copy-on-write (or read
        into private memory), so writes to the arrays never reach the file.
    with_metadata
        Return ``(value, metadata)``.
    storage_options
        For a URL: the filesystem's options, as pandas and Dask take them.

    Returns
    -------
    Any
        The value, as :func:`vamra.loads` returns it.

    Raises
    ------
    FileNotFoundError
        No such file.
    TypeError
        ``file`` is neither a path nor a binary file object open for reading.
    ValueError
        The file is empty, truncated, damaged or not a vamra packet; the
        message names the file and what is wrong.

    Examples
    --------
    >>> import numpy as np, vamra
    >>> vamra.save(np.arange(4), "/tmp/a.vmra")
    >>> vamra.load("/tmp/a.vmra", writable=True)[0] += 1
    """
    if _to_sharded(file):
        return _sharded.load(
            file,
            load_file=lambda shard: load(shard, mmap=mmap, writable=writable),
            with_metadata=with_metadata,
        )
    file = _where(file, storage_options)
    if remote.is_remote(file):
        buffer, checked, name = download(file, storage_options)
        try:
            value, metadata, _ = _packets.decode(
                buffer, writable=writable, aligned=True, verified=checked
            )
        except ValueError as exc:
            raise ValueError(f"{name}: {exc}") from exc
        return (value, metadata) if with_metadata else value
    source = MappedFile(file, writable=writable, mmap=mmap)
    try:
        value, metadata, _ = _packets.decode(source.buffer, writable=writable, aligned=True)
    except ValueError as exc:
        raise ValueError(f"{source.name}: {exc}") from exc
    finally:
        # Views keep the map alive; nothing else needs it.
        source.buffer = None
    return (value, metadata) if with_metadata else value


def download(file: Any, storage_options: dict[str, Any] | None) -> tuple[Any, bool, str]:
    """A remote file read whole (:func:`vamra.remote.download`): the buffer,
    whether its digests were checked, and its name."""
    source = remote.source_of(file, storage_options)
    try:
        buffer, checked = remote.download(source)
    except ValueError as exc:
        raise ValueError(f"{source.name}: {exc}") from exc
    return buffer, checked, source.name


class _Closing:
    """What a reader of files closes with: ``close()``, and ``with`` blocks
    that call it."""

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()


class LazyBundle(_Closing, Mapping[str, Any]):
    """A read-only mapping over a bundle in a file, decoding entries on access.

    Keys are listed from the bundle's framing alone; an entry is decoded when
    it is looked up (nested dicts come back as nested :class:`LazyBundle`
    objects). A damaged entry raises ``ValueError`` naming it when it is
    accessed; the others stay readable.

    Parameters
    ----------
    source
        The mapped file.
    offset, length
        Where the bundle lies in the file (the whole file by default).
    convert
        Turns one entry's packet (a buffer) into a value; :func:`vamra.loads`
        by default.
    """

    def __init__(
        self,
        source: MappedFile,
        offset: int = 0,
        length: int | None = None,
        *,
        convert: Callable[[Any], Any] | None = None,
        path: str = "",
        depth: int = 0,
    ) -> None:
        self._source = source
        self._convert = convert
        self._path = path
        self._depth = depth
        # Entries of a key that appears more than once, but the last: load
        # decodes them too (and fails on them), so they are checked on access.
        self._hidden: dict[str, list[tuple[int, int]]] = {}
        try:
            buffer = source.view()
            size = len(buffer) - offset if length is None else length
            entries = _ext().index(buffer, offset, size)
        except ValueError as exc:
            where = f" (entry {path.rstrip('/')!r})" if path else ""
            raise ValueError(f"{source.name}{where}: {exc}") from exc
        self._entries: dict[str, tuple[int, int, bool]] = {}
        for key, start, size, nested in entries:
            earlier = self._entries.get(key)
            if earlier is not None:
                self._hidden.setdefault(key, []).append(earlier[:2])
            self._entries[key] = (start, size, nested)

    def _check_as_load(self, key: str, start: int, size: int, where: str) -> None:
        """What load checks of an entry that decoding it alone would not: the
        nesting limit counted from the top of the file, and the entries that a
        later one of the same key hides."""
        depth = self._depth + 1
        try:
            for hidden_start, hidden_size in self._hidden.get(key, ()):
                _ext().verify(self._source.view(), hidden_start, hidden_size, depth)
                _packets.loads(self._source.view(hidden_start, hidden_size))
            self._hidden.pop(key, None)
            if depth >= _values.MAX_DEPTH:
                _ext().verify(self._source.view(), start, size, depth)
        except ValueError as exc:
            raise ValueError(f"{self._source.name}{where}: {exc}") from exc

    def __getitem__(self, key: str) -> Any:
        start, size, nested = self._entries[key]
        where = f" (entry {self._path + key!r})"
        self._check_as_load(key, start, size, where)
        if nested:
            return LazyBundle(
                self._source,
                start,
                size,
                convert=self._convert,
                path=f"{self._path}{key}/",
                depth=self._depth + 1,
            )
        view = self._source.view(start, size)
        if self._convert is None:
            return _decode(self._source, view, where)
        try:
            return self._convert(view)
        except ValueError as exc:
            raise ValueError(f"{self._source.name}{where}: {exc}") from exc

    def __iter__(self) -> Iterator[str]:
        return iter(self._entries)

    def __len__(self) -> int:
        return len(self._entries)

    def __contains__(self, key: object) -> bool:
        return key in self._entries

    def location(self, key: str) -> tuple[int, int]:
        """The offset and length of an entry's packet in the file."""
        start, size, _ = self._entries[key]
        return start, size

    @property
    def name(self) -> str:
        return self._source.name

    def close(self) -> None:
        """Closes the file; arrays already returned stay valid."""
        self._source.close()

    def __repr__(self) -> str:
        where = f" at {self._path.rstrip('/')!r}" if self._path else ""
        return f"<vamra.LazyBundle {self._source.name!r}{where}: {len(self)} entries>"


class Checkpoint(_Closing, Mapping[Any, Any]):
    """A read-only mapping over a dict saved in a file, reading entries on access.

    Keys, their order and where each value lies come from the file's index,
    a table at its head: listing keys, looking one up (by binary search) and
    reading the metadata touch nothing else. An entry is read when it is
    looked up: an array is a view into the mapped file, a nested dict a
    nested :class:`Checkpoint`, a list or tuple the whole list or tuple. A
    damaged entry raises ``ValueError`` naming it; the others stay readable.
    With ``check_integrity``, each entry's bytes are checked against their
    digest when it is first read.

    A checkpoint opened at a URL reads its index with the file's head (one
    request, two for a very large index); an entry costs one ranged read,
    and :meth:`load`, ``values()`` and ``items()`` read the entries they
    return in one round of concurrent ranged reads. :meth:`get_slice` reads
    only the rows asked for, from a local file or a remote one.
    """

    def __init__(
        self,
        reader: _layout.Reader,
        node: int,
        source: MappedFile | remote.RangeSource,
        path: tuple[Any, ...] = (),
    ) -> None:
        self._reader = reader
        self._node = node
        self._source = source
        self._path = path

    def _where(self, key: Any = None) -> str:
        path = (*self._path, key) if key is not None else self._path
        return f" (entry {'/'.join(str(k) for k in path)!r})" if path else ""

    def __getitem__(self, key: Any) -> Any:
        index = self._reader.index
        try:
            child = index.find(self._node, key)
            if child is None:
                raise KeyError(key)
            if index.record(child)[1] == _layout.DICT:
                return Checkpoint(self._reader, child, self._source, (*self._path, key))
            try:
                self._reader.prefetch([child])
                return self._reader.value(child)
            finally:
                self._reader.release()
        except ValueError as exc:
            raise ValueError(f"{self._source.name}{self._where(key)}: {exc}") from exc

    def _child(self, key: Any) -> int:
        child = self._reader.index.find(self._node, key)
        if child is None:
            raise KeyError(key)
        return child

    def load(self, keys: Iterable[Any] | None = None) -> dict[Any, Any]:
        """Reads several entries at once (all of them by default), nested
        dicts in full; from a URL, in one round of concurrent ranged reads.

        Parameters
        ----------
        keys
            The keys to read, at this level.

        Returns
        -------
        dict
            Key to value, in the order of ``keys`` (the order saved by default).

        Raises
        ------
        KeyError
            A key is not in the checkpoint.
        ValueError
            An entry is damaged (the message names it).

        Examples
        --------
        >>> import numpy as np, vamra
        >>> vamra.save({"a": np.ones(2), "b": np.zeros(3)}, "/tmp/l.vmra")
        >>> sorted(vamra.open("/tmp/l.vmra").load(["a", "b"]))
        ['a', 'b']
        """
        names = self._keys() if keys is None else list(keys)
        reader = self._reader
        try:
            children = [self._child(key) for key in names]
            reader.prefetch(children)
            out = {}
            for key, child in zip(names, children, strict=True):
                try:
                    out[key] = reader.value(child)
                except ValueError as exc:
                    raise ValueError(f"{self._source.name}{self._where(key)}: {exc}") from exc
            return out
        finally:
            reader.release()

    def items(self) -> ItemsView[Any, Any]:
        """The entries; from a URL, read in one round as iteration starts."""
        return _ReadAhead(self)

    def values(self) -> ValuesView[Any]:
        """The values; from a URL, read in one round as iteration starts."""
        return _ValuesAhead(self)

    def _read_ahead(self) -> None:
        reader = self._reader
        if reader.source is not None:
            reader.prefetch(list(reader.index.children(self._node)), nested=False)

    def get_slice(self, key: Any) -> TensorSlice:
        """A lazy view of an entry that reads only what is indexed.

        ``f.get_slice("w")[a:b]`` reads rows ``a`` to ``b`` of ``w`` (one
        ranged read from a URL); any basic index (ints, slices, ``...``)
        reads the rows its leading indices select. For tensor-parallel
        loading, each rank reads its own share. Rows read this way are not
        checked against the entry's digest (which covers all of it); a
        compressed or chunked entry is read whole first.

        Parameters
        ----------
        key
            The entry's key at this level.

        Returns
        -------
        TensorSlice
            Its ``shape`` and ``dtype``; indexing it reads.

        Raises
        ------
        KeyError
            No such entry.

        Examples
        --------
        >>> import numpy as np, vamra
        >>> vamra.save({"w": np.arange(12.0).reshape(4, 3)}, "/tmp/g.vmra")
        >>> vamra.open("/tmp/g.vmra").get_slice("w")[1:3].tolist()
        [[3.0, 4.0, 5.0], [6.0, 7.0, 8.0]]
        """
        return TensorSlice(self, self._child(key), (*self._path, key))

    def __iter__(self) -> Iterator[Any]:
        return iter(self._keys())

    def _keys(self) -> list[Any]:
        try:
            return self._reader.index.keys(self._node)
        except ValueError as exc:
            raise ValueError(f"{self._source.name}{self._where()}: {exc}") from exc

    def __len__(self) -> int:
        return len(self._reader.index.children(self._node))

    def __contains__(self, key: object) -> bool:
        try:
            return self._reader.index.find(self._node, key) is not None
        except ValueError:
            return False

    def location(self, key: Any) -> tuple[int, int]:
        """The offset and length of the packet that holds an entry's data in
        the file (its first, for a tensor stored in chunks)."""
        index = self._reader.index
        child = index.find(self._node, key)
        if child is None:
            raise KeyError(key)
        _, kind, _, _, _, _, _, first, count, _, _ = index.record(child)
        if kind not in _layout.PACKED or count == 0:
            raise ValueError(f"{self._source.name}{self._where(key)}: holds no packet")
        offset, length, _, _ = index.packet(first)
        return offset, length

    @property
    def metadata(self) -> dict[str, str]:
        """The metadata saved with the file (``save(..., metadata=...)``)."""
        return self._reader.index.metadata()

    @property
    def name(self) -> str:
        return self._source.name

    def close(self) -> None:
        """Closes the file; values already read stay valid."""
        self._source.close()

    def __repr__(self) -> str:
        where = f" at {'/'.join(str(k) for k in self._path)!r}" if self._path else ""
        return f"<vamra.Checkpoint {self._source.name!r}{where}: {len(self)} entries>"


def _read_ahead(checkpoint: Checkpoint, entries: Iterator[Any]) -> Iterator[Any]:
    """``entries`` of ``checkpoint``, its level read in one round first; what
    was read is kept until the iteration ends."""
    reader = checkpoint._reader
    checkpoint._read_ahead()
    reader.held += 1
    try:
        yield from entries
    finally:
        reader.held -= 1
        reader.release()


class _ReadAhead(ItemsView[Any, Any]):
    def __init__(self, checkpoint: Checkpoint) -> None:
        super().__init__(checkpoint)
        self._checkpoint = checkpoint

    def __iter__(self) -> Iterator[tuple[Any, Any]]:
        return _read_ahead(self._checkpoint, super().__iter__())


class _ValuesAhead(ValuesView[Any]):
    def __init__(self, checkpoint: Checkpoint) -> None:
        super().__init__(checkpoint)
        self._checkpoint = checkpoint

    def __iter__(self) -> Iterator[Any]:
        return _read_ahead(self._checkpoint, super().__iter__())


class TensorSlice:
    """An entry of a :class:`Checkpoint` not yet read: indexing it reads only
    the rows the index selects (see :meth:`Checkpoint.get_slice`)."""

    def __init__(self, checkpoint: Checkpoint, node: int, path: tuple[Any, ...]) -> None:
        self._checkpoint = checkpoint
        self._node = node
        self._path = path
        info = _layout.describe(checkpoint._reader.index, node)
        self.shape: tuple[int, ...] = tuple(info.get("shape", ()))
        """The entry's shape."""
        self.dtype: str | None = info.get("dtype")
        """The entry's element type, by name."""

    @property
    def ndim(self) -> int:
        return len(self.shape)

    def __len__(self) -> int:
        if not self.shape:
            raise TypeError("len() of a 0-d entry")
        return self.shape[0]

    def __getitem__(self, key: Any) -> Any:
        checkpoint = self._checkpoint
        try:
            return checkpoint._reader.rows(self._node, key)
        except ValueError as exc:
            where = "/".join(str(k) for k in self._path)
            raise ValueError(f"{checkpoint.name} (entry {where!r}): {exc}") from exc
        finally:
            checkpoint._reader.release()

    def __repr__(self) -> str:
        return f"<vamra.TensorSlice {self.dtype} {self.shape}>"


def open(  # noqa: A001 - mirrors the builtin on purpose
    file: FileArg, *, storage_options: dict[str, Any] | None = None
) -> Any:
    """Open a file holding a saved dict, without decoding it.

    Parameters
    ----------
    file
        A path, a URL of any fsspec filesystem, or a binary file object. A
        URL (or an fsspec file object) is read with ranged reads: opening it
        reads its head and index (one request, two when the index is larger
        than 64 KiB), an entry one more.
    storage_options
        For a URL: the filesystem's options, as pandas and Dask take them.

    Returns
    -------
    vamra.files.Checkpoint or vamra.files.LazyBundle or vamra.shards.ShardedCheckpoint
        A read-only mapping, usable as a context manager (a ``LazyBundle``
        for files written by vamra 0.2; a ``ShardedCheckpoint`` for a
        directory or a ``*.vmra.index.json`` path, which opens each shard
        when one of its keys is read). Listing keys
        reads only the index; looking up an entry reads that entry alone.

    Raises
    ------
    TypeError
        ``file`` is neither a path nor a binary file object open for reading.
    ValueError
        The file does not hold a dict, or it is damaged or truncated. An
        entry that load would refuse (damaged, nested past the limit, or
        hidden by a later entry of the same key and damaged) raises when
        looked up.
    OSError
        A URL cannot be read (no such object, access refused, a network
        failure): the filesystem's error, with the URL in its message.

    Examples
    --------
    >>> import numpy as np, vamra
    >>> vamra.save({"a": np.ones(2), "b": {"c": np.zeros(3)}}, "/tmp/s.vmra")
    >>> with vamra.open("/tmp/s.vmra") as f:
    ...     sorted(f), f["b"]["c"].shape
    (['a', 'b'], (3,))
    """
    if _to_sharded(file):
        return _sharded.open(file)
    return open_bundle(file, storage_options=storage_options)


def open_bundle(
    file: FileArg,
    *,
    writable: bool = False,
    convert: Callable[[Any], Any] | None = None,
    loader: str = "vamra.load",
    bfloat16: Any = None,
    wrap: Callable[[Any], Any] | None = None,
    float8: Callable[[Any, str], Any] | None = None,
    storage_options: dict[str, Any] | None = None,
) -> Checkpoint | LazyBundle:
    """:func:`open` for adapters: maps the file copy-on-write when ``writable``.
    A file with an index gives a :class:`Checkpoint` whose leaves ``wrap``
    turns into the adapter's values (``bfloat16`` and ``float8`` as for
    :class:`vamra._layout.Reader`); an older file, a :class:`LazyBundle`
    whose entries ``convert`` decodes. ``loader`` is named in the error for a
    file that holds no dict."""
    file = _where(file, storage_options)
    if remote.is_remote(file):
        reading = {"writable": writable, "bfloat16": bfloat16, "wrap": wrap, "float8": float8}
        return _open_remote(file, storage_options, convert, loader, reading)
    source = MappedFile(file, writable=writable)
    try:
        buffer = source.view()
        index = _layout.read_index(buffer)
        if index is not None:
            reader = _layout.Reader(
                index,
                buffer,
                name=source.name,
                writable=writable,
                bfloat16=bfloat16,
                wrap=wrap,
                float8=float8,
            )
            reader.verify_edges()
            kind = _layout.describe(index, 0)["kind"]
            if kind != "dict":
                raise ValueError(f"{source.name}: holds a {kind}, not a dict; use {loader}")
            return Checkpoint(reader, 0, source)
        info = _ext().describe(buffer, 0, len(buffer))
        if info["kind"] != "bundle":
            raise ValueError(
                f"{source.name}: holds a {info['kind']} packet, not a dict; use {loader}"
            )
        return LazyBundle(source, convert=convert)
    except ValueError as exc:
        source.close()
        if str(exc).startswith(source.name):
            raise
        raise ValueError(f"{source.name}: {exc}") from exc
    except BaseException:
        source.close()
        raise


def _open_remote(
    file: Any,
    storage_options: dict[str, Any] | None,
    convert: Callable[[Any], Any] | None,
    loader: str,
    reading: dict[str, Any],
) -> Checkpoint | LazyBundle:
    """:func:`open_bundle` of a URL or fsspec file object: the head and index
    read now, entries with ranged reads when looked up."""
    source = remote.source_of(file, storage_options, writable=reading["writable"])
    try:
        index = remote.read_index(source)
        if index is None:
            # A plain packet, or a bundle written by 0.2: read whole.
            buffer, _ = remote.download(source)
            named = remote.NamedBytes(buffer, source.name)
            return open_bundle(named, writable=reading["writable"], convert=convert, loader=loader)
        reader = _layout.Reader(index, None, name=source.name, source=source, **reading)
        reader.verify_head()
        kind = _layout.describe(index, 0)["kind"]
        if kind != "dict":
            raise ValueError(f"holds a {kind}, not a dict; use {loader}")
        return Checkpoint(reader, 0, source)
    except ValueError as exc:
        source.close()
        if str(exc).startswith(source.name):
            raise
        raise ValueError(f"{source.name}: {exc}") from exc
    except BaseException:
        source.close()
        raise

"""Files in object storage: reading and writing vamra files at fsspec URLs.

Every place :func:`vamra.save`, :func:`vamra.load` and :func:`vamra.open`
(and :mod:`vamra.torch`'s readers) accept a path, they accept a URL of any
fsspec filesystem (``s3://``, ``gs://``, ``http(s)://``, ``memory://``,
chained ones such as ``simplecache::s3://``) and an fsspec file object.
``file://`` URLs are local paths. fsspec, and s3fs for S3, come with the
``remote`` extra; nothing here imports them until a URL is used.

Two small interfaces carry the bytes, and the sharded checkpoints use them
as they are:

* :class:`RangeSource` reads byte ranges of one object: one request per
  range asked for alone, one round of concurrent requests (neighbours
  merged) for many, and a single streamed request for the whole object.
  the reader of laid-out files (``vamra._layout.Reader``) reads through it.
* :func:`upload` streams a planned packet to one object (a multipart upload
  on S3, parts sent concurrently while the next is filled), which appears
  only once complete; :func:`upload_all` uploads several concurrently and
  one more (an index) only after all of them have landed.

Reading a laid-out file costs a read of its head, which holds the index (a
second read fetches the rest of an index longer than :data:`HEAD_READ`),
then one ranged read per tensor asked for.
"""

from __future__ import annotations

import importlib
import io
import mmap
import re
import sys
import threading
import urllib.parse
from bisect import bisect_right
from collections import deque
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, Final

from vamra import _layout

if TYPE_CHECKING:
    from concurrent.futures import Future

__all__ = [
    "Payload",
    "RangeSource",
    "download",
    "is_remote",
    "local_path",
    "read_index",
    "resolve",
    "source_of",
    "upload",
    "upload_all",
]

HEAD_READ: Final = 64 << 10
"""The size of the first read of an object, its head, which holds the index of most files."""
MERGE_GAP: Final = 4 << 10
"""Ranges read together whose gap is at most this many bytes are read as one."""
MERGE_SMALL: Final = 1 << 20
"""Only ranges smaller than this are merged with their neighbours: a larger one
is read on its own, where a request of its own costs little beside its
transfer, and the framing between tensors is not read."""
MERGE_LIMIT: Final = 64 << 20
"""A merged range grows no larger than this, so that a round stays concurrent."""
STREAM_PIECE: Final = 8 << 20
"""What the streamed read of a whole object asks the filesystem for at a time."""
PART_SIZE: Final = 8 << 20
"""The size of upload parts, at least S3's minimum of 5 MiB (larger for files of over 80 GiB)."""
PARTS_IN_FLIGHT: Final = 2
"""Parts sent at once while the next one is filled. The client holds about two
more copies of each part it sends, so an upload takes about (3 * this + 1)
parts of memory: 56 MiB with 8 MiB parts."""
_MAX_PARTS: Final = 10_000
_ALIGN: Final = 16

_URL: Final = re.compile(r"^[A-Za-z][A-Za-z0-9+.\-]*(?:://|::)")
_EXTRA: Final = "install it with: pip install 'vamra[remote]'"


def is_remote(file: Any) -> bool:
    """Whether ``file`` is read and written through fsspec.

    Parameters
    ----------
    file
        What a caller gave as a file.

    Returns
    -------
    bool
        True for a URL other than a ``file://`` URL (a protocol followed by
        ``://``, or a chain with ``::``), an fsspec file object and an
        ``fsspec.core.OpenFile``; never imports fsspec.

    Examples
    --------
    >>> from vamra.remote import is_remote
    >>> is_remote("s3://bucket/model.vmra"), is_remote("file:///tmp/m.vmra")
    (True, False)
    """
    if isinstance(file, str):
        return bool(_URL.match(file)) and local_path(file) is None
    fsspec = sys.modules.get("fsspec")
    if fsspec is None or isinstance(file, (bytes, bytearray, memoryview)):
        return False
    return isinstance(getattr(file, "fs", None), fsspec.AbstractFileSystem) and isinstance(
        getattr(file, "path", None), str
    )


def local_path(url: str) -> str | None:
    """The local path of a ``file://`` URL.

    Parameters
    ----------
    url
        Any URL.

    Returns
    -------
    str or None
        The path, or None for any other URL (one with a host too).

    Examples
    --------
    >>> from vamra.remote import local_path
    >>> local_path("file:///tmp/a%20b.vmra")
    '/tmp/a b.vmra'
    """
    if not url.startswith(("file://", "local://")) or "::" in url:
        return None
    parsed = urllib.parse.urlparse(url)
    if parsed.netloc not in ("", "localhost"):
        return None
    return urllib.parse.unquote(parsed.path)


def _fsspec() -> Any:
    try:
        fsspec = importlib.import_module("fsspec")
    except ImportError as exc:
        raise ImportError(
            f"reading or writing a URL needs fsspec; {_EXTRA}", name="fsspec"
        ) from exc
    return fsspec


def resolve(url: str, storage_options: dict[str, Any] | None = None) -> tuple[Any, str]:
    """The fsspec filesystem and the path within it of ``url``.

    Parameters
    ----------
    url
        A URL of any fsspec filesystem, chained ones included.
    storage_options
        The filesystem's own options (credentials, an endpoint, anonymous
        access), as pandas and Dask take them.

    Returns
    -------
    tuple
        ``(filesystem, path)``.

    Raises
    ------
    ImportError
        fsspec, or the filesystem's package, is not installed; the message
        names the ``remote`` extra.

    Examples
    --------
    >>> from vamra.remote import resolve
    >>> fs, path = resolve("memory://models/m.vmra")
    >>> path
    '/models/m.vmra'
    """
    fsspec = _fsspec()
    try:
        fs, path = fsspec.core.url_to_fs(url, **(storage_options or {}))
    except ImportError as exc:
        raise ImportError(
            f"{url}: {exc} ({_EXTRA}; other filesystems need their own package)",
            name=getattr(exc, "name", None),
        ) from exc
    return fs, path


def _with_url(error: BaseException, url: str) -> BaseException:
    """The filesystem's error, of its own type where it can be made again,
    with ``url`` in its message."""
    if url in str(error):
        return error
    message = f"{url}: {error}" if str(error) else f"{url}: {type(error).__name__}"
    try:
        made = type(error)(message)
        if url in str(made):
            return made
    except Exception:
        pass
    if isinstance(error, ConnectionError) or "connect" in type(error).__name__.lower():
        return ConnectionError(f"{message} ({type(error).__name__})")
    return OSError(f"{message} ({type(error).__name__})")


def _raise_with_url(error: BaseException, url: str) -> Any:
    made = _with_url(error, url)
    if made is error:
        raise error
    raise made from error


class RangeSource:
    """Byte ranges of one object on an fsspec filesystem.

    Ranges read are kept as segments until :meth:`release`, so that a range
    inside one already read costs nothing; the head read when a file is
    opened stays for the file's life. ``base`` is where the packet starts in
    the object (a file object's position).

    Parameters
    ----------
    fs, path
        The filesystem and the object's path in it.
    name
        How errors name the object (its URL).
    base
        The packet's offset in the object.
    writable
        Segments are handed out as writable memory of their own (a copy of
        what was read).
    """

    def __init__(
        self, fs: Any, path: str, name: str, *, base: int = 0, writable: bool = False
    ) -> None:
        self.fs = fs
        self.path = path
        self.name = name
        self.base = base
        self.writable = writable
        self._starts: list[int] = []
        self._segments: list[tuple[int, int, Any]] = []
        self._kept = 0  # segments kept by release(): the head
        # Segments are shared by the threads reading one checkpoint; reads
        # themselves go on outside the lock.
        self._lock = threading.Lock()
        self.closed = False

    # -- reading

    def _fetch(self, ranges: Sequence[tuple[int, int]]) -> list[bytes]:
        """One round of requests, one per range, concurrent where the
        filesystem can; short reads (past the object's end) raise ValueError."""
        base = self.base
        try:
            if len(ranges) == 1:
                start, end = ranges[0]
                results: list[Any] = [
                    self.fs.cat_file(self.path, start=base + start, end=base + end)
                ]
            else:
                results = self.fs.cat_ranges(
                    [self.path] * len(ranges),
                    [base + start for start, _ in ranges],
                    [base + end for _, end in ranges],
                    on_error="return",
                )
        except (ValueError, TypeError):
            raise
        except Exception as error:
            results = [error]
        out = []
        for (start, end), data in zip(ranges, results, strict=False):
            if isinstance(data, BaseException):
                self._failed(data, end)
            if len(data) > end - start:  # a server that ignores Range sends it all
                data = data[base + start : base + end]
            if len(data) < end - start:
                raise _truncated(start + len(data), end)
            out.append(bytes(data))
        if len(results) < len(ranges):
            raise _truncated(0, ranges[-1][1])
        return out

    def _failed(self, error: BaseException, end: int) -> None:
        # A range past the end is refused by most servers: that is a
        # truncated file when the object is shorter than the index says.
        if not isinstance(error, (FileNotFoundError, PermissionError)):
            try:
                size = int(self.fs.size(self.path))
            except Exception:
                size = None
            if size is not None and size - self.base < end:
                raise _truncated(max(size - self.base, 0), end) from None
        _raise_with_url(error, self.name)

    def read_head(self, size: int = HEAD_READ) -> bytes:
        """The first bytes of the packet (fewer when the object is shorter):
        one request; kept for the life of the source."""
        try:
            data = self.fs.cat_file(self.path, start=self.base, end=self.base + size)
        except Exception as error:
            _raise_with_url(error, self.name)
        data = bytes(data[:size])
        self._add(0, data)
        self._kept = len(self._segments)
        return data

    def _add(self, start: int, data: bytes) -> Any:
        # Writable arrays get memory of their own: the bytes a filesystem
        # returns may be shared (a cache's, a one-byte singleton's).
        buffer: Any = bytearray(data) if self.writable else data
        with self._lock:
            at = bisect_right(self._starts, start)
            self._starts.insert(at, start)
            self._segments.insert(at, (start, start + len(data), buffer))
            if at < self._kept:
                self._kept += 1
        return buffer

    def _covering(self, start: int, end: int) -> tuple[Any, int] | None:
        with self._lock:
            return self._find(start, end)

    def _find(self, start: int, end: int) -> tuple[Any, int] | None:
        at = bisect_right(self._starts, start) - 1
        while at >= 0:
            first, last, buffer = self._segments[at]
            if first <= start and end <= last:
                return buffer, start - first
            if last < start - MERGE_LIMIT:
                return None
            at -= 1
        return None

    def locate(self, start: int, end: int) -> tuple[Any, int]:
        """A buffer holding bytes ``start`` to ``end`` of the packet, and where
        in it they start: from a segment already read, else one request."""
        if self.closed:
            raise ValueError(f"{self.name}: file is closed")
        found = self._covering(start, end)
        if found is not None:
            return found
        first = start - start % _ALIGN  # arrays at the start stay aligned
        (data,) = self._fetch([(first, end)])
        return self._add(first, data), start - first

    def prefetch(self, ranges: Sequence[tuple[int, int]]) -> int:
        """Reads every range not yet held, in one round of concurrent requests,
        neighbours merged; returns the number of requests made."""
        if self.closed:
            raise ValueError(f"{self.name}: file is closed")
        wanted = sorted(r for r in ranges if r[1] > r[0] and self._covering(*r) is None)
        merged: list[list[int]] = []
        small = False  # whether the range before was small enough to merge
        for start, end in wanted:
            start -= start % _ALIGN
            if merged and start - merged[-1][1] <= MERGE_GAP:
                last = merged[-1]
                if end <= last[1] or (
                    small and end - start < MERGE_SMALL and end - last[0] <= MERGE_LIMIT
                ):
                    last[1] = max(last[1], end)
                    continue
            merged.append([start, end])
            small = end - start < MERGE_SMALL
        if not merged:
            return 0
        spans = [(start, end) for start, end in merged]
        for (start, _), data in zip(spans, self._fetch(spans), strict=True):
            self._add(start, data)
        return len(spans)

    def release(self) -> None:
        """Forgets the segments read since the head (values made from them
        keep what they use alive)."""
        with self._lock:
            self._segments = self._segments[: self._kept]
            self._starts = [segment[0] for segment in self._segments]

    def close(self) -> None:
        with self._lock:
            self.closed = True
            self._segments = []
            self._starts = []
            self._kept = 0

    # -- streaming

    def stream(self, consume: Callable[[bytes, int | None], bool]) -> None:
        """Reads the object once from the packet's start with one request,
        handing ``consume`` its bytes piece by piece, with the packet's size
        when the response told it, until it returns False or the object ends."""
        fs = self.fs
        asyn = importlib.import_module("fsspec.asyn")
        # The type itself: a wrapper (a cache) passes attributes through to
        # the filesystem it wraps, and streaming from that would bypass it.
        if issubclass(type(fs), asyn.AsyncFileSystem) and self.base == 0:
            try:
                self._stream_async(consume)
                return
            except NotImplementedError:
                pass
        try:
            with fs.open(self.path, "rb", block_size=STREAM_PIECE) as handle:
                if self.base:
                    handle.seek(self.base)
                while True:
                    piece = handle.read(STREAM_PIECE)
                    if not piece or not consume(piece, _size_of(handle, self.base)):
                        return
        except (ValueError, TypeError):
            raise
        except Exception as error:
            _raise_with_url(error, self.name)

    def _stream_async(self, consume: Callable[[bytes, int | None], bool]) -> None:
        fs = self.fs
        options: dict[str, Any] = {}
        if "http" in _protocols(fs):
            options["size"] = -1  # no HEAD request first: the size is not needed

        async def run() -> None:
            handle = await fs.open_async(self.path, "rb", **options)
            try:
                while True:
                    piece = await handle.read(STREAM_PIECE)
                    if not piece or not consume(piece, _size_of(handle, 0)):
                        return
            finally:
                closing = getattr(handle, "close", None)
                if closing is not None:
                    result = closing()
                    if hasattr(result, "__await__"):
                        await result

        try:
            _sync(fs, run())
        except NotImplementedError:
            raise
        except (ValueError, TypeError):
            raise
        except Exception as error:
            _raise_with_url(error, self.name)

    def size(self) -> int:
        """The packet's size, asked of the filesystem (one request)."""
        try:
            return int(self.fs.size(self.path)) - self.base
        except Exception as error:
            _raise_with_url(error, self.name)
            raise

    def __repr__(self) -> str:
        return f"<vamra.remote.RangeSource {self.name!r}>"


def _protocols(fs: Any) -> tuple[str, ...]:
    protocol = getattr(fs, "protocol", ())
    return (protocol,) if isinstance(protocol, str) else tuple(protocol)


def _sync(fs: Any, coroutine: Any) -> Any:
    return importlib.import_module("fsspec.asyn").sync(fs.loop, lambda: coroutine)


def _size_of(handle: Any, base: int) -> int | None:
    """The packet's size as a stream's response gave it, if it did."""
    size = getattr(handle, "size", None)
    if not isinstance(size, int) or size < 0:
        size = getattr(getattr(handle, "r", None), "content_length", None)
    return size - base if isinstance(size, int) and size >= base else None


def _truncated(have: int, want: int) -> ValueError:
    return ValueError(
        f"Packet too short: the object ends at byte {have} where the index says data "
        f"lies up to byte {want} (a truncated file?)"
    )


def read_index(source: RangeSource) -> _layout.Index | None:
    """The index of the laid-out packet ``source`` reads, from its head.

    One request reads the first :data:`HEAD_READ` bytes, which hold the
    index of most files; when the index runs past them (its length is in the
    head), a second request reads the rest.

    Parameters
    ----------
    source
        The object's source; it keeps the head for later reads.

    Returns
    -------
    object
        The index (a ``vamra._layout.Index``), or None when the object holds
        another kind of packet.

    Raises
    ------
    ValueError
        The head or index is damaged, or the object is too short for it.
    OSError
        The object cannot be read (the filesystem's error, with the URL).

    Examples
    --------
    >>> import numpy as np, vamra
    >>> from vamra.remote import read_index, source_of
    >>> vamra.save({"w": np.ones(3)}, "memory://doc/r.vmra")
    >>> read_index(source_of("memory://doc/r.vmra")).count
    2
    """
    head = source.read_head()
    found = _layout.index_range(bytes(head[: _layout.HEAD_SIZE]))
    if found is None:
        return None
    start, length = found
    end = start + length
    if end <= len(head):
        return _layout.Index(memoryview(head)[start:end], start)
    if len(head) < HEAD_READ:
        raise ValueError("Packet too short: the index runs past the end of the data")
    (rest,) = source._fetch([(len(head), end)])
    return _layout.Index(memoryview(head[start:] + rest), start)


def source_of(
    file: Any, storage_options: dict[str, Any] | None = None, *, writable: bool = False
) -> RangeSource:
    """A :class:`RangeSource` over a URL, an fsspec file object or an
    ``fsspec.core.OpenFile``.

    Parameters
    ----------
    file
        The URL or file; a file object is read from its position.
    storage_options
        For a URL, the filesystem's options.
    writable
        Hand out what is read as writable memory.

    Returns
    -------
    RangeSource
        Nothing is read yet.

    Raises
    ------
    ValueError
        ``storage_options`` given with a file object.

    Examples
    --------
    >>> from vamra.remote import source_of
    >>> source_of("memory://doc/r.vmra").name
    'memory://doc/r.vmra'
    """
    if isinstance(file, str):
        fs, path = resolve(file, storage_options)
        return RangeSource(fs, path, file, writable=writable)
    if storage_options:
        raise ValueError("storage_options are for URLs; a file object has its filesystem")
    base = 0
    tell = getattr(file, "tell", None)
    if callable(tell) and not getattr(file, "closed", False):
        base = int(tell())
    fs = file.fs
    path = file.path
    name = fs.unstrip_protocol(path) if hasattr(fs, "unstrip_protocol") else path
    return RangeSource(fs, path, name, base=base, writable=writable)


# ---------------------------------------------------------------------------
# Reading a whole object


class _Filler:
    """Takes a streamed object into one buffer of the packet's size, checking
    each digested region as soon as its last byte has arrived."""

    def __init__(self) -> None:
        self.head = bytearray()
        self.buffer: Any = None
        self.size = 0
        self.filled = 0
        self.index: _layout.Index | None = None
        self.checks: deque[tuple[int, int, int, str]] = deque()

    def consume(self, piece: bytes, size: int | None) -> bool:
        if self.buffer is None:
            self.head += piece
            if not self._start(size):
                return True
            piece = b""
        take = min(len(piece), self.size - self.filled)
        if take:
            self.buffer[self.filled : self.filled + take] = piece[:take]
            self.filled += take
        self._verify()
        return self.filled < self.size

    def _start(self, size: int | None) -> bool:
        """Sizes the buffer once the head tells how (False: more head needed)."""
        head = self.head
        if len(head) < _layout.HEAD_SIZE:
            return False
        found = _layout.index_range(bytes(head[: _layout.HEAD_SIZE]))
        if found is not None:
            start, length = found
            if len(head) < start + length:
                return False
            self.index = _layout.Index(memoryview(bytes(head[: start + length]))[start:], start)
            self.size = self.index.size
            self._plan_checks(self.index)
        elif size is None:
            return False  # read whole into the head: its size is learnt at the end
        else:
            self.size = size
        if self.size <= 0:
            raise ValueError("empty file, not a vamra packet")
        self.buffer = mmap.mmap(-1, self.size)
        if self.size >= 4 << 20 and hasattr(mmap, "MADV_HUGEPAGE"):
            # Fewer page faults as a large buffer is first written.
            self.buffer.madvise(mmap.MADV_HUGEPAGE)
        take = min(len(head), self.size)
        self.buffer[:take] = head[:take]
        self.filled = take
        self.head = bytearray()
        return True

    def _plan_checks(self, index: _layout.Index) -> None:
        if not index.digests:
            return
        checks = [(0, index.body_start, index.head_digest, "the packet's head or its index entry")]
        for p in range(len(index.packets)):
            start, end = index.region(p)
            checks.append((start, end, index.packet(p)[3], "the bytes of an entry"))
        start, end = index.tail()
        checks.append((start, end, index.tail_digest, "the bytes after the last entry"))
        self.checks = deque(sorted(checks))

    def _verify(self) -> None:
        checks = self.checks
        if not checks:
            return
        xxh3 = _layout._native().xxh3_64
        view = memoryview(self.buffer)
        try:
            while checks and checks[0][1] <= self.filled:
                start, end, digest, what = checks.popleft()
                if xxh3(view[start:end]) != digest:
                    raise ValueError(f"{_layout._MISMATCH}: {what}")
        finally:
            view.release()

    def finish(self) -> None:
        if self.buffer is None:
            if not self.head:
                raise ValueError("empty file, not a vamra packet")
            # A plain packet of a size the response did not tell, or one
            # shorter than a head.
            self.size = len(self.head)
            found = _layout.index_range(bytes(self.head[: _layout.HEAD_SIZE]))
            if found is not None:
                raise ValueError("Packet too short: the index runs past the end of the data")
            self.buffer = mmap.mmap(-1, self.size)
            self.buffer[:] = bytes(self.head)
            self.filled = self.size
        if self.filled < self.size:
            raise ValueError(
                f"Packet too short: {self.filled} bytes where the index says {self.size} "
                "(a truncated file?)"
            )
        self._verify()


def download(source: RangeSource) -> tuple[Any, bool]:
    """The whole packet of an object, read with one streamed request.

    The bytes go into one buffer of the packet's size (a private anonymous
    map: writable, page-aligned), sized from the index as soon as the head
    has arrived; the extra memory beyond it is a piece of the stream (a
    plain packet whose size the response does not tell is gathered whole
    first). With ``check_integrity``, each region's digest is checked as
    soon as its last byte has arrived.

    Parameters
    ----------
    source
        The object's source.

    Returns
    -------
    tuple
        ``(buffer, checked)``: the packet, and whether every digest was checked.

    Raises
    ------
    ValueError
        The object is empty, truncated or damaged.
    OSError
        The object cannot be read (the filesystem's error, with the URL).

    Examples
    --------
    >>> import numpy as np, vamra
    >>> from vamra.remote import download, source_of
    >>> vamra.save({"w": np.ones(3)}, "memory://doc/d.vmra", check_integrity=True)
    >>> buffer, checked = download(source_of("memory://doc/d.vmra"))
    >>> checked, vamra.loads(buffer)["w"].tolist()
    (True, [1.0, 1.0, 1.0])
    """
    filler = _Filler()
    source.stream(filler.consume)
    filler.finish()
    return filler.buffer, bool(filler.index is not None and filler.index.digests)


# ---------------------------------------------------------------------------
# Writing


def _part_size(size: int) -> int:
    per = -(-size // _MAX_PARTS)
    return max(PART_SIZE, -(-per // (1 << 20)) << 20)


def upload(layout: Any, fs: Any, path: str, name: str) -> None:
    """Streams a planned packet to an object.

    The object appears only once the upload completes; on any failure (an
    interrupt too) the upload is abandoned, so the previous object, if any,
    stays. On S3 the packet goes as a multipart upload whose parts are sent
    concurrently while the next is filled, and is aborted on failure (a
    killed process leaves an unfinished upload, invisible, which a bucket's
    lifecycle rule removes); a packet smaller than a part goes in one
    request. Other filesystems get a file opened without autocommit,
    committed once written (discarded on failure).

    Parameters
    ----------
    layout
        The packet, planned (``vamra._layout.Layout``): it is written piece
        by piece from the arrays, never whole.
    fs, path
        The filesystem and the object's path in it.
    name
        How errors name the object (its URL).

    Raises
    ------
    OSError
        The upload failed (the filesystem's error, with the URL).

    Examples
    --------
    >>> import numpy as np
    >>> from vamra import _layout, remote
    >>> plan = _layout.plan({"w": np.ones(3)}, encode_companion=bytes)
    >>> remote.upload(plan, *remote.resolve("memory://doc/u.vmra"), "memory://doc/u.vmra")
    """
    try:
        if "s3" in _protocols(fs) and hasattr(fs, "_call_s3"):
            _S3Upload(fs, path, layout.size).run(layout)
        elif "memory" in _protocols(fs):
            _memory_upload(fs, path, layout)
        else:
            _file_upload(fs, path, layout)
    except (ValueError, TypeError):
        raise
    except Exception as error:
        _raise_with_url(error, name)


def upload_all(
    jobs: Sequence[tuple[Any, Any, str, str]],
    last: tuple[Any, Any, str, str] | None = None,
    workers: int = 4,
) -> None:
    """Uploads several planned packets concurrently, then one more last.

    Sharded checkpoints upload their shards this way, and the index that
    names them (a :class:`Payload`) only once every shard has landed.

    Parameters
    ----------
    jobs
        ``(layout, fs, path, name)`` for each packet, as :func:`upload` takes them.
    last
        The packet written once all of ``jobs`` have landed, if any.
    workers
        Uploads under way at once.

    Raises
    ------
    OSError
        The first upload that failed, once the others have finished or been
        abandoned; ``last`` is then not written.

    Examples
    --------
    >>> import numpy as np
    >>> from vamra import _layout, remote
    >>> fs, _ = remote.resolve("memory://doc")
    >>> jobs = [(_layout.plan({"w": np.ones(3)}, encode_companion=bytes), fs,
    ...          f"/doc/s{i}.vmra", f"memory://doc/s{i}.vmra") for i in range(2)]
    >>> remote.upload_all(jobs)
    """
    if jobs:
        from concurrent.futures import ThreadPoolExecutor

        with ThreadPoolExecutor(max_workers=max(1, min(workers, len(jobs)))) as pool:
            futures = [pool.submit(upload, *job) for job in jobs]
            for future in futures:
                future.exception()
            for future in futures:
                future.result()
    if last is not None:
        upload(*last)


class _S3Upload:
    """A multipart upload of a packet whose size is known before it starts."""

    def __init__(self, fs: Any, path: str, size: int) -> None:
        self.fs = fs
        self.bucket, self.key, _ = fs.split_path(path)
        self.path = path
        self.size = size
        self.part = _part_size(size)

    def call(self, method: str, **kwargs: Any) -> Future[Any]:
        import asyncio

        return asyncio.run_coroutine_threadsafe(
            self.fs._call_s3(method, Bucket=self.bucket, Key=self.key, **kwargs), self.fs.loop
        )

    def run(self, layout: Any) -> None:
        if self.size < self.part:
            body = layout.write(None)
            self.call("put_object", Body=body).result()
            self.fs.invalidate_cache(self.path)
            return
        self.upload_id = self.call("create_multipart_upload").result()["UploadId"]
        self.pending: deque[tuple[int, Future[Any]]] = deque()
        self.done: list[dict[str, Any]] = []
        self.buffer = bytearray(self.part)
        self.filled = 0
        self.number = 0
        try:
            layout.write(self.write, self.part)
            if self.filled:
                self.send()
            while self.pending:
                self.settle()
            self.done.sort(key=lambda p: int(p["PartNumber"]))
            self.call(
                "complete_multipart_upload",
                UploadId=self.upload_id,
                MultipartUpload={"Parts": self.done},
            ).result()
        except BaseException:
            self.abort()
            raise
        finally:
            self.fs.invalidate_cache(self.path)

    def write(self, piece: Any) -> None:
        data = memoryview(piece).cast("B")
        while len(data):
            take = min(len(data), self.part - self.filled)
            self.buffer[self.filled : self.filled + take] = data[:take]
            self.filled += take
            data = data[take:]
            if self.filled == self.part:
                self.send()

    def send(self) -> None:
        """Sends the part filled, once fewer than PARTS_IN_FLIGHT are under way."""
        while len(self.pending) >= PARTS_IN_FLIGHT:
            self.settle()
        self.number += 1
        # A bytes copy: the client sends bytes as they are, where it would
        # copy a bytearray again, and the buffer is filled anew meanwhile.
        body = bytes(memoryview(self.buffer)[: self.filled])
        future = self.call(
            "upload_part", UploadId=self.upload_id, PartNumber=self.number, Body=body
        )
        self.pending.append((self.number, future))
        self.filled = 0

    def settle(self) -> None:
        number, future = self.pending.popleft()
        self.done.append({"PartNumber": number, "ETag": future.result()["ETag"]})

    def abort(self) -> None:
        """Abandons the parts under way and the upload; the object never appears."""
        for _, future in self.pending:
            future.cancel()
        for _, future in self.pending:
            try:
                future.result(timeout=60)
            except BaseException:
                pass
        try:
            self.call("abort_multipart_upload", UploadId=self.upload_id).result(timeout=60)
        except Exception:
            pass  # the error that stopped the upload is the one to report


def _memory_upload(fs: Any, path: str, layout: Any) -> None:
    # Its files appear when opened: this one is filled first, then stored.
    memory = importlib.import_module("fsspec.implementations.memory")
    handle = memory.MemoryFile(fs, fs._strip_protocol(path))
    layout.write(handle.write)
    handle.seek(0)
    handle.commit()


def _file_upload(fs: Any, path: str, layout: Any) -> None:
    handle = fs.open(path, "wb", autocommit=False)
    try:
        layout.write(handle.write)
        handle.close()
        if not getattr(handle, "autocommit", True):
            handle.commit()
    except BaseException:
        discard = getattr(handle, "discard", None)
        if discard is not None:
            try:
                discard()
            except Exception:
                pass
        try:
            handle.closed = True  # a later close() must not send the rest
        except AttributeError:
            pass
        raise


class Payload:
    """Bytes made ready for :func:`upload` as a planned packet is (a sharded
    checkpoint's JSON index, say): its ``size``, and ``write`` as a plan
    writes, to a callable in pieces of at most ``chunk`` bytes or, given
    None, as bytes.

    Parameters
    ----------
    data
        The bytes.

    Examples
    --------
    >>> from vamra import remote
    >>> fs, path = remote.resolve("memory://doc/index.json")
    >>> remote.upload(remote.Payload(b"{}"), fs, path, "memory://doc/index.json")
    >>> fs.cat(path)
    b'{}'
    """

    def __init__(self, data: bytes) -> None:
        self.data = bytes(data)
        self.size = len(self.data)

    def write(self, destination: Any, chunk: int = 8 << 20) -> Any:
        if destination is None:
            return self.data
        view = memoryview(self.data)
        for at in range(0, self.size, chunk):
            destination(view[at : at + chunk])
        return self.size


class NamedBytes(io.BytesIO):
    """A packet read whole, with the name errors give it (for readers of
    files written before the index, which take a file)."""

    def __init__(self, data: Any, name: str) -> None:
        super().__init__(data)
        self.name = name

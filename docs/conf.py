"""Sphinx configuration for vamra's user guide and API reference (make docs)."""

from __future__ import annotations

import vamra

project = "vamra"
author = "the vamra developers"
copyright = "the vamra developers"
release = vamra.__version__
version = ".".join(release.split(".")[:2])

extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon", "myst_parser"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]

# Every reference must resolve; the build runs with -W, so a broken one fails it.
nitpicky = True
# No inventories are fetched (the build needs no network), so references to
# other projects' objects cannot resolve: they are left as plain text.
nitpick_ignore_regex = [
    (r"py:.*", r"(numpy|np|npt|torch|scipy|dask|distributed|mmap|os|io|types|collections)\..*"),
    (r"py:.*", r"(jax|jnp|flax)\..*"),
    (r"py:.*", r"(typing|typing_extensions|_typeshed)\..*"),
    (r"py:class", r"(int|float|bool|str|bytes|bytearray|memoryview|object|type|dict|list|tuple)"),
    (r"py:class", r"(None|Any|BinaryIO|TextIO|Iterator|Iterable|Mapping|Sequence|Callable)"),
    (r"py:class", r"(PathLike|FileArg|ReadableBuffer|WriteableBuffer|TracebackType|Exception)"),
    (r"py:class", r"(BaseException|WorkerPlugin|optional|array-like|ArrayLike|NDArray)"),
    (r"py:exc", r"(TypeError|ValueError|ImportError|OSError|TimeoutError|BufferError).*"),
    (r"py:exc", r"(FileNotFoundError|FileExistsError|IsADirectoryError|RuntimeError)"),
    (r"py:exc", r"(NotImplementedError|KeyError|OverflowError|MemoryError|IndexError)"),
    # The package's internal modules, which the reference does not document:
    # their types appear only in constructors users never call.
    (r"py:class", r"(vamra\.)?_(layout|segment)\..*"),
]

autodoc_default_options: dict[str, object] = {}
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_typehints_format = "short"
napoleon_google_docstring = True
napoleon_numpy_docstring = True
napoleon_use_rtype = False

myst_enable_extensions = ["colon_fence"]
# Headings get anchors, so pages link to each other's sections (format.md#footers).
myst_heading_anchors = 3

html_theme = "alabaster"
html_title = f"vamra {release}"
html_static_path: list[str] = []

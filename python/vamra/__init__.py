"""Tensor serialisation into self-describing binary packets.

:func:`dumps` turns a NumPy array, a SciPy sparse matrix, a :class:`StringTensor`,
a :class:`QuantizedTensor`, or a ``dict`` of such values into one packet
(``bytes``); :func:`loads` turns a packet held in any byte buffer back into the
value. The byte-level work is done by the native extension module ``vamra_rs``,
which is imported on first use, so the pure-Python classes work without it.
"""

from __future__ import annotations

from vamra._packets import dumps, loads
from vamra._version import __version__
from vamra.files import load, open, save
from vamra.quantize import QuantizedTensor
from vamra.ragged import StringTensor
from vamra.shards import save_shard

__all__ = [
    "QuantizedTensor",
    "StringTensor",
    "__version__",
    "dumps",
    "load",
    "loads",
    "open",
    "save",
    "save_shard",
]

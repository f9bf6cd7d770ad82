"""What :func:`vamra.dask.check` asks each worker, kept apart from ``vamra.dask``.

A worker runs a function by importing its module. Importing ``vamra.dask``
registers the family there, so a probe defined in it would always find the
family and hide the mistake it is meant to find. This module imports nothing
of Dask until it runs, and nothing of vamra at all.
"""

from __future__ import annotations

from typing import Any

FAMILY = "vamra"


def family_state(dask_worker: Any) -> dict[str, bool]:
    """Whether this worker can decode the family and asks its peers for it.

    ``Client.run`` passes the worker as ``dask_worker``.
    """
    from distributed.protocol.serialize import families

    asks = dask_worker.rpc.serializers
    return {"registered": FAMILY in families, "asks": asks is not None and FAMILY in list(asks)}

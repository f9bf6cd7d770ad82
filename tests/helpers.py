"""Helpers shared by the test modules (fixtures stay in conftest.py)."""

import struct


def header(flags=1, dtype=1, ndim=1, version=4, reserved=0):
    """The fixed header of a packet."""
    if version == 3:
        return b"VMRA" + bytes([3, flags & 0xFF, dtype, ndim])
    return b"VMRA" + bytes([version]) + struct.pack("<H", flags) + bytes([dtype, ndim, reserved])

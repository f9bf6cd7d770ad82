"""vamra in one minute: real tensors round-tripped, with timings against pickle."""

import pickle
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import vamra
from vamra.quantize import QuantizedTensor
from vamra.ragged import StringTensor

import vamra_rs


def timed(fn, number=5):
    """Best time of `number` calls, in seconds."""
    best = float("inf")
    for _ in range(number):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def human(seconds):
    if seconds >= 1e-3:
        return f"{seconds * 1e3:8.2f} ms"
    return f"{seconds * 1e6:8.1f} us"


def size(n):
    return (
        f"{n / 2**20:.1f} MiB" if n >= 2**20 else f"{n / 1024:.1f} KiB" if n >= 1024 else f"{n} B"
    )


def compare(label, value, prepare=lambda v: v, **options):
    """Encodes and decodes `value` with vamra and with pickle protocol 5; `prepare`
    turns the value into what vamra encodes (its cost is part of the timing)."""
    t_dump, packet = timed(lambda: vamra.dumps(prepare(value), **options))
    t_load, back = timed(lambda: vamra.loads(packet))
    t_pdump, pickled = timed(lambda: pickle.dumps(value, protocol=5))
    t_pload, _ = timed(lambda: pickle.loads(pickled))
    print(
        f"{label:<34} {size(len(packet)):>10}  dumps {human(t_dump)} (pickle {human(t_pdump)})"
        f"  loads {human(t_load)} (pickle {human(t_pload)})"
    )
    return packet, back


def main():
    rng = np.random.default_rng(7)
    print(f"vamra {vamra.__version__}: packets for tensors. Timings are best of 5.\n")

    print("Dense arrays (loads returns read-only views into the packet: no copy)")
    for dtype, shape in [
        ("float32", (4,)),
        ("float64", (256, 256)),
        ("int16", (1024, 1024)),
        ("uint8", (64, 1024, 1024)),
        ("float32", (4096, 4096)),
    ]:
        array = (
            rng.random(shape).astype(dtype)
            if "float" in dtype
            else rng.integers(0, 100, shape).astype(dtype)
        )
        packet, back = compare(f"{dtype}{list(shape)}", array)
        assert np.array_equal(back, array) and not back.flags.writeable
    text = np.tile(np.arange(1024, dtype=np.float32), 4096)
    packet, back = compare(
        "float32[4M] compress+integrity", text, compress=True, check_integrity=True
    )
    assert np.array_equal(back, text)
    print(f"{'':34} compressed {size(text.nbytes)} to {size(len(packet))}")

    print("\nA model state (a dictionary of 50 tensors) and a sparse matrix")
    state = {
        f"layer{i}.{kind}": rng.standard_normal((256, 256) if kind == "weight" else 256).astype(
            np.float32
        )
        for i in range(25)
        for kind in ("weight", "bias")
    }
    packet, back = compare("state dict, 50 tensors", state, check_integrity=True)
    assert all(np.array_equal(back[k], state[k]) for k in state)
    info = vamra_rs.get_packet_info_rs(packet)
    print(f"{'':34} inspected without decoding: {info['entry_count']} entries")
    try:
        import scipy.sparse as sp

        matrix = sp.random(5000, 5000, density=0.01, format="csr", random_state=1)
        packet, back = compare("CSR 5000x5000 at 1%", matrix)
        assert (back != matrix).nnz == 0
    except ImportError:
        print("(scipy not installed: sparse matrices skipped)")

    print("\nString tensors and 4-bit quantized weights")
    words = [f"token-{i}-{'x' * (i % 7)}" for i in range(200_000)]
    packet, back = compare("200,000 strings (list -> tensor)", words, StringTensor.from_list)
    t_pickle = len(pickle.dumps(words, protocol=5))
    assert back.tolist() == words
    print(f"{'':34} {size(len(packet))} vs pickle of the list {size(t_pickle)}")
    weights = rng.standard_normal((1024, 1024)).astype(np.float32)
    qt = QuantizedTensor.quantize(weights, dtype="qint4", axis=0)
    packet, back = compare("qint4 weights 1024x1024 per row", qt)
    error = np.abs(back.dequantize() - weights).max()
    print(
        f"{'':34} {size(len(packet))} instead of {size(weights.nbytes)} "
        f"({weights.nbytes / len(packet):.1f}x smaller), max error {error:.3f}"
    )

    example = Path(__file__).with_name("examples") / "shm_exchange.py"
    if example.exists():
        print("\nTwo processes exchanging 1 MiB tensors through shared memory")
        subprocess.run([sys.executable, str(example), "--count", "2000"], check=True)


if __name__ == "__main__":
    main()

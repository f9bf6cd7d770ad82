"""Checkpoints in object storage, against moto's S3 server on loopback.

A 300-entry checkpoint of about 1 GiB (float32 tensors of 3.5 MiB) is saved to
the server; the server counts every request and the bytes it sent, so the
reading rows are counts, not timings. Rows, each beside its target:
- open + list keys, dtypes, shapes: requests and bytes (at most 2 requests,
  64 KiB + the index);
- open + one tensor (at most 3 requests, the tensor + 64 KiB);
- open + 10 tensors, spread and neighbours (one round of concurrent ranged
  reads, the tensors + 64 KiB);
- load of the whole file beside fs.cat of the same object: throughput (at
  least 0.9x) and peak extra memory beyond the result (at most 64 MiB); and
  beside one GET of it (reported: fs.cat's concurrent ranges cost moto a read
  of the whole object each);
- save beside fs.pipe of the same bytes: throughput (at least 0.9x) and peak
  extra memory (at most 64 MiB);
- time to first tensor beside downloading the safetensors file of the same
  tensors and opening it (reported), on S3 and on the Range-honouring HTTP
  server (tests/servers.py).
Throughput and memory are measured in fresh processes, alternating with the
baseline, best of the rounds. Run: python bench/remote.py [--quick]
"""

import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time
import urllib.request

import numpy as np
import vamra
from common import ROWS, report, row

HERE = os.path.dirname(os.path.abspath(__file__))
SERVERS = os.path.join(HERE, "..", "tests", "servers.py")
QUICK = "--quick" in sys.argv
ENTRIES = 300
SHAPE = (896, 256) if QUICK else (896, 1024)  # 0.9 or 3.5 MiB of float32
ROUNDS = 1 if QUICK else 3
KIB = 1024


def start(*args):
    process = subprocess.Popen(
        [sys.executable, SERVERS, *args, "--lifetime", "3600"], stdout=subprocess.PIPE, text=True
    )
    return process, int(process.stdout.readline().split()[1])


def counts(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/__counts__?reset=1") as reply:
        return json.loads(reply.read())


def sent(records):
    return sum(r["sent"] for r in records)


def one_round(records):
    """Whether every request was under way at once (each started before any ended)."""
    return max(r["start"] for r in records) < min(r["end"] for r in records)


def count_row(name, value, limit, unit, met=True):
    """A row of counts: what the server saw, beside its limit."""
    ROWS.append(
        (
            name,
            "-",
            float("nan"),
            f"{value:,} {unit}",
            f"<= {limit:,} {unit}",
            met and value <= limit,
        )
    )


CHILD = """
import json, os, sys, time
import numpy as np
options = json.loads(sys.argv[1])

def rss(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1]) * 1024

def peak_reset():
    with open("/proc/self/clear_refs", "w") as handle:
        handle.write("5")
"""

LOAD = (
    CHILD
    + """
import fsspec, vamra
fs = fsspec.filesystem("s3", **options)
which = sys.argv[2]
fs.info("bucket/model.vmra")  # connection made outside the time
peak_reset()
before = rss("VmRSS")
start = time.perf_counter()
if which == "cat":
    result = fs.cat("bucket/model.vmra")
    size = len(result)
elif which == "one GET":
    result = fs.cat_file("bucket/model.vmra", max_concurrency=1)
    size = len(result)
else:
    result = vamra.load("s3://bucket/model.vmra", storage_options=options)
    size = sum(v.nbytes for v in result.values())
elapsed = time.perf_counter() - start
print(json.dumps({"seconds": elapsed, "extra": rss("VmHWM") - before - size, "size": size}))
"""
)

SAVE = (
    CHILD
    + """
import fsspec, vamra
fs = fsspec.filesystem("s3", **options)
which, count, rows, cols = sys.argv[2], *map(int, sys.argv[3:6])
rng = np.random.default_rng(0)
state = {f"layers.{i}.weight": rng.random((rows, cols), dtype=np.float32) for i in range(count)}
data = vamra.dumps(state) if which == "pipe" else None
fs.info("bucket/model.vmra")
peak_reset()
before = rss("VmRSS")
start = time.perf_counter()
if which == "pipe":
    fs.pipe("bucket/piped.bin", data)
else:
    vamra.save(state, "s3://bucket/saved.vmra", storage_options=options)
elapsed = time.perf_counter() - start
print(json.dumps({"seconds": elapsed, "extra": rss("VmHWM") - before}))
"""
)


def child(code, *args):
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=1800,
    )
    if done.returncode:
        raise RuntimeError(done.stderr[-3000:])
    return json.loads(done.stdout.strip().splitlines()[-1])


def alternating(code, variants, *args):
    """Each variant run in a fresh process, in alternating rounds: the best
    time of each, with the least extra memory seen."""
    best = {}
    for _ in range(ROUNDS):
        for which in variants:
            got = child(code, json.dumps(OPTIONS), which, *args)
            kept = best.get(which)
            if kept is None:
                best[which] = got
                continue
            extra = min(kept["extra"], got["extra"])
            if got["seconds"] < kept["seconds"]:
                best[which] = got
            best[which]["extra"] = extra
    return [best[which] for which in variants]


def main():
    global OPTIONS
    s3, port = start("s3")
    www = tempfile.mkdtemp(prefix="vamra-bench-www-")
    http, http_port = start("http", www)
    OPTIONS = {
        "key": "bench",
        "secret": "bench",
        "client_kwargs": {"endpoint_url": f"http://127.0.0.1:{port}", "region_name": "us-east-1"},
    }
    try:
        import fsspec

        fs = fsspec.filesystem("s3", **OPTIONS)
        fs.call_s3("create_bucket", Bucket="bucket")
        rng = np.random.default_rng(0)
        state = {f"layers.{i}.weight": rng.random(SHAPE, dtype=np.float32) for i in range(ENTRIES)}
        total = sum(v.nbytes for v in state.values())
        url = "s3://bucket/model.vmra"
        vamra.save(state, url, storage_options=OPTIONS)
        with open(os.path.join(www, "model.vmra"), "wb") as handle:
            handle.write(fs.cat("bucket/model.vmra"))
        print(f"checkpoint: {ENTRIES} entries, {total / 2**30:.2f} GiB", file=sys.stderr)
        keys = list(state)
        counts(port)

        # Reading only what is asked for: requests and bytes the server saw.
        f = vamra.open(url, storage_options=OPTIONS)
        listing = {k: (f.get_slice(k).dtype, f.get_slice(k).shape) for k in f}
        records = counts(port)
        index = f._reader.index.end - 27
        assert len(listing) == ENTRIES
        count_row("open + list: requests", len(records), 2, "req")
        count_row("open + list: bytes (64 KiB + index)", sent(records), 64 * KIB + index, "B")

        f = vamra.open(url, storage_options=OPTIONS)
        tensor = f[keys[150]]
        records = counts(port)
        count_row("open + 1 tensor: requests", len(records), 3, "req")
        count_row(
            "open + 1 tensor: bytes (tensor + 64 KiB)", sent(records), tensor.nbytes + 64 * KIB, "B"
        )

        for label, chosen in (
            ("spread", keys[5::30][:10]),
            ("neighbours", keys[100:110]),
        ):
            f = vamra.open(url, storage_options=OPTIONS)
            head = counts(port)
            got = f.load(chosen)
            records = counts(port)
            nbytes = sum(v.nbytes for v in got.values())
            count_row(
                f"open + 10 tensors ({label}): reads after open, all at once",
                len(records),
                10,
                "req",
                one_round(records),
            )
            count_row(
                f"open + 10 tensors ({label}): bytes (tensors + 64 KiB)",
                sent(head) + sent(records),
                nbytes + 64 * KIB,
                "B",
            )

        # The whole file: throughput beside fs.cat, memory beyond the result.
        cat, single, load = alternating(LOAD, ["cat", "one GET", "load"])
        row(
            "load: throughput",
            "fs.cat",
            total / cat["seconds"] / 2**20,
            total / load["seconds"] / 2**20,
            ">= 0.9x",
            lambda r: r >= 0.9,
            unit="MiB/s",
        )
        row(
            "load: peak extra memory",
            "fs.cat",
            max(cat["extra"], 1) / 2**20,
            max(load["extra"], 0) / 2**20,
            "<= 64 MiB",
            None,
            unit="MiB",
        )
        ROWS[-1] = (*ROWS[-1][:5], load["extra"] <= 64 << 20)
        # fs.cat reads a large object in concurrent 50 MiB ranges, which
        # moto serves by reading the whole object for each: one GET is the
        # fairer baseline on this server.
        row(
            "load: throughput (beside one GET)",
            "fs.cat_file, 1 GET",
            total / single["seconds"] / 2**20,
            total / load["seconds"] / 2**20,
            "report",
            None,
            unit="MiB/s",
        )

        pipe, save = alternating(SAVE, ["pipe", "save"], str(ENTRIES), *map(str, SHAPE))
        row(
            "save: throughput",
            "fs.pipe",
            total / pipe["seconds"] / 2**20,
            total / save["seconds"] / 2**20,
            ">= 0.9x",
            lambda r: r >= 0.9,
            unit="MiB/s",
        )
        row(
            "save: peak extra memory",
            "fs.pipe",
            max(pipe["extra"], 1) / 2**20,
            max(save["extra"], 0) / 2**20,
            "<= 64 MiB",
            None,
            unit="MiB",
        )
        ROWS[-1] = (*ROWS[-1][:5], save["extra"] <= 64 << 20)

        # Time to first tensor, beside downloading the safetensors file.
        try:
            import safetensors.numpy as st
            from safetensors import safe_open
        except ImportError:
            st = None
        if st is not None:
            data = st.save(state)
            fs.pipe("bucket/model.safetensors", data)
            with open(os.path.join(www, "model.safetensors"), "wb") as handle:
                handle.write(data)
            del data
            http_fs = fsspec.filesystem("http")
            where = {
                "S3": (fs, "bucket/model", "s3://bucket/model.vmra", OPTIONS),
                "HTTP": (
                    http_fs,
                    f"http://127.0.0.1:{http_port}/model",
                    f"http://127.0.0.1:{http_port}/model.vmra",
                    None,
                ),
            }
            for name, (store, base, ours_url, options) in where.items():
                local = os.path.join(tempfile.gettempdir(), "vamra-bench-first.safetensors")

                def download(store=store, base=base, local=local):
                    store.get(base + ".safetensors", local)
                    with safe_open(local, "np") as opened:
                        return opened.get_tensor(keys[0])

                def first(url=ours_url, options=options):
                    return vamra.open(url, storage_options=options)[keys[0]]

                times = {download: [], first: []}
                for _ in range(ROUNDS + 1):
                    for fn in (download, first):
                        began = time.perf_counter()
                        fn()
                        times[fn].append(time.perf_counter() - began)
                os.unlink(local)
                row(
                    f"time to first tensor ({name})",
                    "download + safe_open",
                    min(times[download]),
                    min(times[first]),
                    "report",
                    None,
                )
        counts(port)
    finally:
        s3.kill()
        http.kill()
        for name in os.listdir(www):
            os.unlink(os.path.join(www, name))
        os.rmdir(www)
    return report()


if __name__ == "__main__":
    sys.exit(1 if main() else 0)

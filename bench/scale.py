"""Checkpoints at model scale: many entries, a large file, a compressed tensor.

Rows (each beside its baseline, measured in the same run):
- open a 100,000-entry file and read one tensor (target: at most 1 ms),
  beside safetensors' safe_open + get_tensor on the same tensors;
- save and load of that file, beside safetensors;
- RSS added by vamra.load of a 300-entry, 480 MiB file before any tensor is
  touched (target: at most 8 MiB), beside safetensors' load_file;
- peak extra RSS while saving a 1.5 GiB tensor with compress=True, to a path
  and to a file object that is not an OS file (reported).
Run: python bench/scale.py [--quick]
"""

import os
import subprocess
import sys
import tempfile
import textwrap

import numpy as np
import vamra
from common import ROWS, best, report, row

try:
    import safetensors.numpy as st
    from safetensors import safe_open
except ImportError:
    st = safe_open = None

QUICK = "--quick" in sys.argv
ENTRIES = 100_000


def in_subprocess(code: str) -> float:
    """Runs `code` in a fresh interpreter; returns the number it prints."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=900,
        check=True,
    )
    return float(done.stdout.split()[-1])


def main() -> int:
    workdir = tempfile.mkdtemp(prefix="vamra-scale-")
    ours = os.path.join(workdir, "many.vmra")
    theirs = os.path.join(workdir, "many.safetensors")
    state = {f"model.layers.{i}.weight": np.full(4, i, np.float32) for i in range(ENTRIES)}
    keys = list(state)[:: ENTRIES // 50]

    def open_one():
        with vamra.open(ours) as f:
            return f[keys[7]]

    def safe_open_one():
        with safe_open(theirs, "numpy") as f:
            return f.get_tensor(keys[7])

    t_save = best(lambda: vamra.save(state, ours), repeat=2 if QUICK else 3)
    t_open = best(open_one, repeat=20)
    t_load = best(lambda: vamra.load(ours), repeat=3)
    if st is not None:
        t_st_save = best(lambda: st.save_file(state, theirs), repeat=2 if QUICK else 3)
        t_st_open = best(safe_open_one, repeat=20)
        t_st_load = best(lambda: st.load_file(theirs), repeat=3)
    else:
        t_st_save = t_st_open = t_st_load = None
    row(f"open + one tensor, {ENTRIES} entries", "safe_open+get_tensor", t_st_open, t_open,
        "<= 1 ms", lambda r, v=t_open: v <= 1e-3)  # fmt: skip
    row(f"save {ENTRIES} entries", "safetensors save_file", t_st_save, t_save, "report", None)
    row(f"load {ENTRIES} entries", "safetensors load_file", t_st_load, t_load, "report", None)

    # A 300-entry file of 480 MiB: RSS right after loading it, page cache included.
    big = os.path.join(workdir, "big.vmra")
    big_st = os.path.join(workdir, "big.safetensors")
    in_subprocess(
        f"""
        import numpy as np, vamra
        state = {{f"model.layers.{{i}}.weight": np.ones(419430, np.float32) for i in range(300)}}
        vamra.save(state, {big!r})
        try:
            import safetensors.numpy as st
            st.save_file(state, {big_st!r})
        except ImportError:
            pass
        print(0)
        """
    )
    load_rss = """
        import numpy as np, vamra
        def rss():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1]) * 1024
        vamra.save({{"w": np.ones(1)}}, {path!r} + ".warm")
        vamra.load({path!r} + ".warm")
        before = rss()
        value = {call}
        print((rss() - before) / 2**20)
        """
    ours_rss = in_subprocess(load_rss.format(path=big, call=f"vamra.load({big!r})"))
    theirs_rss = None
    if st is not None:
        theirs_rss = in_subprocess(
            load_rss.format(
                path=big,
                call=f"__import__('safetensors.numpy').numpy.load_file({big_st!r})",
            )
        )
    row("load of 300 entries, 480 MiB: RSS added", "safetensors load_file", theirs_rss,
        ours_rss, "<= 8 MiB", lambda r, v=ours_rss: v <= 8, unit="MiB")  # fmt: skip

    # Compressing a 1.5 GiB tensor: the frame is written a block at a time.
    compress = f"""
        import io, resource, numpy as np, vamra
        x = np.zeros(384 << 20, np.float32)
        x[::1000] = 1.0
        base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        class Sink(io.RawIOBase):
            def writable(self):
                return True
            def write(self, b):
                return len(memoryview(b))
        target = {{"path": {os.path.join(workdir, "c.vmra")!r}, "object": Sink()}}[{{which!r}}]
        vamra.save({{"w": x}}, target, compress=True)
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) / 1024)
        """
    if not QUICK:
        for which in ("path", "object"):
            extra = in_subprocess(compress.replace("{which!r}", repr(which)))
            ROWS.append((f"peak extra RSS, compress 1.5 GiB to a {which}", "-", float("nan"),
                         f"{extra:.1f} MiB", "report", None))  # fmt: skip

    for name in os.listdir(workdir):
        os.unlink(os.path.join(workdir, name))
    os.rmdir(workdir)
    return report()


if __name__ == "__main__":
    sys.exit(1 if main() else 0)

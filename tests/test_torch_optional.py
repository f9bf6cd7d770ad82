"""Torch stays optional: vamra never imports it, and its absence is named."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("vamra_rs")


def run(script: str) -> str:
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_nothing_without_tensors_imports_torch(tmp_path):
    out = run(
        f"""
        import sys
        import numpy as np, vamra
        from vamra.__main__ import main
        path = {str(tmp_path / "a.vmra")!r}
        q = vamra.QuantizedTensor.quantize(np.linspace(-1, 1, 8))
        value = {{"a": np.ones(3), "q": q, "s": vamra.StringTensor.from_list(["x"])}}
        vamra.loads(vamra.dumps(value))
        vamra.save(value, path)
        vamra.load(path)
        list(vamra.open(path))
        main(["inspect", path])
        print("torch loaded:", "torch" in sys.modules)
        """
    )
    assert out.rstrip().endswith("torch loaded: False")


def test_without_torch_the_extra_is_named(tmp_path):
    out = run(
        """
        import sys
        sys.modules["torch"] = None  # as if torch were not installed
        import numpy as np, vamra
        try:
            import vamra.torch
        except ImportError as exc:
            print("refused:", exc)
        from vamra.__main__ import through_torch
        print("numpy route:", not through_torch("vamra", "safetensors"))
        print("dumps works:", len(vamra.dumps({"a": np.ones(2)})) > 0)
        """
    )
    assert "refused:" in out and "pip install 'vamra[torch]'" in out
    assert "numpy route: True" in out and "dumps works: True" in out

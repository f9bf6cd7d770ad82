"""Quantization at the edges of float32: the largest finite values, subnormals,
and float64 inputs beyond what float32 holds."""

from __future__ import annotations

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from vamra import QuantizedTensor
from vamra.quantize import SCHEME_PER_GROUP, SCHEME_PER_TENSOR

F32_MAX = float(np.finfo(np.float32).max)
TINY = float(np.finfo(np.float32).smallest_subnormal)
DTYPES = ["qint8", "quint8", "qint4", "quint4"]
SCHEMES = {"tensor": {}, "axis": {"axis": -1}, "group": {"group_size": 2}}


def _element_scales(qt: QuantizedTensor) -> np.ndarray:
    n = math.prod(qt.shape)
    if qt.quant_scheme == SCHEME_PER_TENSOR:
        return np.full(qt.shape, qt.scales[0], np.float64)
    if qt.quant_scheme == SCHEME_PER_GROUP:
        return np.repeat(qt.scales, qt.group_size)[:n].reshape(qt.shape).astype(np.float64)
    return np.broadcast_to(qt.scales.astype(np.float64), qt.shape)


def _assert_within_one_step(x, qt: QuantizedTensor) -> None:
    x = np.asarray(x, np.float64)
    out = qt.dequantize()
    assert np.isfinite(out).all(), out
    assert np.isfinite(qt.scales).all() and np.isfinite(qt.zero_points).all()
    err = np.abs(out.astype(np.float64) - x)
    # One step, plus float32 rounding of the product (half an ulp of the value).
    allowed = _element_scales(qt) + np.abs(x) * 2.0**-24
    assert np.all(err <= allowed), (x, out, qt.scales)
    assert np.all(out[x == 0] == 0)


EDGES = {
    "both_limits": [-F32_MAX, 0.0, F32_MAX],
    "decimal_limits": [-3.4028235e38, 0.0, 3.4028235e38],  # float64, rounds to the limit
    "wide_8bit": [-2e38, 3.4e38],
    "top_only": [0.0, F32_MAX, F32_MAX / 3],
    "bottom_only": [-F32_MAX, -1.0],
    "limit_and_one": [F32_MAX, 1.0, -1.0, F32_MAX],
    "subnormal": [0.0, 3 * TINY, -TINY],
    "one_subnormal": [TINY, 0.0],
    "smallest_normal": [0.0, float(np.finfo(np.float32).tiny), -1e-39],
}


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize("as_float32", [False, True], ids=["float64", "float32"])
@pytest.mark.parametrize("scheme", list(SCHEMES))
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("edge", list(EDGES))
def test_edges_dequantize_finite_within_one_step(edge, dtype, scheme, as_float32):
    x = np.array(EDGES[edge], np.float32 if as_float32 else np.float64).reshape(1, -1)
    qt = QuantizedTensor.quantize(x, dtype, **SCHEMES[scheme])
    _assert_within_one_step(x.astype(np.float32), qt)


@settings(max_examples=300, deadline=None)
@given(
    x=hnp.arrays(
        np.float32,
        hnp.array_shapes(min_dims=1, max_dims=2, max_side=5),
        elements=st.floats(width=32, allow_nan=False, allow_infinity=False),
    ),
    dtype=st.sampled_from(DTYPES),
    scheme=st.sampled_from(list(SCHEMES)),
)
def test_any_finite_float32_dequantizes_within_one_step(x, dtype, scheme):
    _assert_within_one_step(x, QuantizedTensor.quantize(x, dtype, **SCHEMES[scheme]))


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize(
    "values,dtype,message",
    [
        ([1e39], np.float64, "float32 range"),
        ([0.0, -1e39, 1.0], np.float64, "float32 range"),
        ([1e300], np.float64, "largest magnitude 1e\\+300"),
        ([1e39], np.longdouble, "float32 range"),
        ([1.0, np.inf], np.float64, "non-finite"),
        ([np.nan, 1e39], np.float64, "non-finite"),
        ([np.inf], np.float32, "non-finite"),
    ],
)
@pytest.mark.parametrize("dtype_name", DTYPES)
def test_out_of_range_input_is_refused_clearly(values, dtype, message, dtype_name):
    with pytest.raises(ValueError, match=message):
        QuantizedTensor.quantize(np.array(values, dtype), dtype_name)


@pytest.mark.parametrize("dtype", DTYPES)
def test_nonzero_range_never_gets_scale_zero(dtype):
    # The smallest subnormal divided by the code count is below what float32
    # holds; the scale rounds up to it instead of down to 0.
    qt = QuantizedTensor.quantize(np.array([TINY, 0.0], np.float32), dtype)
    assert qt.scales[0] == np.float32(TINY)
    assert qt.dequantize()[0] == np.float32(TINY)

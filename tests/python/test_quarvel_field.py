"""Field wrapping: looser outputs are turned into the engine's contract."""

from __future__ import annotations

import numpy as np
import pytest

import quarvel as qv
from test_quarvel_helpers import engine_ready

POINTS = np.random.default_rng(7).normal(size=(50, 3))
DISTANCE = np.linalg.norm(POINTS, axis=1) - 1.0


class CpuTensor:
    """Stands in for a CPU tensor of another array library (NumPy conversion, detach)."""

    def __init__(self, data):
        self.data = np.asarray(data)
        self.detached = False

    def detach(self):
        copy = CpuTensor(self.data)
        copy.detached = True
        return copy

    def __array__(self, dtype=None, copy=None):
        if not self.detached:
            raise RuntimeError("call detach() first")
        return self.data if dtype is None else self.data.astype(dtype)


@pytest.mark.parametrize(
    ("output", "tolerance"),
    [
        (lambda d: d, 0.0),
        (lambda d: d.astype(np.float32), 1e-6),
        (lambda d: d.astype(np.float16), 2e-3),
        (lambda d: d.tolist(), 0.0),
        (lambda d: d.reshape(-1, 1), 0.0),
        (lambda d: CpuTensor(d), 0.0),
        (lambda d: (d.astype(np.float32), None), 1e-6),
        (lambda d: [d, None], 0.0),
        (lambda d: (CpuTensor(d), None), 0.0),
    ],
    ids=["float64", "float32", "float16", "list", "column", "tensor", "pair32", "listpair", "tensorpair"],
)
def test_values_in_many_forms_become_contiguous_float64(output, tolerance):
    field = qv.as_field(lambda p: output(np.linalg.norm(p, axis=1) - 1.0))
    values, gradients = field(POINTS)
    assert gradients is None
    assert values.dtype == np.float64 and values.shape == (len(POINTS),)
    assert values.flags.c_contiguous
    np.testing.assert_allclose(values, DISTANCE, rtol=0.0, atol=tolerance)


def test_strided_values_are_made_contiguous():
    field = qv.as_field(lambda p: np.repeat(np.linalg.norm(p, axis=1) - 1.0, 2)[::2])
    values, _ = field(POINTS)
    assert values.flags.c_contiguous
    np.testing.assert_array_equal(values, DISTANCE)


@pytest.mark.parametrize(
    "gradient_output",
    [
        lambda g: g,
        lambda g: g.astype(np.float32),
        lambda g: g.T.copy().T,
        lambda g: CpuTensor(g),
        lambda g: g.tolist(),
    ],
    ids=["float64", "float32", "fortran", "tensor", "list"],
)
def test_gradients_are_passed_on_as_float64(gradient_output):
    shape = qv.sphere(1.0)
    field = qv.as_field(lambda p: (shape(p)[0], gradient_output(shape(p)[1])))
    values, gradients = field(POINTS)
    np.testing.assert_allclose(gradients, shape(POINTS)[1], atol=1e-6)
    assert gradients.dtype == np.float64 and gradients.shape == (len(POINTS), 3)


def test_float64_outputs_are_not_copied():
    values = DISTANCE.copy()
    gradients = np.ones((len(POINTS), 3))
    field = qv.as_field(lambda p: (values, gradients))
    got_values, got_gradients = field(POINTS)
    assert np.shares_memory(got_values, values)
    assert got_gradients is gradients


def _unpacked(p):
    x, y, z = p
    return x * x + y * y + z * z - 1.0


@pytest.mark.parametrize(
    ("fn", "message"),
    [
        (lambda p: 2.5, r"a single value for (\d+) points; expected \1 values.*p\[:, 0\]"),
        (lambda p: np.linalg.norm(p) - 1.0, r"a single value for \d+ points.*p\[:, 0\]"),
        (lambda p: p[0] ** 2 + p[1] ** 2 + p[2] ** 2 - 1.0, r"shape \(3,\) for \d+ points.*p\[:, 0\]"),
        (_unpacked, r"could not unpack its points.*x, y, z = p\.T"),
    ],
    ids=["constant", "reduction", "rows", "unpacking"],
)
def test_field_mistakes_are_explained_before_meshing(fn, message):
    with pytest.raises(ValueError, match=message):
        qv.mesh(fn, ((-1, -1, -1), (1, 1, 1)), max_depth=3)


@pytest.mark.parametrize(
    ("fn", "message"),
    [
        (lambda p: np.zeros(len(p) - 1), r"values of shape \(49,\) for 50 points"),
        (lambda p: np.zeros((len(p), 2)), r"values of shape \(50, 2\)"),
        (lambda p: (np.zeros(len(p)), np.zeros((len(p), 2))), r"gradients of shape \(50, 2\)"),
        (lambda p: (np.zeros(len(p)), np.zeros((len(p) + 1, 3))), r"gradients of shape \(51, 3\)"),
    ],
)
def test_wrong_output_sizes_are_reported(fn, message):
    with pytest.raises(ValueError, match=message):
        qv.as_field(fn)(POINTS)


def test_non_callables_are_refused():
    with pytest.raises(TypeError, match="callable"):
        qv.as_field(42)


def test_wrapping_keeps_bounds_and_is_idempotent():
    def blob(p):
        return np.linalg.norm(p, axis=1) - 1.0

    blob.bounds = ((-1, -1, -1), (1, 1, 1))
    field = qv.as_field(blob)
    assert field.bounds == blob.bounds
    assert qv.as_field(field) is field


@pytest.mark.skipif(not engine_ready(), reason="extension not available")
def test_engine_bridge_accepts_wrapped_fields():
    import _quarvel_rs

    field = qv.as_field(lambda p: (np.linalg.norm(p, axis=1) - 1.0).astype(np.float32))
    values, has_gradients, count = _quarvel_rs.test_batch_eval(field, POINTS)
    assert count == len(POINTS) and not has_gradients
    np.testing.assert_allclose(values, DISTANCE, atol=1e-6)

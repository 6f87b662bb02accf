"""Shapes as programs: the one definition of their arithmetic, evaluated by the core.

A program is a flat tape of instructions over registers: registers 0 to 2
hold the point's x, y and z, and each instruction writes one new register
from earlier ones (see ``src/eval/program.hpp`` for the opcodes).  Every
node of the modelling library writes its arithmetic once, as its ``_emit``
method; the core runs the tape for values, for gradients (forward-mode
differentiation) and for bounds over boxes.

A shape given as a Python function is a ``call`` instruction: the core
gathers each function's points for the whole batch, calls it once (see
:class:`Callback`), and reads its values and gradients back.

The tree is walked with an explicit stack of emitters, each a generator that
yields ``(child, coordinates)`` and receives the child's register, so a tree
of any depth compiles without recursion.  Equal instructions are written
once, and a subtree met again at the same coordinates is not walked again.
"""

from __future__ import annotations

import math
import struct
from collections.abc import Callable, Generator, Sequence
from typing import Any, Protocol, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._core import engine as _engine
from .._bounds import Bounds
from ..meshing.fields import Field, as_field

Array = NDArray[np.float64]
Pair = tuple[Array, Array]

# The core refuses longer tapes; trees this large are better meshed in pieces.
MAX_INSTRUCTIONS = 1 << 22


class CompileError(TypeError):
    """The shape holds a node that has no arithmetic to compile (neither ``_emit`` nor ``_eval``)."""


class Reg(int):
    """A register number; plain floats given where a register is expected are constants."""


Num: TypeAlias = Reg | float
Coords: TypeAlias = tuple[Reg, ...]
Request: TypeAlias = tuple[Any, Sequence[Num]]
Emission: TypeAlias = Reg | Generator[Request, Reg, Reg]

INPUTS: Coords = (Reg(0), Reg(1), Reg(2))


class Emitting(Protocol):
    """A node of a tree: it writes its value's instructions at the given coordinates.

    A leaf returns its value's register; a node with children is a generator
    that yields ``(child, coordinates)`` and receives the child's register.
    """

    def _emit(self, t: Tape, p: Coords) -> Emission: ...


def as_points(points: ArrayLike) -> Array:
    """Return ``points`` as an (N, 3) float64 array (one point may be given flat)."""
    arr = np.asarray(points, dtype=np.float64)
    if arr.ndim == 1:
        arr = arr.reshape(1, -1)
    if arr.ndim != 2 or arr.shape[1] != 3:
        raise ValueError(f"points must have shape (N, 3) (got {arr.shape})")
    return arr


class Callback:
    """A Python field function as a program calls it: once per batch, with all of its points.

    ``function`` follows the field contract (see :func:`quarvel.as_field`);
    where it gives no gradients and they are wanted, they come from central
    differences with ``step``.
    """

    def __init__(self, function: Callable[[Array], Any], step: float) -> None:
        self.function: Field = as_field(function)
        self.step = step

    def __call__(self, points: Array, gradients: bool) -> tuple[Array, Array | None]:
        values, grads = self.function(points)
        if gradients and grads is None:
            grads = self._differences(points)
        return values, grads

    def _differences(self, p: Array) -> Array:
        """Central differences along x, y and z, all six probes in one call."""
        moves = np.vstack([np.eye(3), -np.eye(3)]) * self.step
        probes = (moves[:, None, :] + p[None, :, :]).reshape(-1, 3)
        values = self.function(probes)[0].reshape(6, len(p))
        gradients: Array = ((values[:3] - values[3:]) / (2.0 * self.step)).T
        return np.ascontiguousarray(gradients)

    def __repr__(self) -> str:
        return repr(self.function)


class Tape:
    """The instructions and constants of a program being written.

    Each method writes one instruction (or none, when the operands make it
    trivial: x - 0, x * 1, x / 1, min(x, x), or constants on both sides)
    and returns its register.
    """

    def __init__(self) -> None:
        self.code: list[tuple[str, int, int, int, int]] = []
        self.constants: list[float] = []
        self._written: dict[tuple[str, int, int, int, int], Reg] = {}
        self._constant_of: dict[int, float] = {}
        self._constant_at: dict[bytes, Reg] = {}
        self.externals: list[Callback] = []
        self._external_of: dict[int, int] = {}
        self._owners: list[object] = []  # keeps the ids above taken

    def _write(self, op: str, a: int = 0, b: int = 0, c: int = 0, imm: int = 0) -> Reg:
        key = (op, int(a), int(b), int(c), int(imm))
        reg = self._written.get(key)
        if reg is None:
            if len(self.code) >= MAX_INSTRUCTIONS:
                raise CompileError(f"the shape compiles to more than {MAX_INSTRUCTIONS} instructions")
            self.code.append(key)
            reg = self._written[key] = Reg(2 + len(self.code))
        return reg

    def reg(self, x: Num) -> Reg:
        """``x`` as a register: a constant for a plain number."""
        if isinstance(x, Reg):
            return x
        value = float(x)
        # Keyed by bits: -0.0 and 0.0 differ, and NaN finds itself.
        bits = struct.pack("<d", value)
        reg = self._constant_at.get(bits)
        if reg is None:
            self.constants.append(value)
            reg = self._constant_at[bits] = self._write("constant", imm=len(self.constants) - 1)
            self._constant_of[reg] = value
        return reg

    def value_of(self, x: Num) -> float | None:
        """The number ``x`` stands for, when it is a constant."""
        return self._constant_of.get(x) if isinstance(x, Reg) else float(x)

    def _binary(self, op: str, a: Num, b: Num, fold: Callable[[float, float], float]) -> Reg:
        va, vb = self.value_of(a), self.value_of(b)
        if va is not None and vb is not None:
            try:
                return self.reg(fold(va, vb))
            except (ZeroDivisionError, OverflowError):
                pass
        return self._write(op, self.reg(a), self.reg(b))

    def add(self, a: Num, b: Num) -> Reg:
        return self._binary("add", a, b, lambda x, y: x + y)

    def sub(self, a: Num, b: Num) -> Reg:
        vb = self.value_of(b)
        if vb == 0.0 and math.copysign(1.0, vb) > 0.0:  # x - (-0.0) would turn -0.0 into 0.0
            return self.reg(a)
        return self._binary("sub", a, b, lambda x, y: x - y)

    def mul(self, a: Num, b: Num) -> Reg:
        if self.value_of(b) == 1.0:
            return self.reg(a)
        if self.value_of(a) == 1.0:
            return self.reg(b)
        return self._binary("mul", a, b, lambda x, y: x * y)

    def div(self, a: Num, b: Num) -> Reg:
        if self.value_of(b) == 1.0:
            return self.reg(a)
        return self._binary("div", a, b, lambda x, y: x / y)

    def neg(self, a: Num) -> Reg:
        return self._write("neg", self.reg(a))

    def abs(self, a: Num) -> Reg:
        return self._write("abs", self.reg(a))

    def square(self, a: Num) -> Reg:
        return self._write("square", self.reg(a))

    def sqrt(self, a: Num) -> Reg:
        return self._write("sqrt", self.reg(a))

    def sin(self, a: Num) -> Reg:
        return self._write("sin", self.reg(a))

    def cos(self, a: Num) -> Reg:
        return self._write("cos", self.reg(a))

    def floor(self, a: Num) -> Reg:
        return self._write("floor", self.reg(a))

    def detach(self, a: Num) -> Reg:
        """``a``'s value without its derivative."""
        return self._write("detach", self.reg(a))

    def min(self, a: Num, b: Num) -> Reg:
        """``a`` if a <= b else ``b`` (the first on ties, as argmin); NaN if either is."""
        # Both registers: register 0 (x) would equal the constant 0.0 as a number.
        if isinstance(a, Reg) and isinstance(b, Reg) and a == b:
            return a
        return self._binary("min", a, b, lambda x, y: x if x <= y or x != x else y)

    def max(self, a: Num, b: Num) -> Reg:
        """``a`` if a >= b else ``b`` (the first on ties, as argmax); NaN if either is."""
        # Both registers: register 0 (x) would equal the constant 0.0 as a number.
        if isinstance(a, Reg) and isinstance(b, Reg) and a == b:
            return a
        return self._binary("max", a, b, lambda x, y: x if x >= y or x != x else y)

    def clip(self, a: Num, lo: float, hi: float) -> Reg:
        """``np.clip(a, lo, hi)``; an infinite side clips nothing."""
        out = self.reg(a)
        if lo > -math.inf:
            out = self.max(out, lo)
        if hi < math.inf:
            out = self.min(out, hi)
        return out

    def atan2(self, a: Num, b: Num) -> Reg:
        return self._write("atan2", self.reg(a), self.reg(b))

    def less(self, a: Num, b: Num) -> Reg:
        """1 where a < b, else 0."""
        return self._write("less", self.reg(a), self.reg(b))

    def select(self, condition: Num, a: Num, b: Num) -> Reg:
        """``a`` where the condition is not 0, else ``b`` (``np.where``)."""
        return self._write("select", self.reg(condition), self.reg(a), self.reg(b))

    def length(self, parts: Sequence[Num], fallback: int | None) -> Reg:
        """The length of a vector of 2 or 3 parts.

        Where it is 0 its derivative is part ``fallback``'s (the direction
        a unit vector falls back to), or zero for None.
        """
        regs = [self.reg(x) for x in parts]
        imm = len(regs) if fallback is None else fallback
        if len(regs) == 2:
            return self._write("length2", regs[0], regs[1], imm=imm)
        return self._write("length3", regs[0], regs[1], regs[2], imm=imm)

    def smooth_min(self, a: Num, b: Num, k: float) -> Reg:
        """The polynomial smooth minimum of ``a`` and ``b`` with blend radius ``k``."""
        return self._write("smooth_min", self.reg(a), self.reg(b), self.reg(k))

    def polygon(self, x: Num, y: Num, corners: NDArray[np.float64], normals: NDArray[np.float64]) -> Reg:
        """Signed distance to the polygon with these corners and outward edge normals."""
        first = len(self.constants)
        self.constants.extend(float(v) for v in corners.reshape(-1))
        self.constants.extend(float(v) for v in normals.reshape(-1))
        return self._write("polygon", self.reg(x), self.reg(y), first, len(corners))

    def call(self, owner: object, function: Callable[[], Callback], p: Sequence[Num]) -> Reg:
        """The value of ``owner``'s Python function at the point ``p``: one external
        function per owner, made by ``function()`` the first time."""
        index = self._external_of.get(id(owner))
        if index is None:
            index = self._external_of[id(owner)] = len(self.externals)
            self.externals.append(function())
            self._owners.append(owner)
        x, y, z = (self.reg(c) for c in p)
        return self._write("call", x, y, z, index)


def compile_tape(root: Emitting, inputs: Coords = INPUTS) -> Tape:
    """The tape of ``root``'s values at the coordinates ``inputs``, written by walking its tree with a stack."""
    tape = Tape()
    done: dict[tuple[int, Coords], Reg] = {}
    stack: list[tuple[Emitting, tuple[int, Coords], Generator[Request, Reg, Reg]]] = []

    def enter(node: Emitting, coords: Coords) -> Reg | None:
        """The node's register when known or a leaf; None once its emitter is on the stack."""
        key = (id(node), coords)
        if key in done:
            return done[key]
        try:
            emitted = node._emit(tape, coords)
        except CompileError as error:
            path = " > ".join(_node_name(parent) for parent, _, _ in stack) or "the root"
            raise CompileError(f"{error} (under {path})") from None
        if isinstance(emitted, Generator):
            stack.append((node, key, emitted))
            return None
        done[key] = emitted
        return emitted

    result = enter(root, inputs)
    while stack:
        _, key, walk = stack[-1]
        try:
            child, child_coords = walk.send(result)  # type: ignore[arg-type]
        except StopIteration as finished:
            stack.pop()
            result = done[key] = finished.value
            continue
        result = enter(child, tuple(tape.reg(c) for c in child_coords))
    assert result is not None
    if int(result) != 2 + len(tape.code):
        # The result must be the last register: copy it (max(r, r) keeps the
        # value, the derivative and NaN), even when that instruction exists.
        tape.code.append(("max", int(result), int(result), 0, 0))
    return tape


def _node_name(node: object) -> str:
    """The operation a node stands for, as its function is named (its repr may be huge)."""
    if hasattr(node, "take_max"):
        return "intersection" if node.take_max else "union"
    kind = getattr(node, "kind", None)
    return f"smooth_{kind}" if isinstance(kind, str) else type(node).__name__.lstrip("_").lower()


class Program:
    """A shape compiled for the core, and the one way its values are computed.

    Calling it with an (N, 3) array returns ``(values, gradients)``,
    computed in parallel on the worker pool without the interpreter lock
    (a Python function it holds takes the lock for its one call per batch).
    ``bounds``, ``lipschitz`` and ``understatement`` are the shape's.
    :meth:`value_bounds` gives bounds on the values over boxes.  ``native``
    is the core's program, which ``quarvel._engine`` functions take; it
    pickles as its tape and its Python functions.
    """

    def __init__(
        self,
        code: NDArray[np.int64],
        constants: NDArray[np.float64],
        externals: Sequence[Callable[[Array, bool], tuple[Array, Array | None]]] = (),
        bounds: Bounds = Bounds.infinite(),
        lipschitz: float = 1.0,
        understatement: float | None = None,
    ) -> None:
        self.bounds = bounds
        self.lipschitz = lipschitz
        self.understatement = understatement
        self.code, self.constants, self.externals = code, constants, tuple(externals)
        self.native = _engine.program(code, constants, self.externals)

    @classmethod
    def of(cls, shape: Any, inputs: Coords = INPUTS) -> Program:
        """``shape`` compiled (see :meth:`quarvel.Shape.compile`), at the coordinates ``inputs``."""
        tape = compile_tape(shape, inputs)
        opcode = {name: number for number, name in enumerate(_engine.opcodes())}
        code = np.array([(opcode[op], a, b, c, imm) for op, a, b, c, imm in tape.code], dtype=np.int64)
        return cls(
            code.reshape(-1, 5),
            np.array(tape.constants, dtype=np.float64),
            tape.externals,
            getattr(shape, "bounds", Bounds.infinite()),
            getattr(shape, "lipschitz", 1.0),
            getattr(shape, "understatement", None),
        )

    def __reduce__(self) -> tuple[type[Program], tuple[Any, ...]]:
        # The native program is rebuilt from the tape in the process that loads it.
        return (Program, (self.code, self.constants, self.externals, self.bounds, self.lipschitz, self.understatement))

    def __call__(self, points: ArrayLike) -> Pair:
        """Values (N,) and gradients (N, 3) at the (N, 3) ``points``."""
        values, gradients = _engine.program_eval(self.native, as_points(points))
        assert gradients is not None
        return values, gradients

    def values(self, points: ArrayLike) -> Array:
        """Values alone at the (N, 3) ``points``, a few times faster."""
        return _engine.program_eval(self.native, as_points(points), False)[0]

    def value_bounds(self, lo: ArrayLike, hi: ArrayLike) -> tuple[Array, Array]:
        """Bounds ``(lower, upper)`` on the values over the boxes from ``lo[i]`` to ``hi[i]``.

        Every point of box i has a value in [lower[i], upper[i]] (outward
        rounding included); both are NaN where some point may give NaN, and
        wherever a Python function's value counts.  A box whose ``lo``
        exceeds its ``hi`` along some axis raises ValueError.
        """
        return _engine.program_bounds(self.native, as_points(lo), as_points(hi))

    def __len__(self) -> int:
        """The number of instructions."""
        return len(self.code)

    def __repr__(self) -> str:
        calls = f", {len(self.externals)} Python functions" if self.externals else ""
        return f"<quarvel.Program of {len(self)} instructions, {len(self.constants)} constants{calls}>"

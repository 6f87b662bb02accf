"""Shapes compiled into programs that the core evaluates without the interpreter.

A program is a flat tape of instructions over registers: registers 0 to 2
hold the point's x, y and z, and each instruction writes one new register
from earlier ones (see ``src/eval/program.hpp`` for the opcodes).  Each
node of the modelling library has an emitter (in ``_emit.py``) that writes
the same arithmetic as its NumPy path; gradients come from forward-mode
differentiation in the core.

The tree is walked with an explicit stack of emitters, each a generator that
yields ``(child, coordinates)`` and receives the child's register, so a tree
of any depth compiles without recursion.  Equal instructions are written
once, and a subtree met again at the same coordinates is not walked again.
"""

from __future__ import annotations

import math
import struct
from collections.abc import Callable, Generator, Sequence
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._bounds import Bounds

if TYPE_CHECKING:
    from ..shapes.base import Shape

# The core refuses longer tapes; trees this large are better meshed through NumPy.
MAX_INSTRUCTIONS = 1 << 22


class CompileError(TypeError):
    """The shape holds a node that has no compiled form (such as a Python function)."""


class Reg(int):
    """A register number; plain floats given where a register is expected are constants."""


Num: TypeAlias = Reg | float
Coords: TypeAlias = tuple[Reg, ...]
Request: TypeAlias = tuple[Any, Sequence[Num]]
Emission: TypeAlias = Reg | Generator[Request, Reg, Reg]
Emitter: TypeAlias = Callable[["Tape", Any, Coords], Emission]

INPUTS: Coords = (Reg(0), Reg(1), Reg(2))
_EMITTERS: dict[type, Emitter] = {}


def emits(*classes: type) -> Callable[[Emitter], Emitter]:
    """Register the decorated function as the emitter of ``classes``."""

    def register(function: Emitter) -> Emitter:
        for cls in classes:
            _EMITTERS[cls] = function
        return function

    return register


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
        if isinstance(a, Reg) and a == b:
            return a
        return self._binary("min", a, b, lambda x, y: x if x <= y or x != x else y)

    def max(self, a: Num, b: Num) -> Reg:
        """``a`` if a >= b else ``b`` (the first on ties, as argmax); NaN if either is."""
        if isinstance(a, Reg) and a == b:
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


def compile_tape(shape: object) -> Tape:
    """The tape of ``shape``'s values, written by walking its tree with a stack."""
    tape = Tape()
    done: dict[tuple[int, Coords], Reg] = {}
    stack: list[tuple[object, tuple[int, Coords], Generator[Request, Reg, Reg]]] = []

    def enter(node: object, coords: Coords) -> Reg | None:
        """The node's register when known or a leaf; None once its emitter is on the stack."""
        key = (id(node), coords)
        if key in done:
            return done[key]
        emitted = _emitter(node, stack)(tape, node, coords)
        if isinstance(emitted, Generator):
            stack.append((node, key, emitted))
            return None
        done[key] = emitted
        return emitted

    result = enter(shape, INPUTS)
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


# The methods that hold a node's arithmetic, in its NumPy path.
_ARITHMETIC = ("_eval", "_eval2", "_walk", "_map", "_finish")


def _emitter(node: object, stack: Sequence[tuple[object, Any, Any]]) -> Emitter:
    """The emitter of ``node``'s class, or CompileError naming the node and where it
    sits (its ancestors, read from the walk's ``stack`` only then)."""
    from ..shapes.base import _FunctionShape

    for cls in type(node).__mro__:
        function = _EMITTERS.get(cls)
        if function is not None:
            # A subclass with its own arithmetic is not the registered node.
            if all(getattr(type(node), name) is getattr(cls, name) for name in _ARITHMETIC if hasattr(cls, name)):
                return function
            break
    path = " > ".join(_node_name(parent) for parent, _, _ in stack) or "the root"
    if isinstance(node, _FunctionShape):
        what = f"{node!r} holds a Python function"
    else:
        what = f"a {type(node).__name__} node has no compiled form"
    raise CompileError(
        f"cannot compile the shape: {what} (under {path}); quarvel.mesh evaluates such shapes through NumPy"
    )


def _node_name(node: object) -> str:
    """The operation a node stands for, as its function is named (its repr may be huge)."""
    if hasattr(node, "take_max"):
        return "intersection" if node.take_max else "union"
    kind = getattr(node, "kind", None)
    return f"smooth_{kind}" if isinstance(kind, str) else type(node).__name__.lstrip("_").lower()


class Program:
    """A shape compiled for the core: called like the shape, evaluated natively.

    Calling it with an (N, 3) array returns ``(values, gradients)``, the
    same as the shape's NumPy path (values within about 1e-12, gradients
    within 1e-9), computed in parallel on the worker pool without the
    interpreter lock.  ``bounds``, ``lipschitz`` and ``understatement`` are the shape's.
    :meth:`value_bounds` gives bounds on the values over boxes.  ``native``
    is the core's program, which ``quarvel._engine`` functions take.
    """

    def __init__(self, shape: Shape, code: NDArray[np.int64], constants: NDArray[np.float64]) -> None:
        from .. import _engine

        self.shape = shape
        self.bounds: Bounds = shape.bounds
        self.lipschitz: float = shape.lipschitz
        self.understatement: float | None = shape.understatement
        self.code, self.constants = code, constants
        self.native = _engine.program(code, constants)

    @classmethod
    def of(cls, shape: Shape) -> Program:
        """``shape`` compiled (see :meth:`Shape.compile`)."""
        from . import emit  # noqa: F401  (registers the emitters)
        from .. import _engine

        tape = compile_tape(shape)
        opcode = {name: number for number, name in enumerate(_engine.opcodes())}
        code = np.array([(opcode[op], a, b, c, imm) for op, a, b, c, imm in tape.code], dtype=np.int64)
        return cls(shape, code.reshape(-1, 5), np.array(tape.constants, dtype=np.float64))

    def __reduce__(self) -> tuple[type[Program], tuple[Shape, NDArray[np.int64], NDArray[np.float64]]]:
        # The native program is rebuilt from the tape in the process that loads it.
        return (Program, (self.shape, self.code, self.constants))

    def __call__(self, points: ArrayLike) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Values (N,) and gradients (N, 3) at the (N, 3) ``points``."""
        from .. import _engine
        from ..shapes.base import as_points

        values, gradients = _engine.program_eval(self.native, as_points(points))
        assert gradients is not None
        return values, gradients

    def values(self, points: ArrayLike) -> NDArray[np.float64]:
        """Values alone at the (N, 3) ``points``, a few times faster."""
        from .. import _engine
        from ..shapes.base import as_points

        return _engine.program_eval(self.native, as_points(points), False)[0]

    def value_bounds(self, lo: ArrayLike, hi: ArrayLike) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Bounds ``(lower, upper)`` on the values over the boxes from ``lo[i]`` to ``hi[i]``.

        Every point of box i has a value in [lower[i], upper[i]] (outward
        rounding included); both are NaN where some point may give NaN.
        A box whose ``lo`` exceeds its ``hi`` along some axis raises ValueError.
        """
        from .. import _engine
        from ..shapes.base import as_points

        return _engine.program_bounds(self.native, as_points(lo), as_points(hi))

    def __len__(self) -> int:
        """The number of instructions."""
        return len(self.code)

    def __repr__(self) -> str:
        return f"<quarvel.Program of {len(self)} instructions, {len(self.constants)} constants>"

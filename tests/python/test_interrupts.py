"""Interrupts: Ctrl-C during a long extraction ends it promptly with
KeyboardInterrupt, and a KeyboardInterrupt raised by the callable propagates.

The module checks for pending signals before every batch and between the
phases of the build and of the dual contouring, so a SIGINT that arrives while
it works in C++ is raised at the next check instead of when the call is over;
the package's pipeline checks within its stages too, every 50 ms of work.
Signals are tested in subprocesses, so that a hang or a crash cannot take
pytest down with it.
"""

from __future__ import annotations

import signal
import subprocess
import sys
import textwrap
import time

import pytest

import _quarvel_rs as q
from hardening_support import BOX, outcome, same_result

SANITIZER_MARKS = ("AddressSanitizer", "LeakSanitizer", "runtime error:", "Fatal Python error")

CHILD_PRELUDE = textwrap.dedent(
    """
    import importlib, os, signal, sys, time
    import numpy as np
    import _quarvel_rs as q

    def sphere(p):
        r = np.sqrt(np.einsum("ij,ij->i", p, p))
        return r - 0.5, p / np.where(r > 0.0, r, 1.0)[:, None]

    def sphere_fd(p):
        return sphere(p)[0], None
    """
)


def run_child(body, *argv):
    """Starts a Python child running the prelude and `body` with arguments `argv`."""
    return subprocess.Popen(
        [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(body), *argv],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def finish(proc, timeout):
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        pytest.fail(f"the child hung; stdout={out!r} stderr={err[-2000:]!r}")
    for mark in SANITIZER_MARKS:
        assert mark not in err, err[-4000:]
    return out, err


# ----------------------------------------------------------------------------- SIGINT from outside

LONG_RUN = """
field = {field}
def slow(p):
    time.sleep(0.002)  # a field that takes a little time per batch
    sys.stdout.write(f"call {{len(p)}}\\n")  # one write: a signal cannot split the line
    sys.stdout.flush()
    return field(p)

small = q.extract_mesh(sphere, (-1, -1, -1), (1, 1, 1), min_depth=2, max_depth=4)
start = time.monotonic()
try:
    {call}(slow, (-1, -1, -1), (1, 1, 1), 3, 9, adaptive={adaptive})
except KeyboardInterrupt:
    print("interrupted", flush=True)
else:
    print("completed", flush=True)
    sys.exit(3)
# Everything was released: the module works on as before.
again = q.extract_mesh(sphere, (-1, -1, -1), (1, 1, 1), min_depth=2, max_depth=4)
same = all(a.tobytes() == b.tobytes() and a.shape == b.shape for a, b in zip(small, again))
print("same" if same else "different", flush=True)
"""


# The package's pipeline works without the interpreter lock between its calls
# of the field: a signal is handled when it takes the lock back.
FRONT_DOORS = {"engine": "q.extract_mesh", "pipeline": "importlib.import_module('quarvel._engine').extract"}


@pytest.mark.parametrize("adaptive", [False, True], ids=["band", "balanced"])
@pytest.mark.parametrize(
    ("module", "field", "after_calls"),
    [("engine", f, n) for f in ("sphere", "sphere_fd") for n in (1, 4, 12, 25)]
    + [("pipeline", "sphere", 1), ("pipeline", "sphere_fd", 12)],
)
def test_sigint_ends_a_long_extraction_promptly(module, field, adaptive, after_calls):
    proc = run_child(LONG_RUN.format(field=field, adaptive=adaptive, call=FRONT_DOORS[module]))
    calls = 0
    while calls < after_calls:
        line = proc.stdout.readline()
        if not line:
            break  # the child ended early: reported below
        if line.startswith("call"):
            calls += 1
    assert calls == after_calls, "the extraction made fewer calls than expected"
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out, _ = finish(proc, timeout=60)
    latency = time.monotonic() - sent
    assert proc.returncode == 0, out[-500:]
    lines = [line for line in out.splitlines() if not line.startswith("call")]
    assert lines == ["interrupted", "same"]
    # The longest stretch between two checks at depth 9 is a fraction of a
    # second; 10 s leaves room for sanitizer builds and a loaded machine.
    assert latency < 10.0


# ----------------------------------------------------------------------------- within the pipeline's stages

# quarvel.mesh at depth 9, interrupted 50 ms after a progress report that
# opens seconds of work without another: the last level of refinement, the
# crossing search, the faces and their repair. Progress goes to print, which
# runs no Python code (that would handle the signal itself): the stages must
# check. A compiled shape runs no Python code at all; through NumPy, only the
# faces stage runs without calling the field.
STAGE_MESH = """
import functools
import quarvel as qv
native = sys.argv[1] == "compiled"
qv.mesh(qv.builtin("sphere"), max_depth=4, native=native, progress=False)
try:
    qv.mesh(qv.builtin("csg" if native else "torus"), max_depth=9, native=native,
            progress=functools.partial(print, flush=True))
except KeyboardInterrupt:
    caught = time.monotonic()
    cpu = time.process_time()
    time.sleep(0.3)
    print("interrupted", caught, time.process_time() - cpu, flush=True)
else:
    print("completed", flush=True)
small = qv.mesh(qv.builtin("sphere"), max_depth=4, native=native, progress=False)
print("again", small.is_watertight, flush=True)
"""


@pytest.mark.parametrize(
    ("path", "report"),
    [("compiled", "refining 5 7"), ("compiled", "crossings 0 0"), ("compiled", "faces"), ("numpy", "faces")],
)
def test_sigint_within_a_pipeline_stage_takes_effect_at_once(path, report):
    proc = run_child(STAGE_MESH, path)
    for line in proc.stdout:
        if line.split()[: len(report.split())] == report.split():
            break
    time.sleep(0.05)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out, _ = finish(proc, timeout=120)
    assert proc.returncode == 0, out[-500:]
    lines = [line.split() for line in out.splitlines() if line.startswith(("interrupted", "again", "completed"))]
    assert [words[0] for words in lines] == ["interrupted", "again"], out[-500:]
    # Within a tenth of a second when the machine is quiet (the stage went on
    # for seconds before); a bound that leaves room for a loaded machine.
    assert float(lines[0][1]) - sent < 1.0
    # No thread worked on after the call ended; the module works on as before.
    assert float(lines[0][2]) < 0.1
    assert lines[1] == ["again", "True"]


# ----------------------------------------------------------------------------- a signal in the C++ stages

# The alarm fires a moment after the field's last call has returned, that is
# while the module finishes the extraction in C++ (projection update, faces,
# largest component). sys.monitoring reports, through C callbacks that run no
# Python code (which would handle the signal themselves), whether extract_mesh
# raised or returned: it must raise, from its own check.
STAGE_RUN = """
import functools, io
depth = int(sys.argv[1])
count = []
q.extract_mesh(lambda p: (count.append(1), sphere(p))[1], (-1, -1, -1), (1, 1, 1),
               min_depth=3, max_depth=depth)
last = len(count)
state = {"calls": 0, "in_field": False}

def field(p):
    state["calls"] += 1
    r = sphere(p)
    try:
        if state["calls"] == last:
            signal.setitimer(signal.ITIMER_REAL, 0.001)
        return r
    except KeyboardInterrupt:
        state["in_field"] = True
        raise

signal.signal(signal.SIGALRM, signal.default_int_handler)
M = sys.monitoring
M.use_tool_id(4, "hardening")
events = io.StringIO()
M.register_callback(4, M.events.CALL, functools.partial(print, "call", file=io.StringIO()))
M.register_callback(4, M.events.C_RETURN, functools.partial(print, "return", file=events))
M.register_callback(4, M.events.C_RAISE, functools.partial(print, "raise", file=events))

def run():
    return q.extract_mesh(field, (-1, -1, -1), (1, 1, 1), min_depth=3, max_depth=depth)

M.set_local_events(4, run.__code__, M.events.CALL | M.events.C_RETURN | M.events.C_RAISE)
try:
    run()
    print("completed")
except KeyboardInterrupt:
    print("interrupted")
signal.setitimer(signal.ITIMER_REAL, 0)
M.set_local_events(4, run.__code__, 0)
raised = [l for l in events.getvalue().splitlines() if "extract_mesh" in l]
print("extract_mesh:", " ".join(l.split()[0] for l in raised))
print("in field:", state["in_field"], "calls:", state["calls"] == last)
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="watches the C call through sys.monitoring (3.12)")
def test_signal_during_the_final_cpp_stages_is_raised_by_the_call():
    proc = run_child(STAGE_RUN, "8")
    out, _ = finish(proc, timeout=120)
    assert proc.returncode == 0, out
    assert out.splitlines() == ["interrupted", "extract_mesh: raise", "in field: False calls: True"]


# ----------------------------------------------------------------------------- handlers that do not raise

HANDLER_RUN = """
hits = []
signal.signal(signal.SIGALRM, lambda signum, frame: hits.append(signum))
{handler}
plain = q.extract_mesh(sphere, (-1, -1, -1), (1, 1, 1), min_depth=2, max_depth=6)
signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)  # an alarm every half millisecond
try:
    got = q.extract_mesh(sphere, (-1, -1, -1), (1, 1, 1), min_depth=2, max_depth=6)
    outcome = "result"
except Exception as exc:
    got, outcome = None, type(exc).__name__ + ": " + str(exc)
signal.setitimer(signal.ITIMER_REAL, 0)
print(outcome)
if got is not None:
    print("same" if all(a.tobytes() == b.tobytes() for a, b in zip(plain, got)) else "different")
print("handled" if hits else "no alarm handled")
"""


def test_signal_handler_that_returns_does_not_disturb_the_result():
    proc = run_child(HANDLER_RUN.format(handler=""))
    out, _ = finish(proc, timeout=120)
    assert proc.returncode == 0, out
    assert out.splitlines() == ["result", "same", "handled"]


def test_exception_from_a_signal_handler_ends_the_call_with_it():
    handler = """
class Alarm(Exception):
    pass
def raising(signum, frame):
    hits.append(signum)
    if len(hits) == 1:  # once: later alarms must not escape before the timer stops
        raise Alarm("alarm")
signal.signal(signal.SIGALRM, raising)
"""
    proc = run_child(HANDLER_RUN.format(handler=handler))
    out, _ = finish(proc, timeout=120)
    assert proc.returncode == 0, out
    assert out.splitlines() == ["Alarm: alarm", "handled"]


# ----------------------------------------------------------------------------- from the callable


CALLS = {
    "extract_mesh": lambda f: q.extract_mesh(f, *BOX, min_depth=2, max_depth=4),
    "extract_mesh-balanced": lambda f: q.extract_mesh(f, *BOX, min_depth=1, max_depth=4,
                                                      adaptive=True),
    "build_octree_uniform": lambda f: q.build_octree_uniform(f, *BOX, 3),
    "build_octree_adaptive": lambda f: q.build_octree_adaptive(f, *BOX, 2, 4),
    "test_batch_eval": lambda f: q.test_batch_eval(f, [(0.1, 0.2, 0.3)]),
    "test_fd_gradients": lambda f: q.test_fd_gradients(f, [(0.1, 0.2, 0.3)]),
}


@pytest.mark.parametrize("where", ["first", "middle", "last"])
@pytest.mark.parametrize("name", list(CALLS))
def test_keyboard_interrupt_from_the_callable_propagates(name, where, fields):
    field = fields.sphere(0.5)
    rec = fields.Recorder(field)
    plain = CALLS[name](rec)
    k = {"first": 0, "middle": len(rec.calls) // 2, "last": len(rec.calls) - 1}[where]
    interrupt = KeyboardInterrupt("from the field")
    failing = fields.FailOnCall(field, k, interrupt)
    got = outcome(CALLS[name], failing)
    assert got.exc is interrupt and got.message == "from the field"
    assert failing.count == k + 1  # nothing is called after it
    # The module is unharmed: the same call gives the same result.
    assert same_result(CALLS[name](field), plain)


def test_interrupt_inside_a_nested_call_reaches_the_outer_caller(fields):
    inner_field = fields.FailOnCall(fields.sphere(0.5), 2, KeyboardInterrupt("inner"))

    def outer(points):
        q.extract_mesh(inner_field, *BOX, min_depth=2, max_depth=3)
        raise AssertionError("not reached")

    got = outcome(q.build_octree_uniform, outer, *BOX, 1)
    assert got.exc_type is KeyboardInterrupt and got.message == "inner"
    assert inner_field.count == 3

"""Threads, re-entrancy and fork.

- A callable that itself calls the module (nested, also several levels deep).
- Several interpreter threads meshing at once, with callables that release the
  interpreter lock (by sleeping briefly) so that the calls interleave.
- Meshing in a child made by os.fork() after the worker pool ran in the parent
  (in a subprocess, with a timeout: a child that inherited a locked pool would
  hang).
- The pool size from RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS, and results that are
  bit for bit the same for any size.
- A pool whose threads cannot all start (a preloaded shim makes pthread_create
  fail after k starts): it runs with those that did, with the same results.

Every result is compared with a plain call in this process.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import _quarvel_rs as q
from hardening_support import (
    BOX,
    box_field,
    cube_field,
    digest,
    outcome,
    same_result,
    two_spheres,
    unit_sphere_field,
)

SANITIZER_MARKS = ("AddressSanitizer", "LeakSanitizer", "runtime error:", "Fatal Python error")


def extract(field, **kw):
    kw = {"min_depth": 2, "max_depth": 4, **kw}
    return q.extract_mesh(field, *BOX, **kw)


# ----------------------------------------------------------------------------- nested calls


@pytest.mark.parametrize("adaptive", [False, True], ids=["band", "balanced"])
def test_callable_that_calls_extract_mesh(fields, adaptive):
    inner = two_spheres()
    inner_plain = extract(inner, max_depth=3)
    outer = fields.sphere(0.6, gradients=False)
    outer_plain = extract(outer, adaptive=adaptive)
    inner_results = []

    def nesting(points):
        inner_results.append(extract(inner, max_depth=3))
        return outer(points)

    got = extract(nesting, adaptive=adaptive)
    assert same_result(got, outer_plain)
    assert len(inner_results) > 10  # one nested extraction per outer batch
    assert all(same_result(r, inner_plain) for r in inner_results)


def test_nesting_three_levels_and_every_function(fields):
    sphere = fields.sphere(0.5)
    plain = {
        "uniform": q.build_octree_uniform(sphere, *BOX, 2),
        "adaptive": q.build_octree_adaptive(sphere, *BOX, 1, 3),
        "batch": q.test_batch_eval(sphere, [(0.1, 0.2, 0.3)]),
        "fd": q.test_fd_gradients(sphere, [(0.1, 0.2, 0.3)]),
    }
    seen = []

    def level2(points):
        seen.append(("uniform", q.build_octree_uniform(sphere, *BOX, 2)))
        seen.append(("batch", q.test_batch_eval(sphere, [(0.1, 0.2, 0.3)])))
        return sphere(points)

    def level1(points):
        seen.append(("adaptive", q.build_octree_adaptive(level2, *BOX, 1, 3)))
        seen.append(("fd", q.test_fd_gradients(sphere, [(0.1, 0.2, 0.3)])))
        return sphere(points)

    got = extract(level1, max_depth=3)
    assert same_result(got, extract(sphere, max_depth=3))
    kinds = {kind for kind, _ in seen}
    assert kinds == set(plain)
    assert all(same_result(result, plain[kind]) for kind, result in seen)


def test_nested_failure_reaches_the_outer_caller_unchanged(fields):
    class Inner(Exception):
        pass

    error = Inner("nested")
    failing = fields.FailOnCall(fields.sphere(0.5), 3, error)

    def outer(points):
        extract(failing, max_depth=3)
        raise AssertionError("not reached")

    got = outcome(extract, outer)
    assert got.exc is error
    assert extract(fields.sphere(0.5)) is not None  # the module works on


# ----------------------------------------------------------------------------- interpreter threads


def sleepy(field, pause=0.0005):
    def f(points):
        time.sleep(pause)  # releases the interpreter lock: other threads run meanwhile
        return field(points)

    return f


@pytest.mark.parametrize("threads", [2, 4])
def test_threads_meshing_at_once(fields, threads):
    cases = [
        (fields.sphere(0.5), {}),
        (box_field(gradients=False), {"adaptive": True, "min_depth": 1}),
        (two_spheres(), {"max_depth": 5}),
        (fields.sphere(0.3, gradients=False), {"max_depth": 3}),
    ][:threads]
    plain = [extract(f, **kw) for f, kw in cases]
    results: list = [None] * threads
    errors: list = []
    start = threading.Barrier(threads)

    def work(i):
        try:
            start.wait()
            field, kw = cases[i]
            results[i] = [extract(sleepy(field), **kw) for _ in range(3)]
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    pool = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in pool), "a meshing thread hung"
    assert errors == []
    for i in range(threads):
        assert all(same_result(r, plain[i]) for r in results[i])


def test_threads_with_failing_fields_leave_others_intact(fields):
    """One thread's field fails mid-way (an error, a short result); the other
    thread's extractions are unaffected."""
    good = fields.sphere(0.5)
    plain = extract(good)
    outcomes: dict = {}

    def short_values(points):
        time.sleep(0.0005)
        values, grads = good(points)
        return values[:-1], grads

    def failing_work():
        got = [outcome(extract, short_values) for _ in range(5)]
        outcomes["failing"] = {(o.exc_type, o.message) for o in got}

    def good_work():
        outcomes["good"] = [extract(sleepy(good)) for _ in range(3)]

    pool = [threading.Thread(target=failing_work), threading.Thread(target=good_work)]
    for t in pool:
        t.start()
    for t in pool:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in pool)
    assert outcomes["failing"] == {
        (q.PanicException, "index out of bounds: the len is 124 but the index is 124")
    }
    assert all(same_result(r, plain) for r in outcomes["good"])


# ----------------------------------------------------------------------------- subprocesses

CHILD_PRELUDE = textwrap.dedent(
    f"""
    import os, sys, time
    import numpy as np
    import _quarvel_rs as q
    sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
    from hardening_support import cube_field as box, digest, unit_sphere_field as sphere

    def mesh(field, **kw):
        kw = {{"min_depth": 2, "max_depth": 5, **kw}}
        return q.extract_mesh(field, (-1, -1, -1), (1, 1, 1), **kw)

    def threads():
        return len(os.listdir("/proc/self/task"))
    """
)


def run_child(body, env=None, timeout=120):
    full_env = dict(os.environ)
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        full_env.pop(name, None)
    full_env.update(env or {})
    try:
        proc = subprocess.run(
            [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(body)],
            capture_output=True,
            text=True,
            env=full_env,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"the child hung: {exc}")
    for mark in SANITIZER_MARKS:
        assert mark not in proc.stderr, proc.stderr[-4000:]
    assert proc.returncode == 0, proc.stderr[-4000:]
    return proc.stdout.split()


FORK_RUN = """
before = [digest(mesh(sphere)), digest(mesh(box, adaptive=True, min_depth=1))]
pid = os.fork()
if pid == 0:
    # The child has none of the parent's worker threads.
    try:
        got = [digest(mesh(sphere)), digest(mesh(box, adaptive=True, min_depth=1))]
        again = os.fork()  # and a grandchild, after the child's own pool ran
        if again == 0:
            os._exit(0 if digest(mesh(sphere)) == before[0] else 5)
        _, status = os.waitpid(again, 0)
        os._exit(0 if got == before and status == 0 else 4)
    except BaseException:
        os._exit(3)
deadline = time.monotonic() + 60
while True:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    if time.monotonic() > deadline:
        os.kill(pid, 9)
        print("hung")
        sys.exit(0)
    time.sleep(0.01)
print("child-status", os.waitstatus_to_exitcode(status))
print("parent", digest(mesh(sphere)) == before[0])
print(*before)
"""


@pytest.mark.parametrize("pool_threads", ["1", "2", "4"])
def test_meshing_in_a_forked_child(pool_threads):
    out = run_child(FORK_RUN, env={"RAYON_NUM_THREADS": pool_threads})
    assert out[:4] == ["child-status", "0", "parent", "True"]
    assert out[4:] == [
        digest(extract(unit_sphere_field, max_depth=5)),
        digest(extract(cube_field, adaptive=True, min_depth=1, max_depth=5)),
    ]


POOL_RUN = """
start = threads()
results = [
    digest(mesh(sphere)),
    digest(mesh(sphere, max_depth=6, adaptive=True)),
    digest(mesh(box)),
    digest(mesh(box, min_depth=1, adaptive=True)),
]
print(threads() - start, *results)
"""


@pytest.mark.parametrize(
    ("env", "workers"),
    [
        ({"RAYON_NUM_THREADS": "1"}, 0),
        ({"RAYON_NUM_THREADS": "2"}, 1),
        ({"RAYON_NUM_THREADS": "3"}, 2),
        ({"RAYON_NUM_THREADS": "5", "RAYON_RS_NUM_CPUS": "1"}, 4),
        ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "2"}, 1),
        ({"RAYON_RS_NUM_CPUS": "3"}, 2),
    ],
    ids=["1", "2", "3", "5-over-cpus", "bad-then-cpus", "cpus-3"],
)
def test_pool_size_and_results_identical_for_any_size(env, workers):
    """The pool has the asked number of threads (the caller works too, so
    n - 1 extra threads appear), and the meshes are bit for bit the same."""
    out = run_child(POOL_RUN, env=env)
    assert int(out[0]) == workers
    expected = [
        digest(extract(unit_sphere_field, max_depth=5)),
        digest(extract(unit_sphere_field, max_depth=6, adaptive=True)),
        digest(extract(cube_field, max_depth=5)),
        digest(extract(cube_field, min_depth=1, max_depth=5, adaptive=True)),
    ]
    assert out[1:] == expected


CALLS_RUN = """
import hashlib

def calls(field, run=None, **kw):
    # Every point the field is asked for, in order, and the mesh made.
    seen = hashlib.sha256()
    def recording(p):
        seen.update(p.tobytes())
        return field(p)
    result = (run or mesh)(recording, **{"min_depth": 3, **kw})
    return seen.hexdigest()[:16] + digest(result)[:16]
"""

ENGINE_CALLS_RUN = CALLS_RUN + """
print(calls(sphere, max_depth=7), calls(sphere, max_depth=7, adaptive=True),
      calls(box, max_depth=7), calls(box, min_depth=1, max_depth=7, adaptive=True))
"""


def test_field_calls_identical_for_any_pool_size():
    """The build's and the balance's parallel steps (corner gathering,
    children, whole-tree walks) at sizes where they run on the pool: every
    batch the field sees, in order, and the mesh are the same for 1, 2 and 5
    threads."""
    outs = [run_child(ENGINE_CALLS_RUN, env={"RAYON_NUM_THREADS": n}, timeout=300) for n in ("1", "2", "5")]
    assert outs[0] == outs[1] == outs[2]


PIPELINE_CALLS_RUN = CALLS_RUN + """
import quarvel

def pipeline(field, **kw):
    m = quarvel.mesh(field, ((-1, -1, -1), (1, 1, 1)), max_depth=7, progress=False, **kw)
    return m.vertices, m.triangles, m.normals

def values_only(field):
    return lambda p: (field(p)[0], None)

print(calls(sphere, pipeline), calls(values_only(sphere), pipeline),
      calls(box, pipeline, adaptive=True, min_depth=1))
"""


def test_pipeline_field_calls_identical_for_any_pool_size():
    """The same for the package's pipeline, whose guard adds the cells it has
    not proven to the parallel walks' requests and whose crossing search runs
    once per distinct edge."""
    outs = [run_child(PIPELINE_CALLS_RUN, env={"RAYON_NUM_THREADS": n}, timeout=300) for n in ("1", "2", "5")]
    assert outs[0] == outs[1] == outs[2]


SHIM_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "shims", "fail_pthread_create.c")


@pytest.fixture(scope="module")
def thread_start_shim(tmp_path_factory):
    """The shared library that makes pthread_create fail after k starts."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the pthread_create shim")
    library = str(tmp_path_factory.mktemp("shim") / "fail_pthread_create.so")
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # not the sanitizer runtime
    subprocess.run([compiler, "-shared", "-fPIC", "-o", library, SHIM_SOURCE, "-ldl"], check=True, env=env)
    return library


THREAD_START_FAILURE_RUN = """
import ctypes
ctypes.CDLL(os.environ["SHIM"]).fail_pthread_create_after(int(os.environ["STARTS"]))
start = threads()
results = [digest(mesh(sphere)), digest(mesh(box, min_depth=1, adaptive=True))]
print(threads() - start, *results)
"""


@pytest.mark.parametrize("starts", [0, 1, 2, 8, 11])
def test_pool_runs_with_the_threads_that_started(thread_start_shim, starts):
    """When the system refuses a thread, the pool runs with the workers it
    started (or none): no hang, no fault, the same meshes. The shim goes after
    any preloaded sanitizer runtime, which must stay first."""
    preload = f"{os.environ.get('LD_PRELOAD', '')} {thread_start_shim}".strip()
    env = {"RAYON_NUM_THREADS": "12", "LD_PRELOAD": preload, "SHIM": thread_start_shim, "STARTS": str(starts)}
    out = run_child(THREAD_START_FAILURE_RUN, env=env, timeout=60)
    assert int(out[0]) == min(starts, 11)
    assert out[1:] == [
        digest(extract(unit_sphere_field, max_depth=5)),
        digest(extract(cube_field, min_depth=1, max_depth=5, adaptive=True)),
    ]


def test_an_absurd_pool_size_is_capped():
    out = run_child(POOL_RUN, env={"RAYON_NUM_THREADS": "100000"})
    assert int(out[0]) == 1023


FORK_IN_FIELD_RUN = """
plain = digest(mesh(sphere))
state = {"calls": 0, "child": False}

def forking(p):
    state["calls"] += 1
    if state["calls"] == 12:  # in the crossing search, between parallel phases
        if os.fork() == 0:
            state["child"] = True
    return sphere(p)

# Warm the pool first, so that the fork happens with its workers alive.
mesh(sphere)
result = digest(mesh(forking))
if state["child"]:
    os._exit(0 if result == plain else 7)
_, status = os.waitpid(-1, 0)
print("child-status", os.waitstatus_to_exitcode(status))
print("parent", result == plain)
"""


@pytest.mark.parametrize("pool_threads", ["1", "2"])
def test_fork_inside_the_callable(pool_threads):
    """The callable forks mid-extraction: parent and child both finish the
    same extraction, each with the same mesh as a plain call."""
    out = run_child(FORK_IN_FIELD_RUN, env={"RAYON_NUM_THREADS": pool_threads})
    assert out == ["child-status", "0", "parent", "True"]


SUBINTERPRETER_RUN = """
import _interpreters
first = digest(mesh(sphere))
for config in ("isolated", "legacy"):
    interp = _interpreters.create(config)
    failure = _interpreters.run_string(interp, "import _quarvel_rs")
    _interpreters.destroy(interp)
    print(config, failure.type.__name__ if failure else "imported")
print(digest(mesh(sphere)) == first)
"""


def test_import_in_a_subinterpreter_is_refused():
    """A second interpreter cannot import the module (ImportError, not a crash),
    and the first one goes on working."""
    pytest.importorskip("_interpreters")
    out = run_child(SUBINTERPRETER_RUN)
    assert out == ["isolated", "ImportError", "legacy", "ImportError", "True"]


def test_callable_that_drops_its_own_references_and_collects(fields):
    """The module holds the callable for the whole call: it may drop every
    other reference to itself, clear the box lists it was given and run the
    garbage collector."""
    import gc

    sphere = fields.sphere(0.5)
    plain = extract(sphere)
    bmin, bmax = list(BOX[0]), list(BOX[1])

    class Field:
        def __call__(self, points):
            holder.clear()
            bmin.clear()
            bmax.clear()
            gc.collect()
            return sphere(points)

    holder = [Field()]
    got = q.extract_mesh(holder[0], bmin, bmax, min_depth=2, max_depth=4)
    assert same_result(got, plain)
    assert holder == [] and bmin == [] and bmax == []

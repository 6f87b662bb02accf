"""Calls that type checkers must judge as the interpreter does (checked by mypy in test_quarvel_stubs):
each ignore below must be needed, or mypy --strict reports it unused."""

import quarvel as qv

qv.mesh(qv.sphere(0.5), ((-1, -1, -1), (1, 1, 1)), max_depth=5, tolerance=0.01, keep="largest")
qv.mesh(qv.sphere(0.5), max_dept=5)  # type: ignore[call-arg]
qv.mesh(qv.sphere(0.5), max_depth="5")  # type: ignore[arg-type]
qv.mesh(qv.sphere(0.5), None, 5)  # type: ignore[call-arg]

#!/usr/bin/env python3
"""@brief Runs pytest with the arguments given (as `python3 -m pytest` would), or exits 77, CTest's
"skipped", when the interpreter has no pytest or no numpy."""

import importlib
import sys

missing = []
for name in ("pytest", "numpy"):
    try:
        importlib.import_module(name)
    except ImportError:
        missing.append(name)
if missing:
    print(f"SKIP: no {', '.join(missing)} for {sys.executable}")
    sys.exit(77)

import pytest  # noqa: E402

sys.exit(pytest.main(sys.argv[1:]))

"""The Python packages the tests read and render with are Debian's (python3-mido, python3-numpy,
python3-scipy, python3-selenium), installed for the system interpreter. A test started by another
interpreter that lacks them runs itself again under that one."""
import importlib
import os
import sys

SYSTEM = "/usr/bin/python3"


def need(*modules, skip=False):
    """Imports each module. When one is missing and this is not the system interpreter, runs the
    calling script again under it; under it, raises the ImportError or, with skip, exits 77 (the
    code ctest counts as skipped)."""
    try:
        for name in modules:
            importlib.import_module(name)
    except ImportError:
        if os.path.realpath(sys.executable) != os.path.realpath(SYSTEM) and os.path.exists(SYSTEM):
            os.execv(SYSTEM, [SYSTEM] + sys.argv)
        if skip:
            sys.exit(77)
        raise

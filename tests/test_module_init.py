import subprocess
import sys

import pytest

SCRIPT = r'''
import corvane
import _testcapi
code = """
import os
try:
    import corvane
    os.write(1, b'imported\\n')
except ImportError as e:
    os.write(1, ('ImportError: ' + str(e) + '\\n').encode())
"""
_testcapi.run_in_subinterp(code)

# The first interpreter's module is untouched by the refused import.
print(corvane._UpliftRandomForestModel(1, 1, 1, 1, "ED", 1, False, False, 0.0).save.__name__)
'''


def test_a_second_initialisation_is_refused():
    pytest.importorskip("_testcapi")
    out = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "ImportError: corvane may only be initialized once per interpreter process", "save"]

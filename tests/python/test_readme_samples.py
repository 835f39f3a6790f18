"""Every Python sample of the README runs.

Fences marked ```python are whole programs and run in a child interpreter. Fences marked
```python session are fragments that use `session` (connected) and `sim` (the simulator behind
it); each runs as the body of a coroutine against a fresh simulated device.
"""

import asyncio
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

from session_support import SimulatedDevice

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
FENCE = re.compile(r"^```python( session)?\n(.*?)^```$", re.S | re.M)


def samples(kind):
    text = README.read_text()
    found = []
    for match in FENCE.finditer(text):
        if bool(match.group(1)) == (kind == "session"):
            line = text.count("\n", 0, match.start()) + 1
            found.append(pytest.param(match.group(2), id=f"README.md:{line}"))
    return found


def test_the_readme_has_both_kinds_of_samples():
    assert len(samples("program")) >= 4 and len(samples("session")) >= 5


@pytest.mark.parametrize("code", samples("program"))
def test_program_sample_runs(code, tmp_path):
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60, env=os.environ, cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


@pytest.mark.parametrize("code", samples("session"))
async def test_session_sample_runs(code, capsys):
    namespace = {"asyncio": asyncio}
    exec("async def sample(session, sim):\n" + textwrap.indent(code, "    "), namespace)
    async with SimulatedDevice({"safety_shutdown_delay": 0.05, "stall_timeout_default": 0.5}, speed_factor=0.01,
                               homing_time=0.2, probe_contact={"Z": -3.2}) as device:
        await asyncio.wait_for(namespace["sample"](device.session, device.sim), 30)
        assert device.sim.overflows == []

"""The host example runs to completion against the simulator, and the stubs reject misuse."""

import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "host_example.py"


def test_host_example_runs_to_completion():
    out = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True,
                         timeout=60, env=os.environ)
    assert out.returncode == 0, out.stdout + out.stderr
    lines = out.stdout.splitlines()
    # One line per stage the example reaches; the last ones come after disconnect.
    for prefix in ("answer ['ok']", "firmware 1.1h", "unit system metric", "G55 (1.0, 2.0, 0.0)",
                   "probe (", "job done, progress [0, 1, 2]", "held: HOLD", "cancelled after",
                   "simulator overflows: []"):
        assert any(line.startswith(prefix) for line in lines), prefix
    assert "job_running: False" in out.stdout


# Each line marked "# bad" must be reported by mypy, and no other line.
MISUSE = textwrap.dedent(
    """\
    import asyncio
    import vantorix

    grbl = vantorix.grbl
    session = grbl.GrblSession.with_transport(grbl.MockTransport())
    state = grbl.types.DeviceState()

    def on_progress(op_index: str) -> None: ...

    async def main() -> None:
        await session.home(active_wcs="G55")
        await session.home(active_wcs=None)  # bad
        await session.set_wcs_offset("G54", 1.0, 2.0, None)
        await session.set_wcs_offset("G54", 1.0, 2.0)  # bad
        await session.jog(100, [("X", 1.0)])
        await session.jog(100, [["X", 1.0]])  # bad
        await session.run("G0 X1\\n", None, None, on_progress)  # bad
        parser_state: int | None = await session.read_parser_state()  # bad
        units: str | None = await session.detect_unit_system()
        hit = await session.run_probe_cycle("Z", -5, 100)
        print(hit[0])  # bad
        grbl.GrblSession(None)  # bad
        grbl.parser.error_code_to_device_error(9)  # bad
        state.machine_pos = [1.0, None, 2]
        state.machine_pos = "1,2,3"  # bad
        session.state = state  # bad
        grbl.types.DeviceStatus.IDLE.name = "x"  # bad
        grbl.parser.is_grbl_output("Grbl 1.1h")  # bad
        grbl.GrblSession({"host": "cnc.local", "tcp_port": "23"})  # bad
        grbl.GrblSession({"port": "/dev/ttyUSB0"}, {"safety_off_commands": ["M5", "M9"]})
    """
)


def test_mypy_rejects_misuse(tmp_path):
    pytest.importorskip("mypy")
    source = tmp_path / "misuse.py"
    source.write_text(MISUSE)
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         "--no-error-summary", str(source)],
        capture_output=True, text=True, timeout=300, env=os.environ,
    )
    reported = {int(m.group(1)) for m in re.finditer(r"misuse\.py:(\d+): error", out.stdout)}
    expected = {n for n, line in enumerate(MISUSE.splitlines(), 1) if line.endswith("# bad")}
    assert reported == expected, out.stdout

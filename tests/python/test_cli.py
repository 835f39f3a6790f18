"""The vantorix command against the simulator, in-process and over a pseudo-terminal."""

import os
import subprocess
import sys

import pytest

from vantorix_tools.cli import program_lines
from vantorix_tools.sim import GrblSimulator, PtyServer


def run_cli(*args, timeout=120):
    return subprocess.run([sys.executable, "-m", "vantorix_tools", *args],
                          capture_output=True, text=True, timeout=timeout, env=os.environ)


@pytest.fixture
def job(tmp_path):
    path = tmp_path / "job.gcode"
    path.write_text("G21\nG90\n" + "".join(f"G1 X{i} Y{i % 7} F3000\n" for i in range(300)))
    return path


@pytest.mark.parametrize(
    "text, lines",
    [("", []), ("G0 X1\n", ["G0 X1"]), ("a\n\nb", ["a", "", "b"]), ("a\r\nb\n", ["a\r", "b"])],
)
def test_program_lines_match_the_session_numbering(text, lines):
    assert program_lines(text) == lines


def test_streams_to_the_built_in_simulator(job):
    out = run_cli("stream", str(job))
    assert out.returncode == 0, out.stderr
    assert "progress 100% (302/302 lines)" in out.stderr
    assert "streamed 302 lines" in out.stderr


def test_streams_over_a_pty(job):
    sim = GrblSimulator(speed_factor=0)
    with PtyServer(sim) as server:
        out = run_cli("stream", str(job), "--port", server.device)
    assert out.returncode == 0, out.stderr
    assert "streamed 302 lines" in out.stderr
    assert sim.overflows == []


def test_device_error_fails_the_run(tmp_path):
    path = tmp_path / "bad.gcode"
    path.write_text("G21\nG99\nG0 X1\n")
    out = run_cli("stream", str(path))
    assert out.returncode == 1
    assert "job stopped: error:20" in out.stderr


def test_missing_file():
    out = run_cli("stream", "/nonexistent/job.gcode")
    assert out.returncode == 2
    assert "No such file" in out.stderr

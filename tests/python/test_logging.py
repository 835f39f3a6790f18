"""init_logging configures process-wide state, so each case runs in a child interpreter."""

import os
import subprocess
import sys

import pytest

import vantorix

ENV_VAR = "VANTORIX_LOG"


def run_child(code, env_value=None):
    env = dict(os.environ)
    env.pop(ENV_VAR, None)
    if env_value is not None:
        env[ENV_VAR] = env_value
    out = subprocess.run(
        [sys.executable, "-c", "import vantorix\n" + code],
        capture_output=True, text=True, env=env, timeout=60,
    )
    assert out.returncode == 0, out.stderr
    return out


@pytest.mark.parametrize(
    "filter_text, env_value, warnings",
    [
        ("warn", None, []),
        ("a=b=c,warn", None, ["warning: invalid logging spec 'a=b=c', ignoring it"]),
        ("x=loud", None, ["warning: invalid logging spec 'loud', ignoring it"]),
        ("warn/a/b", None, ["warning: invalid logging spec 'warn/a/b' (too many '/'s), ignoring it"]),
        ("info/(", None, ["warning: invalid regex filter - "]),
        ("a=b=c", "trace", []),
        ("trace", "x=loud,y=1=2", [
            "warning: invalid logging spec 'loud', ignoring it",
            "warning: invalid logging spec 'y=1=2', ignoring it",
        ]),
    ],
)
def test_filter_warnings_go_to_stderr(filter_text, env_value, warnings):
    out = run_child(f"assert vantorix.init_logging({filter_text!r}) is None", env_value)
    lines = out.stderr.splitlines()
    assert len(lines) == len(warnings)
    for line, expected in zip(lines, warnings):
        assert line.startswith(expected)
        assert line.endswith(", ignoring it")


def test_path_is_created_and_missing_directory_is_tolerated(tmp_path):
    log_file = tmp_path / "session.log"
    missing = tmp_path / "no" / "such" / "dir.log"
    run_child(
        f"assert vantorix.init_logging(path={str(log_file)!r}) is None\n"
        f"assert vantorix.init_logging('info', {str(missing)!r}) is None\n"
    )
    assert log_file.exists()
    assert not missing.exists()


@pytest.mark.parametrize(
    "kwargs, name",
    [
        ({"filter": 1}, "filter"),
        ({"filter": b"warn"}, "filter"),
        ({"path": 3.5}, "path"),
        ({"filter": "warn", "path": b"/tmp/x"}, "path"),
    ],
)
def test_argument_types(kwargs, name):
    with pytest.raises(TypeError, match=rf"^argument '{name}': "):
        vantorix.init_logging(**kwargs)


def test_unknown_keyword_and_surplus_arguments():
    with pytest.raises(TypeError):
        vantorix.init_logging(level="warn")
    with pytest.raises(TypeError):
        vantorix.init_logging("warn", None, None)


def test_docstring():
    doc = vantorix.init_logging.__doc__
    assert ENV_VAR in doc and "append" in doc and "warn" in doc

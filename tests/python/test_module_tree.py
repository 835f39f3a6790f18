import inspect
import subprocess
import sys

import pytest

import vantorix
grbl = vantorix.grbl
parser = grbl.parser
types = grbl.types

PARSER_NAMES = [
    "parse_state",
    "parse_version",
    "parse_ver",
    "parse_opt_info",
    "parse_opt_flags",
    "parse_msg",
    "extract_device_name",
    "extract_device_name_from_output",
    "is_grbl_output",
    "strip_gcode_comments",
    "split_realtime_commands",
    "gcode_to_p_number",
    "version_supports_single_axis_homing",
    "parse_grbl_settings",
    "parse_setting_pairs",
    "parse_wcs_line",
    "parse_probe_line",
    "parse_grbl_parser_state",
    "detect_unit_system_from_settings",
    "is_report_in_inches",
    "error_code_to_device_error",
    "alarm_code_to_device_error",
]


def test_top_level_module():
    assert vantorix.__name__ == "vantorix"
    assert vantorix.__doc__ == ""
    assert not hasattr(vantorix, "__all__")
    assert not hasattr(vantorix, "_shutdown_runtime")
    assert vantorix.init_logging.__module__ == "vantorix"
    assert vantorix.init_logging.__self__ is vantorix
    assert str(inspect.signature(vantorix.init_logging)) == "(filter=None, path=None)"


@pytest.mark.parametrize(
    "module, name, doc_start, all_names",
    [
        (grbl, "grbl", None, ["GrblSession", "MockTransport", "types"]),
        (
            types,
            "types",
            "Value types shared by the GRBL drivers: DeviceState, DeviceStatus and DeviceError. "
            "These mirror the identically-named types in Kilnmark so the Python shell can "
            "convert losslessly.\n",
            ["DeviceState", "DeviceStatus", "DeviceError"],
        ),
        (
            parser,
            "parser",
            "Pure parsers for GRBL response data: status reports, build info, settings, WCS "
            "offsets, probe results and raw-output classification. All functions are "
            "side-effect free.\n",
            None,
        ),
    ],
)
def test_submodules(module, name, doc_start, all_names):
    assert module.__name__ == name
    if doc_start is not None:
        assert module.__doc__ == doc_start
    if all_names is not None:
        assert module.__all__ == all_names


def test_grbl_docstring():
    title, blank, body = grbl.__doc__.split("\n", 2)
    assert title and blank == ""
    assert body == (
        "The central type is GrblSession: it owns the connection lifecycle (handshake, status "
        "polling, reconnect), interactive commands, and job streaming with character-counting "
        "flow control, stall detection and deadlock recovery. Dialects remain data owned by "
        "Kilnmark: resolved command templates are passed into the session.\n"
    )


def test_submodules_are_attributes_not_imports():
    import sys

    assert "parser" not in grbl.__all__
    assert grbl.parser is parser
    assert not any(key.startswith("vantorix.") for key in sys.modules)
    with pytest.raises(ImportError):
        __import__("vantorix.grbl")


def test_types_module_attribute_order():
    names = [n for n in vars(types) if not n.startswith("__")]
    assert names == ["DeviceStatus", "DeviceError", "DeviceState"]
    for cls in (types.DeviceStatus, types.DeviceError, types.DeviceState):
        assert cls.__module__ == "vantorix.grbl.types"
        assert cls.__qualname__ == cls.__name__


def test_parser_functions_follow_the_fixed_order():
    assert parser.__all__ == PARSER_NAMES
    names = [n for n in vars(parser) if not n.startswith("__")]
    assert names == parser.__all__
    for name in parser.__all__:
        function = getattr(parser, name)
        assert function.__module__ == "parser"
        assert function.__self__ is parser
        assert function.__text_signature__ is not None


@pytest.mark.parametrize(
    "function, signature",
    [
        ("parse_state", "(state_str, default=None, report_in_inches=False)"),
        ("error_code_to_device_error", "(error_code)"),
        ("alarm_code_to_device_error", "(alarm_code)"),
    ],
)
def test_parser_signatures(function, signature):
    assert str(inspect.signature(getattr(parser, function))) == signature


def test_shutdown_hook_is_handed_to_atexit():
    # The hook is reachable only through atexit, so a child interpreter records what
    # vantorix registers by wrapping atexit.register before the import.
    code = """
import atexit, inspect
seen = []
real = atexit.register
atexit.register = lambda f, *a, **k: (seen.append(f), real(f, *a, **k))[1]
import vantorix
atexit.register = real
[hook] = seen
assert hook.__name__ == "_shutdown_runtime"
assert hook.__self__ is vantorix and hook.__module__ == "vantorix"
assert str(inspect.signature(hook)) == "()"
assert hook.__doc__.endswith("Called via `atexit`, before CPython\\nfinalizes the interpreter.")
assert hook() is None and hook() is None
print("ok")
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "ok\n"

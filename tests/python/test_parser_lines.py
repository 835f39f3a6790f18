import inspect

import pytest

import vantorix

parser = vantorix.grbl.parser

SIGNATURES = {
    "parse_version": (
        "(response_lines)",
        "Parse `$I` response lines to extract the firmware version.",
    ),
    "parse_ver": ("(line)", "Parse a `[VER:...]` line into `(version, build_name)`."),
    "parse_opt_info": ("(line)", "Extract the RX buffer size from an `[OPT:...]` line."),
    "parse_opt_flags": ("(line)", "Extract the compile option flags from an `[OPT:...]` line."),
    "parse_msg": ("(line)", "Parse a `[MSG:key:value]` line into `(key, value)`."),
    "extract_device_name": (
        "(build_info)",
        "Extract a human-readable device name from build info lines.",
    ),
    "extract_device_name_from_output": (
        "(data)",
        "Extract a device name from raw serial output, falling back to\n"
        "the first informative banner line.",
    ),
    "is_grbl_output": ("(data)", "True when raw serial output identifies a Grbl device."),
    "version_supports_single_axis_homing": (
        "(version_num, version_letter='')",
        "True if a GRBL version supports single-axis homing (> 1.1 or\n1.1g and newer).",
    ),
    "parse_wcs_line": ("(line)", "Parse a `[G5x:x,y,z]` line from `$#` output."),
    "gcode_to_p_number": (
        "(wcs_slot)",
        'Convert a G-code WCS name (e.g. "G54") to its P-number.',
    ),
    "parse_probe_line": (
        "(line)",
        "Parse a `[PRB:x,y,z:success]` line into `(pos, success)`.",
    ),
    "parse_grbl_parser_state": (
        "(response_lines)",
        "Parse `$G` response lines to find the active WCS (G54-G59).",
    ),
}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_signature_and_docstring(name):
    function = getattr(parser, name)
    signature, doc = SIGNATURES[name]
    assert str(inspect.signature(function)) == signature
    assert function.__doc__ == doc
    assert function.__module__ == "parser"


# ---- results and their Python types --------------------------------------------------


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: parser.parse_version(["ok", "[VER:1.1h.20190825:]", "[VER:2.0]"]), "1.1h"),
        (lambda: parser.parse_version(("[VER:]", "[VER:,x]")), ""),
        (lambda: parser.parse_version([]), None),
        (lambda: parser.parse_ver("[VER:1.1h.20190825:]"), ("1.1h", "20190825")),
        (lambda: parser.parse_ver("[VER:1.1h]"), ("1.1h", None)),
        (lambda: parser.parse_ver("[VER:]"), None),
        (lambda: parser.parse_opt_info("[OPT:V,15,128]"), 128),
        (lambda: parser.parse_opt_info("[OPT:VL,15,128,3]"), None),
        (lambda: parser.parse_opt_flags("[OPT:V,15,128]"), "V"),
        (lambda: parser.parse_opt_flags("[OPT:v,15,128]"), None),
        (lambda: parser.parse_msg("[MSG: Machine : Laser 5000 ]"), ("Machine", "Laser 5000")),
        (lambda: parser.parse_msg("[MSG:Reset to continue]"), None),
        (lambda: parser.extract_device_name(["[MSG:MECHINE:Cutter]"]), "Cutter"),
        (lambda: parser.extract_device_name([]), "Unknown Grbl Device"),
        (
            lambda: parser.extract_device_name_from_output(b"\r\nGrbl 1.1h ['$' for help]\r\n"),
            "Grbl 1.1h ['$' for help]",
        ),
        (lambda: parser.extract_device_name_from_output(b"ok\r\nerror:9\r\n<Idle|MPos:0,0,0>\r\n"), None),
        (lambda: parser.extract_device_name_from_output(b"x" * 100), "x" * 80),
        (lambda: parser.extract_device_name_from_output(b"Grbl\xff\n"), "Grbl\ufffd"),
        # Noise before the banner, as after a reset, is not taken for the banner.
        (lambda: parser.extract_device_name_from_output(b"\xff\r\nGrbl 1.1h\r\n"), "Grbl 1.1h"),
        (lambda: parser.is_grbl_output(b"GRBLHAL 1.1f"), True),
        (lambda: parser.is_grbl_output(b"<idle|"), True),
        (lambda: parser.is_grbl_output(b"[gc:G0"), True),
        (lambda: parser.is_grbl_output(b"grblx"), False),
        (lambda: parser.is_grbl_output(b"<Jog|"), False),
        (lambda: parser.is_grbl_output("éGrbl".encode()), False),
        (lambda: parser.gcode_to_p_number("G54"), 1),
        (lambda: parser.gcode_to_p_number("G59"), 6),
        (lambda: parser.gcode_to_p_number("G59.1"), None),
        (lambda: parser.version_supports_single_axis_homing(1.1), False),
        (lambda: parser.version_supports_single_axis_homing(1.1, "f"), False),
        (lambda: parser.version_supports_single_axis_homing(1.1, "g"), True),
        (lambda: parser.version_supports_single_axis_homing(1.2), True),
        (lambda: parser.version_supports_single_axis_homing(2), True),
        (lambda: parser.version_supports_single_axis_homing(1.0, "z"), False),
        (lambda: parser.parse_wcs_line("[G54:0.000,0.000,0.000]"), ("G54", 0.0, 0.0, 0.0)),
        (lambda: parser.parse_wcs_line("[G55:1,2]"), ("G55", 1.0, 2.0, 0.0)),
        (lambda: parser.parse_wcs_line("[G54:1.2.3,0,0]"), None),
        (lambda: parser.parse_probe_line("[PRB:1.000,2.000,-3.500:1]"), ((1.0, 2.0, -3.5), True)),
        (lambda: parser.parse_probe_line("[PRB:0,0,0:0]"), ((0.0, 0.0, 0.0), False)),
        (
            lambda: parser.parse_grbl_parser_state(["ok", "[GC:G0 G54 G17 G21 G90 G94 M5 M9 T0 F0 S0]"]),
            "G54",
        ),
        (lambda: parser.parse_grbl_parser_state(["[GC:G0 G53]"]), None),
    ],
)
def test_results(call, expected):
    result = call()
    assert result == expected
    # Exact Python types: a bool is not an int here, a float not an int.
    assert type(result) is type(expected)
    if isinstance(expected, tuple):
        assert [type(item) for item in result] == [type(item) for item in expected]


# ---- argument handling ----------------------------------------------------------------


@pytest.mark.parametrize(
    "data",
    [
        b"[VER:1.1h]\n",
        bytearray(b"[VER:1.1h]\n"),
        list(b"[VER:1.1h]\n"),
        tuple(b"[VER:1.1h]\n"),
        memoryview(b"[VER:1.1h]\n"),
    ],
)
def test_data_accepts_bytes_like_and_int_sequences(data):
    assert parser.is_grbl_output(data) is True
    assert parser.extract_device_name_from_output(data) == "[VER:1.1h]"


@pytest.mark.parametrize(
    "data, error",
    [
        ("Grbl 1.1h", TypeError),
        (None, TypeError),
        (42, TypeError),
        ([71, "r"], TypeError),
        ([71, 1.5], TypeError),
        ([71, 256], OverflowError),
        ([-1], OverflowError),
        ([2**70], OverflowError),
    ],
)
def test_data_refuses_str_and_bad_items(data, error):
    for function in (parser.is_grbl_output, parser.extract_device_name_from_output):
        with pytest.raises(error, match="^argument 'data': "):
            function(data)


@pytest.mark.parametrize(
    "function, name",
    [
        (parser.parse_version, "response_lines"),
        (parser.extract_device_name, "build_info"),
        (parser.parse_grbl_parser_state, "response_lines"),
    ],
)
@pytest.mark.parametrize("value", ["[VER:1.1h]", b"[VER:1.1h]", ["ok", b"[VER:1.1h]"], [1], None, 3])
def test_line_lists_refuse_str_and_non_str_items(function, name, value):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        function(value)


def test_line_lists_accept_any_sequence_of_str():
    assert parser.parse_version(("[VER:1.1h]",)) == "1.1h"
    assert parser.extract_device_name(["[MSG:Machine:X]"]) == "X"


@pytest.mark.parametrize(
    "function",
    [
        parser.parse_ver,
        parser.parse_opt_info,
        parser.parse_opt_flags,
        parser.parse_msg,
        parser.parse_wcs_line,
        parser.parse_probe_line,
    ],
)
@pytest.mark.parametrize("value", [b"[VER:1.1h]", None, ["[VER:1.1h]"]])
def test_line_must_be_str(function, value):
    with pytest.raises(TypeError, match="^argument 'line': "):
        function(value)
    # Keyword use names the same parameter.
    with pytest.raises(TypeError, match="^argument 'line': "):
        function(line=value)


def test_gcode_to_p_number_argument():
    assert parser.gcode_to_p_number(wcs_slot="G55") == 2
    with pytest.raises(TypeError, match="^argument 'wcs_slot': "):
        parser.gcode_to_p_number(54)


def test_single_axis_homing_arguments():
    assert parser.version_supports_single_axis_homing(version_num=1.1, version_letter="h")
    with pytest.raises(TypeError, match="^argument 'version_num': "):
        parser.version_supports_single_axis_homing("1.1")
    with pytest.raises(TypeError, match="^argument 'version_letter': "):
        parser.version_supports_single_axis_homing(1.1, b"g")
    with pytest.raises(TypeError, match="^argument 'version_letter': "):
        parser.version_supports_single_axis_homing(1.1, None)

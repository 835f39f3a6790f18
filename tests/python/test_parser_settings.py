import inspect
import math

import pytest

import vantorix

parser = vantorix.grbl.parser

LISTING = ["$0=10", "ok", "$13=0 (report inches)", "$100=250.000", "$13=1"]

SIGNATURES = [
    ("strip_gcode_comments", "(line)", "Strip G-code comments from a line."),
    (
        "split_realtime_commands",
        "(lines)",
        "Split command lines into `(gcode, realtime)` groups.",
    ),
    ("parse_grbl_settings", "(lines)", "Parse `$$` lines into `{key: value}` floats."),
    (
        "parse_setting_pairs",
        "(lines)",
        "Parse `$$` lines into ordered `(key, raw_value)` pairs.",
    ),
    (
        "detect_unit_system_from_settings",
        "(settings_lines)",
        'Infer the unit system ("metric"/"imperial") from `$$` lines.',
    ),
    (
        "is_report_in_inches",
        "(settings_lines)",
        "True when the `$13` (Report in inches) flag is set.",
    ),
]


@pytest.mark.parametrize("name, signature, doc", SIGNATURES)
def test_signature_and_docstring(name, signature, doc):
    function = getattr(parser, name)
    assert str(inspect.signature(function)) == signature
    assert function.__doc__ == doc
    assert function.__module__ == "parser"
    assert name in parser.__all__


def test_setting_pairs_keep_order_duplicates_and_raw_text():
    assert parser.parse_setting_pairs(LISTING) == [
        ("0", "10"),
        ("13", "0"),
        ("100", "250.000"),
        ("13", "1"),
    ]
    assert all(type(pair) is tuple for pair in parser.parse_setting_pairs(LISTING))
    assert parser.parse_setting_pairs(lines=("$22=1.2.3",)) == [("22", "1.2.3")]
    assert parser.parse_setting_pairs([]) == []


def test_grbl_settings_as_floats():
    settings = parser.parse_grbl_settings(LISTING)
    assert settings == {"0": 10.0, "13": 1.0, "100": 250.0}
    assert list(settings) == ["0", "13", "100"]
    assert all(type(value) is float for value in settings.values())
    assert parser.parse_grbl_settings(["$N0=G54", "$22=1.2.3"]) == {}
    assert parser.parse_grbl_settings(["$1=-.5", "$2=" + "9" * 400]) == {
        "1": -0.5,
        "2": math.inf,
    }


@pytest.mark.parametrize(
    "lines, inches, unit",
    [
        ([], False, None),
        (["$13=0"], False, "metric"),
        (["$13=1"], True, "imperial"),
        (["$13=0.9"], False, "metric"),
        (["$13=-1"], True, "imperial"),
        (["$13=1", "$13=0"], False, "metric"),
        (["$13=--1"], False, None),
    ],
)
def test_unit_system_from_setting_13(lines, inches, unit):
    assert parser.is_report_in_inches(lines) is inches
    assert parser.detect_unit_system_from_settings(lines) == unit
    assert parser.is_report_in_inches(settings_lines=lines) is inches


@pytest.mark.parametrize(
    "line, stripped",
    [
        ("  G0 X1 ; rapid", "G0 X1"),
        ("(only a comment)", ""),
        ("G1 (open", "G1 (open"),
        ("G1 X1 (a) Y2 (b)", "G1 X1  Y2"),
        ("G1 X10 (a;b) Y5", "G1 X10  Y5"),
        ("\u3000G0 (\u00e9) X1\u00a0", "G0  X1"),
    ],
)
def test_strip_gcode_comments(line, stripped):
    assert parser.strip_gcode_comments(line) == stripped


def test_split_realtime_commands():
    result = parser.split_realtime_commands(["G0 X1", "?", "!", "~", "? ", "M5"])
    assert result == (["G0 X1", "? ", "M5"], ["?", "!", "~"])
    assert type(result) is tuple
    assert parser.split_realtime_commands(()) == ([], [])


class Lines:
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


def test_any_sequence_of_str_is_accepted():
    assert parser.split_realtime_commands(Lines("?", "G0")) == (["G0"], ["?"])


LIST_FUNCTIONS = [
    ("parse_setting_pairs", "lines"),
    ("parse_grbl_settings", "lines"),
    ("is_report_in_inches", "settings_lines"),
    ("detect_unit_system_from_settings", "settings_lines"),
    ("split_realtime_commands", "lines"),
]


@pytest.mark.parametrize("name, argument", LIST_FUNCTIONS)
@pytest.mark.parametrize(
    "value, reason",
    [
        ("$13=1", "expected a sequence of str, got str"),
        (None, "expected a sequence of str, got NoneType"),
        ({"$13=1": 1}, "expected a sequence of str, got dict"),
        (iter(["$13=1"]), "expected a sequence of str, got list_iterator"),
        (["$13=1", 5], "item 1: expected str, got int"),
        ([b"$13=1"], "item 0: expected str, got bytes"),
    ],
)
def test_list_arguments_refuse_anything_but_a_sequence_of_str(name, argument, value, reason):
    with pytest.raises(TypeError) as raised:
        getattr(parser, name)(value)
    assert str(raised.value) == f"argument '{argument}': {reason}"


@pytest.mark.parametrize("name, argument", LIST_FUNCTIONS)
def test_list_arguments_follow_the_call_rules(name, argument):
    function = getattr(parser, name)
    with pytest.raises(TypeError):
        function()
    with pytest.raises(TypeError):
        function([], [])
    with pytest.raises(TypeError):
        function(other=[])
    function(**{argument: []})


def test_unencodable_text_is_an_argument_error():
    # A lone surrogate cannot become UTF-8; the error still names the argument.
    with pytest.raises(TypeError, match="^argument 'lines': .*surrogate"):
        parser.parse_setting_pairs(["\ud800"])
    with pytest.raises(TypeError, match="^argument 'line': .*surrogate"):
        parser.strip_gcode_comments("\ud800")
    with pytest.raises(TypeError, match="^argument 'error_code': .*surrogate"):
        parser.error_code_to_device_error("\ud800")


@pytest.mark.parametrize("value", [b"G0", None, 5, ["G0"]])
def test_strip_gcode_comments_takes_only_str(value):
    with pytest.raises(TypeError, match="^argument 'line': expected str, got "):
        parser.strip_gcode_comments(value)

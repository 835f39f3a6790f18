import pytest

import vantorix

parser = vantorix.grbl.parser
DeviceError = vantorix.grbl.types.DeviceError

UNRECOGNIZED_ERROR = (
    "The machine reported an unrecognized error code. Check your machine and firmware "
    "documentation."
)


@pytest.mark.parametrize(
    "function, text, code, title, description",
    [
        (parser.error_code_to_device_error, "9", 9, "Commands Locked",
         "Cannot send commands while in alarm or jog mode. Clear the alarm state first."),
        (parser.error_code_to_device_error, "+5", 5, "Homing Disabled", None),
        (parser.error_code_to_device_error, "0", 0, "Unknown Error", UNRECOGNIZED_ERROR),
        (parser.error_code_to_device_error, "9 ", -1, "Unknown Error",
         "Invalid error code reported by machine."),
        (parser.alarm_code_to_device_error, "8", 8, "Homing Fail \u2014 Pulloff", None),
        (parser.alarm_code_to_device_error, "11", 11, "Unknown Alarm", None),
        (parser.alarm_code_to_device_error, "abc", -1, "Unknown Alarm",
         "Invalid alarm code reported by machine."),
    ],
)
def test_lookup(function, text, code, title, description):
    error = function(text)
    assert isinstance(error, DeviceError)
    assert (error.code, error.title) == (code, title)
    if description is not None:
        assert error.description == description
    assert function(text) is not error


@pytest.mark.parametrize(
    "function, name",
    [
        (parser.error_code_to_device_error, "error_code"),
        (parser.alarm_code_to_device_error, "alarm_code"),
    ],
)
@pytest.mark.parametrize("value", [9, b"9", None])
def test_argument_must_be_str(function, name, value):
    with pytest.raises(TypeError, match=rf"^argument '{name}': "):
        function(value)


def test_docstrings():
    assert parser.error_code_to_device_error.__doc__ == (
        "Look up an error code in the GRBL error table."
    )
    assert parser.alarm_code_to_device_error.__doc__ == (
        "Look up an alarm code in the GRBL alarm table."
    )

import inspect

import pytest

import vantorix

parser = vantorix.grbl.parser
types = vantorix.grbl.types
DeviceState = types.DeviceState
DeviceStatus = types.DeviceStatus

TYPICAL = "<Idle|MPos:10.000,20.000,30.000|Bf:15,128|FS:0,0|WCO:1.000,2.000,3.000>"


def test_signature_and_docstring():
    assert str(inspect.signature(parser.parse_state)) == (
        "(state_str, default=None, report_in_inches=False)"
    )
    assert parser.parse_state.__doc__ == (
        "Parse a GRBL status string like `<Idle|MPos:10,20,30>` into a\n"
        "DeviceState, using *default* as the base.  When\n"
        "*report_in_inches* is true, positions are converted back to mm."
    )


def test_typical_report():
    state = parser.parse_state(TYPICAL)
    assert state.status is DeviceStatus.IDLE
    assert state.machine_pos == [10.0, 20.0, 30.0]
    assert state.work_pos == [9.0, 18.0, 27.0]
    assert state.wco == [1.0, 2.0, 3.0]
    assert (state.feed_rate, state.spindle_speed) == (0, None)
    assert (state.buffer_available, state.buffer_rx_available) == (15, 128)


def test_default_is_copied_and_used_as_base():
    base = DeviceState()
    base.wco = [1.0, 1.0, 1.0]
    base.feed_rate = 700
    base.error = parser.alarm_code_to_device_error("3")
    state = parser.parse_state("<Idle|MPos:5,5,5>", base)
    assert state.work_pos == [4.0, 4.0, 4.0]
    assert state.feed_rate == 700
    assert state.error == base.error
    assert state is not base
    assert base.machine_pos == [None, None, None]


def test_not_a_report_returns_an_equal_copy_of_the_base():
    base = DeviceState()
    base.machine_pos = []
    state = parser.parse_state("Idle|MPos:1,2,3", default=base, report_in_inches=True)
    assert state == base
    assert state is not base
    assert state.machine_pos == []


def test_alarm_code_comes_from_the_alarm_table():
    state = parser.parse_state("<Alarm:1|MPos:0,0,0>")
    assert state.status is DeviceStatus.ALARM
    assert state.error == parser.alarm_code_to_device_error("1")


@pytest.mark.parametrize("flag, factor", [(True, 25.4), (False, 1.0)])
def test_report_in_inches_accepts_bool(flag, factor):
    state = parser.parse_state("<Jog|MPos:1,1,1>", None, flag)
    assert state.machine_pos == [factor] * 3
    assert state.work_pos == [factor] * 3


def test_report_in_inches_accepts_numpy_bool():
    np = pytest.importorskip("numpy")
    assert parser.parse_state("<Jog|MPos:1,1,1>", None, np.True_).machine_pos == [25.4] * 3
    assert parser.parse_state("<Jog|MPos:1,1,1>", report_in_inches=np.bool_(False)).machine_pos == [
        1.0
    ] * 3


@pytest.mark.parametrize(
    "kwargs, name",
    [
        ({"state_str": b"<Idle>"}, "state_str"),
        ({"state_str": None}, "state_str"),
        ({"state_str": "<Idle>", "default": "base"}, "default"),
        ({"state_str": "<Idle>", "default": DeviceStatus.IDLE}, "default"),
        ({"state_str": "<Idle>", "report_in_inches": 1}, "report_in_inches"),
        ({"state_str": "<Idle>", "report_in_inches": 0}, "report_in_inches"),
        ({"state_str": "<Idle>", "report_in_inches": None}, "report_in_inches"),
        ({"state_str": "<Idle>", "report_in_inches": "yes"}, "report_in_inches"),
    ],
)
def test_wrong_argument_types(kwargs, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        parser.parse_state(**kwargs)


def test_numpy_integer_is_not_a_bool():
    np = pytest.importorskip("numpy")
    with pytest.raises(TypeError, match="^argument 'report_in_inches': "):
        parser.parse_state("<Idle>", None, np.int64(1))


def test_missing_and_surplus_arguments():
    with pytest.raises(TypeError):
        parser.parse_state()
    with pytest.raises(TypeError):
        parser.parse_state("<Idle>", None, False, 1)

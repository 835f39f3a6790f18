"""Machine operations of GrblSession against the controller simulator: the bytes each one
writes, results, events, and the failures that reach Python."""

import asyncio
import inspect

import pytest

import vantorix
from session_support import FAST, GrblSession, MockTransport, SimulatedDevice, wait_until

DeviceStatus = vantorix.grbl.types.DeviceStatus

# Motion and homing take no time unless a test asks for it.
INSTANT = {"speed_factor": 0}


def lines_since(device, mark):
    """Lines the session wrote after `mark` chunks, status polls left out."""
    return [chunk for chunk in device.mock.sent()[mark:] if chunk != b"?"]


QUEUED_CASES = [
    ("home", (), [b"$H\n", b"G4 P0.01\n", b"G55\n", b"G54\n"]),
    ("home", (["X", "Y"], "G56"), [b"$HX\n", b"$HY\n", b"G4 P0.01\n", b"G54\n", b"G56\n"]),
    ("home", ([],), [b"G4 P0.01\n", b"G55\n", b"G54\n"]),
    ("home", (("Z",), "G55"), [b"$HZ\n", b"G4 P0.01\n", b"G54\n", b"G55\n"]),
    ("move_to", (1000, 10, 20.5), [b"$J=G90 G21 F1000 X10.0 Y20.5\n"]),
    ("jog", (500, [("x", 10), ("y", -2.5)]), [b"$J=G91 G21 F500 X10.0 Y-2.5\n"]),
    ("jog", (1000, [("x", 1.5)]), [b"$J=G91 G21 F1000 X1.5\n"]),
    ("jog", (1000, []), []),
    ("set_power", (), [b"M5\n"]),
    ("set_power", (None,), [b"M5\n"]),
    ("set_power", (0,), [b"M5\n"]),
    ("set_power", (-5,), [b"M5\n"]),
    ("set_power", (float("nan"),), [b"M5\n"]),
    ("set_power", (255.6,), [b"M4 S256\n"]),
    ("set_focus_power", (12,), [b"M3 S12\n"]),
    ("set_focus_power", (None,), [b"M5\n"]),
    ("select_tool", (3,), [b"T3\n"]),
    ("write_setting", ("13", "1"), [b"$13=1\n"]),
    ("set_wcs_offset", ("G55", 1, 2, None), [b"G10 L2 P2 X1.0 Y2.0\n"]),
    ("set_wcs_offset", ("G59", -1.5, 0, 2.25), [b"G10 L2 P6 X-1.5 Y0.0 Z2.25\n"]),
]


@pytest.mark.parametrize("method,args,expected", QUEUED_CASES)
async def test_queued_operation_writes(method, args, expected):
    async with SimulatedDevice(**INSTANT) as device:
        mark = len(device.mock.sent())
        assert await getattr(device.session, method)(*args) is None
        assert lines_since(device, mark) == expected
        # Every line was accepted by the controller.
        replies = [reply for line, reply in device.sim.history][-len(expected):] if expected else []
        assert all(reply == "ok" for reply in replies)


async def test_queued_operations_change_the_controller():
    async with SimulatedDevice(**INSTANT) as device:
        session, sim = device.session, device.sim
        await session.set_wcs_offset("G55", 1, 2, 3)
        await session.write_setting("100", "80")
        await session.move_to(1000, 10, 20.5)
        await wait_until(lambda: session.state.machine_pos[:2] == [10.0, 20.5])
        assert sim.coord_offsets[1] == (1.0, 2.0, 3.0)
        assert sim.settings[100] == 80.0


async def test_home_clears_the_device_error():
    async with SimulatedDevice(**INSTANT) as device:
        session = device.session
        device.sim.raise_alarm(9)
        await wait_until(lambda: session.state.error is not None)
        await session.home()
        assert device.recorder.named("state_changed")[-1].error is None
        assert session.state.error is None
        assert device.sim.state == "Idle"


async def test_operations_keep_the_order_of_their_calls():
    async with SimulatedDevice(**INSTANT) as device:
        mark = len(device.mock.sent())
        await asyncio.gather(
            device.session.select_tool(1),
            device.session.set_power(10),
            device.session.jog(100, [("z", 1)]),
            device.session.select_tool(2),
        )
        assert lines_since(device, mark) == [b"T1\n", b"M4 S10\n", b"$J=G91 G21 F100 Z1.0\n",
                                             b"T2\n"]


async def test_focus_off_waits_for_the_jog_to_end():
    async with SimulatedDevice(speed_factor=1) as device:
        session = device.session
        await session.jog(600, [("x", 2)])  # about a second of motion
        await wait_until(lambda: session.state.status == DeviceStatus.JOG)
        await session.set_focus_power(None)
        # Sent once the jog was over, so the controller accepted it.
        assert ("M5", "ok") in device.sim.history
        assert device.sim.state == "Idle"


async def test_settings_units_offsets_and_parser_state():
    async with SimulatedDevice(**INSTANT) as device:
        session, recorder = device.session, device.recorder
        settings = await session.read_settings()
        assert ("13", "0") in settings and ("100", "250.000") in settings
        assert all(isinstance(k, str) and isinstance(v, str) for k, v in settings)
        assert await session.detect_unit_system() == "metric"
        assert await session.read_parser_state() == "G54"

        await session.set_wcs_offset("G55", 25.4, -12.7, None)
        await session.execute_command("G55")
        assert await session.read_parser_state() == "G55"

        await session.write_setting("13", "1")
        assert await session.detect_unit_system() == "imperial"
        offsets = await session.read_wcs_offsets()
        assert set(offsets) == {"G54", "G55", "G56", "G57", "G58", "G59"}
        # The device reports inches; the result is in mm.
        assert offsets["G55"] == pytest.approx((25.4, -12.7, 0.0))
        assert isinstance(offsets["G55"], tuple)
        assert recorder.named("wcs_updated")[-1] == offsets


async def test_read_settings_sets_the_inch_flag_for_offsets():
    async with SimulatedDevice(settings={13: 1}, **INSTANT) as device:
        session = device.session
        await session.set_wcs_offset("G54", 25.4, 0, 0)  # G21: mm, whatever the report unit
        # The flag is not known yet: the reported 1.0000 (inches) is taken as it is.
        assert (await session.read_wcs_offsets())["G54"] == (1.0, 0.0, 0.0)
        await session.read_settings()
        assert (await session.read_wcs_offsets())["G54"] == pytest.approx((25.4, 0, 0))


PROBE_CASES = [
    # (contact, inches, result, final status)
    ({"Z": -3.2}, False, (0.0, 0.0, -3.2), "Probe triggered at (0, 0, -3.2)"),
    ({"Z": -5.08}, True, (0.0, 0.0, -5.08), "Probe triggered at (0, 0, -5.08)"),
    (None, False, None, "Probe failed"),
]


@pytest.mark.parametrize("contact,inches,result,status", PROBE_CASES)
async def test_probe_cycle(contact, inches, result, status):
    async with SimulatedDevice(probe_contact=contact, settings={13: int(inches)},
                               **INSTANT) as device:
        session = device.session
        await session.detect_unit_system()
        mark = len(device.mock.sent())
        position = await session.run_probe_cycle("z", -10, 100)
        assert lines_since(device, mark) == [b"G38.2 Z-10.0 F100\n"]
        assert position == (pytest.approx(result) if result else None)
        assert device.recorder.named("probe_status_changed") == ["Probing Z...", status]


async def test_probe_without_answer_reports_a_time_out():
    async with SimulatedDevice(config={"command_timeout": 0.3}, **INSTANT) as device:
        device.sim.set_silent(True)
        assert await device.session.run_probe_cycle("x", 5, 50) is None
        device.sim.set_silent(False)
        assert device.recorder.named("probe_status_changed") == [
            "Probing X...", "Probe failed: Timed out"]


async def test_unit_detection_on_a_silent_device_gives_none():
    async with SimulatedDevice(config={"command_timeout": 0.3}, **INSTANT) as device:
        device.sim.set_silent(True)
        assert await device.session.detect_unit_system() is None
        device.sim.set_silent(False)


async def test_failures_before_anything_is_sent():
    dialect = {"move_to": "G0 X{x} Y{y} Z{z}", "probe_cycle": "G38.2 {axis_letter"}
    async with SimulatedDevice(dialect=dialect, **INSTANT) as device:
        session = device.session
        mark = len(device.mock.sent())
        with pytest.raises(RuntimeError, match=r"^Invalid WCS slot: G60$"):
            await session.set_wcs_offset("G60", 0, 0, 0)
        with pytest.raises(RuntimeError, match=r"^no value for placeholder \{z\}$"):
            await session.move_to(1000, 1, 2)
        with pytest.raises(RuntimeError, match=r'^unterminated placeholder in template '
                                               r'"G38\.2 \{axis_letter"$'):
            await session.run_probe_cycle("z", -1, 10)
        assert device.recorder.named("probe_status_changed") == []
        session.update_dialect({"set_wcs_offset": "G10 L2 P{p_num} X{x} Y{y} Z{q}"})
        with pytest.raises(RuntimeError, match=r"^no value for placeholder \{q\}$"):
            await session.set_wcs_offset("G54", 0, 0, 0)
        assert lines_since(device, mark) == []


async def test_unconnected_session_errors():
    session = GrblSession.with_transport(MockTransport(), FAST)
    with pytest.raises(ConnectionError, match="^command queue unavailable$"):
        await session.home()
    with pytest.raises(ConnectionError, match="^Serial transport not connected$"):
        await session.read_wcs_offsets()
    assert await session.run_probe_cycle("z", -1, 10) is None
    assert await session.detect_unit_system() is None


ARGUMENT_ERRORS = [
    ("jog", (100, [["x", 1]]), {}, TypeError, "deltas"),
    ("jog", (100, "x1"), {}, TypeError, "deltas"),
    ("jog", (100, [("x",)]), {}, TypeError, "deltas"),
    ("jog", (100, [(1, 2)]), {}, TypeError, "deltas"),
    ("jog", (100, [("x", "far")]), {}, TypeError, "deltas"),
    ("jog", ("fast", []), {}, TypeError, "speed"),
    ("home", ("X",), {}, TypeError, "axes"),
    ("home", (), {"active_wcs": None}, TypeError, "active_wcs"),
    ("home", ([1],), {}, TypeError, "axes"),
    ("move_to", (1000, "1", 2), {}, TypeError, "x"),
    ("select_tool", (1.5,), {}, TypeError, "tool_number"),
    ("select_tool", (2**70,), {}, OverflowError, "tool_number"),
    ("set_power", ("max",), {}, TypeError, "power"),
    ("write_setting", (13, "1"), {}, TypeError, "key"),
    ("set_wcs_offset", ("G54", 1.0, 2.0, "0"), {}, TypeError, "z"),
    ("run_probe_cycle", (b"z", -1, 10), {}, TypeError, "axis_letter"),
]


@pytest.mark.parametrize("method,args,kwargs,error,name", ARGUMENT_ERRORS)
async def test_argument_errors_raise_at_the_call(method, args, kwargs, error, name):
    session = GrblSession.with_transport(MockTransport(), FAST)
    with pytest.raises(error, match=f"^argument '{name}': "):
        getattr(session, method)(*args, **kwargs)


async def test_call_errors_and_accepted_forms():
    session = GrblSession.with_transport(MockTransport(), FAST)
    with pytest.raises(TypeError):
        session.set_wcs_offset("G54", 1.0, 2.0)  # z must be passed
    futures = [
        session.set_wcs_offset("G54", 1.0, 2.0, None),
        session.set_wcs_offset(wcs_slot="G54", x=1, y=True, z=0),
        session.jog(100, ((("x", 1)),)),
        session.home(axes=None, active_wcs="G55"),
        session.set_power(power=3),
    ]
    for future in futures:
        with pytest.raises(ConnectionError):
            await future


DOCS = {
    "home": ("($self, axes=None, active_wcs=...)",
             "Home all axes (`axes` is None) or the named axes (e.g.\n`[\"X\"]`), then "
             "re-activate the active WCS via the toggle\nworkaround."),
    "move_to": ("($self, speed, x, y)", "Move to an absolute position (mm) at `speed` (mm/min)."),
    "jog": ("($self, speed, deltas)", "Jog by relative deltas (mm) at `speed` (mm/min)."),
    "select_tool": ("($self, tool_number)", None),
    "set_power": ("($self, power=None)",
                  "Set laser power.  `power` is the absolute S value; `None`\n"
                  "(or zero) turns the laser off."),
    "set_focus_power": ("($self, power=None)",
                        "Set laser power for focus mode; `None` waits for pending jogs\n"
                        "to finish and turns the laser off."),
    "read_settings": ("($self)", "Read `$$` into `(key, raw_value)` pairs."),
    "write_setting": ("($self, key, value)", None),
    "set_wcs_offset": ("($self, wcs_slot, x, y, z)", None),
    "read_wcs_offsets": ("($self)", "Read `$#` WCS offsets, converted to mm when the device\n"
                                    "reports inches."),
    "read_parser_state": ("($self)", "Read the `$G` parser state to determine the active WCS."),
    "run_probe_cycle": ("($self, axis_letter, max_travel, feed_rate)",
                        "Run a probe cycle (G38.2); returns the trigger position in mm\n"
                        "or None on failure."),
    "detect_unit_system": ("($self)",
                           "Infer the device's unit system (\"metric\"/\"imperial\") from the\n"
                           "`$13` setting."),
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_docstrings_and_signatures(name):
    signature, doc = DOCS[name]
    method = getattr(GrblSession, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc
    inspect.signature(method)  # parses

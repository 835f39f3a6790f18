"""How a host application drives a GRBL controller with vantorix, end to end.

The controller is the in-process simulator from ``vantorix_tools.sim``, so the script needs no
hardware: with the extension built (``make build``) run

    PYTHONPATH=build:python python3 examples/host_example.py

For a real machine, build the session with ``GrblSession({"port": "/dev/ttyUSB0"}, ...)`` or
``GrblSession({"host": "192.168.1.50"}, ...)`` instead of ``with_transport``; everything after
``connect()`` stays the same.
"""

from __future__ import annotations

import asyncio
import os
import sys
import tempfile
import time
from typing import TYPE_CHECKING, Awaitable, Callable, TypeVar, cast

import vantorix
from vantorix_tools.sim import GrblSimulator, MockTransportAttachment

if TYPE_CHECKING:
    from vantorix._typing import (
        DialectTemplates,
        EventName,
        EventPayload,
        SessionConfig,
        StatusPayload,
        WcsOffsets,
    )

grbl = vantorix.grbl
parser = vantorix.grbl.parser
DeviceState = vantorix.grbl.types.DeviceState
DeviceStatus = vantorix.grbl.types.DeviceStatus

T = TypeVar("T")

# Fast timings: the simulator answers at once, so nothing needs the defaults' patience.
CONFIG: SessionConfig = {
    "status_poll_interval": 0.05,
    "handshake_poll_interval": 0.05,
    "command_timeout": 5.0,
    "safety_shutdown_delay": 0.05,
    "stall_timeout_default": 5.0,
}

# A laser dialect: only the keys that differ from the built-in GRBL templates.
DIALECT: DialectTemplates = {
    "laser_on": "M4 S{power:.0f}",
    "focus_laser_on": "M3 S{power:.0f}",
    "safety_off_commands": ["M5", "M9"],
}


class HostView:
    """What a host keeps of the session's events: the link status, the machine state, errors."""

    def __init__(self) -> None:
        self.link_status = "UNKNOWN"
        self.state = DeviceState()
        self.command_errors: list[str] = []
        self.jobs_finished = 0
        self.probe_messages: list[str] = []
        self.wcs: WcsOffsets = {}
        self.device_config: dict[str, int] = {}
        self.progress: list[int] = []

    def on_event(self, name: EventName, payload: EventPayload) -> None:
        if name == "state_changed":
            assert isinstance(payload, DeviceState)
            self.state = payload
        elif name == "connection_status_changed":
            self.link_status, _message = cast("StatusPayload", payload)
        elif name == "command_status_changed":
            status, message = cast("StatusPayload", payload)
            if status == "ERROR" and message is not None:
                self.command_errors.append(message)
        elif name == "job_finished":
            self.jobs_finished += 1
        elif name == "probe_status_changed":
            assert isinstance(payload, str)
            self.probe_messages.append(payload)
        elif name == "wcs_updated":
            self.wcs = cast("WcsOffsets", payload)
        elif name == "config_changed":
            key, value = cast("tuple[str, int]", payload)
            self.device_config[key] = value

    def on_progress(self, op_index: int) -> None:
        self.progress.append(op_index)


async def wait_for(condition: Callable[[], bool], what: str, timeout: float = 10.0) -> None:
    """Waits on the event loop (events keep arriving meanwhile) until `condition` holds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out waiting for {what}")
        await asyncio.sleep(0.01)


async def within(future: Awaitable[T], seconds: float = 10.0) -> T:
    return await asyncio.wait_for(future, seconds)


def use_parsers() -> None:
    """The pure parsers need no session: a host uses them on logged or recorded output."""
    state = parser.parse_state("<Run|MPos:5.000,5.000,0.000|FS:1200,0|WCO:1.000,1.000,0.000>")
    assert state.status is DeviceStatus.RUN and state.work_pos == [4.0, 4.0, 0.0]
    print("parsed", state, state.work_pos)

    print("version", parser.parse_ver("[VER:1.1h.20190825:]"))
    print("rx buffer", parser.parse_opt_info("[OPT:V,15,128]"))
    print("settings", parser.parse_grbl_settings(["$13=0", "$100=250.000"]))
    print("units", parser.detect_unit_system_from_settings(["$13=1"]))
    print("probe", parser.parse_probe_line("[PRB:1.000,2.000,-3.500:1]"))
    print("wcs", parser.parse_wcs_line("[G55:10.000,20.000,0.000]"))
    print("error", parser.error_code_to_device_error("9"))
    print("alarm", parser.alarm_code_to_device_error("1").title)
    print("is grbl", parser.is_grbl_output(b"Grbl 1.1h ['$' for help]\r\n"))
    program = ["G0 X1 (rapid)", "?", "G1 Y2 F500 ; feed"]
    gcode, realtime = parser.split_realtime_commands(program)
    print("stripped", [parser.strip_gcode_comments(line) for line in gcode], realtime)


async def machine_operations(session: vantorix.grbl.GrblSession, view: HostView) -> None:
    print("answer", await within(session.execute_command("G21")))
    build_info = await within(session.execute_interactive_command("$I"))
    print("firmware", parser.parse_version(build_info), parser.extract_device_name(build_info))

    await within(session.home())
    await within(session.home(["Z"], active_wcs="G54"))
    await within(session.move_to(3000, 10, 20.5))
    await wait_for(lambda: session.state.machine_pos[:2] == [10.0, 20.5], "the move")
    await within(session.jog(1200, [("X", -2.5), ("Y", 1.0)]))
    await wait_for(lambda: session.state.status == DeviceStatus.IDLE, "the jog")

    await within(session.select_tool(1))
    await within(session.set_power(255))
    await within(session.set_power(None))
    await within(session.set_focus_power(10))
    await within(session.set_focus_power(None))

    settings = await within(session.read_settings())
    print("settings", len(settings), "e.g.", settings[0])
    await within(session.write_setting("110", "600.000"))
    print("unit system", await within(session.detect_unit_system()))

    await within(session.set_wcs_offset("G55", 1.0, 2.0, None))
    offsets = await within(session.read_wcs_offsets())
    print("G55", offsets["G55"], "events saw", sorted(view.wcs))
    print("active wcs", await within(session.read_parser_state()))

    hit = await within(session.run_probe_cycle("Z", -10, 100))
    print("probe", hit, view.probe_messages)

    # Dialects are data: a rapid instead of a jog for absolute moves, from now on.
    session.update_dialect({"move_to": "G0 X{x} Y{y}"})
    await within(session.move_to(3000, 0, 0))
    await wait_for(lambda: session.state.machine_pos[:2] == [0.0, 0.0], "the rapid")


async def stream_job(session: vantorix.grbl.GrblSession, view: HostView) -> None:
    # Three operations of two lines each; the host's estimates scale the stall timeouts.
    lines = ["G0 X0 Y0", "G1 X5 F3000", "G1 Y5", "G1 X0", "M4 S100", "G1 Y0", "M5"]
    op_line_map = {0: 0, 1: 0, 2: 1, 3: 1, 4: 2, 5: 2, 6: 2}
    finished = view.jobs_finished
    await within(session.run("\n".join(lines) + "\n", op_line_map, [0.5, 0.5, 0.5],
                             view.on_progress))
    await wait_for(lambda: view.jobs_finished > finished, "the end of the job")
    print("job done, progress", sorted(set(view.progress)))


async def hold_and_cancel(session: vantorix.grbl.GrblSession, view: HostView) -> None:
    program = "".join(f"G1 X{(i % 2) * 10} F600\n" for i in range(40))
    view.progress.clear()
    job = asyncio.ensure_future(
        session.run(program, {i: i for i in range(40)}, None, view.on_progress))
    await wait_for(lambda: len(view.progress) >= 2, "the job to start")

    await within(session.set_hold(True))
    print("held:", session.state.status.name, "running:", session.job_running)
    await within(session.set_hold(False))

    await within(session.cancel())
    await within(job)
    print("cancelled after", len(set(view.progress)), "of 40 lines; job_running:",
          session.job_running)
    # A reset in motion leaves GRBL locked in an alarm; $X unlocks it.
    await wait_for(lambda: not session.pending_commands, "the reset")
    await within(session.execute_command("$X"))


async def main() -> int:
    log_path = os.path.join(tempfile.mkdtemp(prefix="vantorix-example-"), "session.log")
    vantorix.init_logging("vantorix::grbl=info,warn", path=log_path)
    use_parsers()

    view = HostView()
    transport = grbl.MockTransport()
    session = grbl.GrblSession.with_transport(transport, CONFIG, DIALECT, view.on_event)
    simulator = GrblSimulator(speed_factor=0.02, homing_time=0.5, probe_contact={"Z": -3.2})
    with MockTransportAttachment(simulator, transport):
        await within(session.connect())
        try:
            await wait_for(lambda: view.link_status == "CONNECTED", "the handshake")
            await wait_for(lambda: view.state.status == DeviceStatus.IDLE, "an idle report")
            print(session, "rx buffer", view.device_config.get("rx_buffer_size"))
            await machine_operations(session, view)
            await stream_job(session, view)
            await hold_and_cancel(session, view)
        finally:
            await within(session.disconnect())
    print("command errors:", view.command_errors)
    print("simulator overflows:", simulator.overflows)
    print("log lines:", sum(1 for _ in open(log_path, encoding="utf-8")))
    return 0 if not simulator.overflows else 1


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))

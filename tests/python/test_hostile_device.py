"""A device that sends garbage: memory stays bounded, the session stays responsive."""

import asyncio
import os

import pytest

from session_support import SimulatedDevice, wait_until


# Under AddressSanitizer freed memory waits in a quarantine of hundreds of megabytes, so
# the resident size says nothing about what the session keeps.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def grew_less_than(before_kb, limit_kb):
    return UNDER_ASAN or rss_kb() - before_kb < limit_kb


def rss_kb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


async def push_paced(device, data, chunk=1024):
    """Pushes `data` the way a serial reader delivers it, letting the session keep up."""
    for at in range(0, len(data), chunk):
        device.mock.push(data[at:at + chunk])
        if at % (64 * chunk) == 0:
            await asyncio.sleep(0)


async def still_responsive(device):
    # A queued command and a status poll both still complete.
    assert await asyncio.wait_for(device.session.execute_command("G4 P0"), 10) == ["ok"]
    polls = device.written().count(b"?")
    await wait_until(lambda: device.written().count(b"?") > polls + 2)


HOSTILE = [
    ("ten_megabytes_without_a_line_feed", b"\x01" * (10 * 1024 * 1024), 16 * 1024),
    ("lines_of_100_kb", (b"x" * 100 * 1024 + b"\r\n") * 40, 16 * 1024),
    ("invalid_utf8_lines", (b"\xff\xfe garbage \xc3\x28\r\n" * 1000) * 20, 16 * 1024),
    ("invalid_utf8_without_line_feed", b"\xff" * (4 * 1024 * 1024), 16 * 1024),
]


@pytest.mark.parametrize("data, rss_limit_kb", [(d, r) for _, d, r in HOSTILE],
                         ids=[name for name, _, _ in HOSTILE])
async def test_garbage_keeps_memory_bounded_and_the_session_responsive(data, rss_limit_kb):
    async with SimulatedDevice({"status_poll_interval": 0.05}, speed_factor=0) as device:
        await still_responsive(device)
        before = rss_kb()
        await push_paced(device, data)
        # A line feed ends whatever partial line is left, then the device answers again.
        device.mock.push(b"\r\n")
        await still_responsive(device)
        assert grew_less_than(before, rss_limit_kb)
        assert device.session.state.status.name in ("IDLE", "RUN")


async def test_status_report_flood_keeps_the_session_responsive():
    # 10,000 status reports per second, each with a new position, for two seconds.
    events = []
    async with SimulatedDevice({"status_poll_interval": 0.05}, speed_factor=0) as device:
        before = rss_kb()
        for tick in range(200):
            device.mock.push(b"".join(
                b"<Idle|MPos:%d.000,0.000,0.000|FS:0,0>\r\n" % (tick * 50 + i) for i in range(50)))
            await asyncio.sleep(0.01)
            events.append(len(device.recorder.events))
        await still_responsive(device)
        # The last report of the flood was taken (the simulator's own reports say 0).
        assert any(payload.machine_pos[0] == 9999.0
                   for name, payload in device.recorder.events if name == "state_changed")
        assert grew_less_than(before, 32 * 1024)
        # The events of the flood were delivered while it ran, not piled up.
        assert events[-1] > events[0]

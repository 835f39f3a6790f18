"""The simulated GRBL controller without I/O, on a hand-driven clock."""

import pytest

from vantorix_tools.sim import GrblSimulator, Overflow, SimConfig

IDLE_ZERO = b"<Idle|MPos:0.000,0.000,0.000|Bf:15,128|FS:0,0|WCO:0.000,0.000,0.000>\r\n"
BANNER = b"\r\nGrbl 1.1h ['$' for help]\r\n"


class Clock:
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now

    def advance(self, seconds):
        self.now += seconds


@pytest.fixture
def clock():
    return Clock()


@pytest.fixture
def make_sim(clock):
    def make(**options):
        return GrblSimulator(clock=clock, **options)

    return make


@pytest.fixture
def sim(make_sim):
    return make_sim(speed_factor=1.0)


@pytest.fixture
def instant(make_sim):
    return make_sim(speed_factor=0)


# Replies --------------------------------------------------------------------------------------

REPLIES = [
    pytest.param(b"?", IDLE_ZERO, id="status"),
    pytest.param(b"$I\n", b"[VER:1.1h.20190830:]\r\n[OPT:V,15,128]\r\nok\r\n", id="build-info"),
    pytest.param(b"$G\n", b"[GC:G0 G54 G17 G21 G90 G94 M5 M9 T0 F0 S0]\r\nok\r\n", id="parser"),
    pytest.param(b"\n", b"ok\r\n", id="empty-line"),
    pytest.param(b"(only a comment)\n", b"ok\r\n", id="comment-line"),
    pytest.param(b"g0 x1 (rapid) ; to one\n", b"ok\r\n", id="lower-case-and-comments"),
    pytest.param(b"G0 X1\r\n", b"ok\r\n", id="crlf-is-one-line-end"),
    pytest.param(b"G0 X1\rG0 X2\r", b"ok\r\nok\r\n", id="cr-ends-a-line"),
    pytest.param(b"G5\n", b"error:20\r\n", id="unknown-gcode"),
    pytest.param(b"M100\n", b"error:20\r\n", id="unknown-mcode"),
    pytest.param(b"E1\n", b"error:20\r\n", id="unknown-letter"),
    pytest.param(b"1\n", b"error:1\r\n", id="no-letter"),
    pytest.param(b"GX\n", b"error:2\r\n", id="no-number"),
    pytest.param(b"$Q\n", b"error:3\r\n", id="unknown-dollar"),
    pytest.param(b"$$X\n", b"error:3\r\n", id="dollar-trailing-text"),
    pytest.param(b"$999=1\n", b"error:3\r\n", id="unknown-setting"),
    pytest.param(b"$13=abc\n", b"error:2\r\n", id="setting-not-a-number"),
    pytest.param(b"$13=-1\n", b"error:4\r\n", id="setting-negative"),
    pytest.param(b"$0=2\n", b"error:6\r\n", id="step-pulse-too-short"),
    pytest.param(b"G1 X1\n", b"error:22\r\n", id="feed-undefined"),
    pytest.param(b"G4\n", b"error:28\r\n", id="dwell-without-p"),
    pytest.param(b"G0 G1 X1\n", b"error:21\r\n", id="modal-group-twice"),
    pytest.param(b"G1 X1 X2 F10\n", b"error:25\r\n", id="word-repeated"),
    pytest.param(b"G80 X1\n", b"error:31\r\n", id="axis-words-with-g80"),
    pytest.param(b"G2 X10 F100\n", b"error:35\r\n", id="arc-without-offsets"),
    pytest.param(b"G2 X10 R2 F100\n", b"error:34\r\n", id="arc-radius-too-small"),
    pytest.param(b"G10 L2 P7 X1\n", b"error:29\r\n", id="no-such-coordinate-system"),
    pytest.param(b"G10 L3 P1 X1\n", b"error:20\r\n", id="g10-unsupported-l"),
    pytest.param(b"T300\n", b"error:38\r\n", id="tool-number-too-high"),
    pytest.param(b"G53 G2 X1 I1 F1\n", b"error:30\r\n", id="g53-needs-g0-or-g1"),
    pytest.param(b"G1 X1 F10 P2\n", b"error:36\r\n", id="unused-word"),
    pytest.param(b"G0 X" + b"1" * 80 + b"\n", b"error:11\r\n", id="line-too-long"),
    pytest.param(b"$J=G91 X1\n", b"error:22\r\n", id="jog-without-feed"),
    pytest.param(b"$J=G91 M3 X1 F100\n", b"error:16\r\n", id="jog-with-other-words"),
    pytest.param(b"$JG91 X1 F100\n", b"error:3\r\n", id="jog-without-equals"),
    pytest.param(b"$X\n", b"ok\r\n", id="unlock-when-not-locked"),
]


@pytest.mark.parametrize("data, expected", REPLIES)
def test_reply_bytes(instant, data, expected):
    assert instant.exchange(data) == expected


def test_build_info_reports_configured_buffers(make_sim):
    sim = make_sim(rx_buffer_size=256, planner_blocks=31, build_info="Laser 5000")
    assert sim.exchange(b"$I\n") == (
        b"[VER:1.1h.20190830:Laser 5000]\r\n[OPT:V,31,256]\r\nok\r\n")
    assert sim.exchange(b"?").startswith(b"<Idle|MPos:0.000,0.000,0.000|Bf:31,256|")


def test_settings_listing_and_inch_reports(instant):
    listing = instant.exchange(b"$$\n").decode()
    lines = listing.split("\r\n")
    assert lines[:3] == ["$0=10", "$1=25", "$2=0"]
    assert "$13=0" in lines and "$100=250.000" in lines and "$22=1" in lines
    assert lines[-2:] == ["ok", ""]

    assert instant.exchange(b"$13=1\nG0 X25.4 Y-12.7\n$$\n").count(b"$13=1\r\n") == 1
    assert instant.exchange(b"?") == (
        b"<Idle|MPos:1.0000,-0.5000,0.0000|Bf:15,128|FS:0.0,0|WCO:0.0000,0.0000,0.0000>\r\n")


def test_offsets_listing_follows_g10_g92_and_tool_offset(instant):
    instant.exchange(b"G10 L2 P2 X1 Y2 Z3\nG0 X5\nG92 X1\nG43.1 Z0.5\n")
    assert instant.exchange(b"$#\n") == (
        b"[G54:0.000,0.000,0.000]\r\n[G55:1.000,2.000,3.000]\r\n[G56:0.000,0.000,0.000]\r\n"
        b"[G57:0.000,0.000,0.000]\r\n[G58:0.000,0.000,0.000]\r\n[G59:0.000,0.000,0.000]\r\n"
        b"[G28:0.000,0.000,0.000]\r\n[G30:0.000,0.000,0.000]\r\n[G92:4.000,0.000,0.000]\r\n"
        b"[TLO:0.500]\r\n[PRB:0.000,0.000,0.000:0]\r\nok\r\n")


def test_work_coordinates_move_relative_to_the_active_offset(instant):
    instant.exchange(b"G10 L2 P1 X10 Y20\nG0 X1 Y1\nG91 G0 X1\n")
    assert instant.machine_position == (12.0, 21.0, 0.0)
    assert instant.work_position == (2.0, 1.0, 0.0)
    instant.exchange(b"G90 G10 L20 P1 X0\n")  # make the current point work zero on X
    assert instant.work_position == (0.0, 1.0, 0.0)
    instant.exchange(b"G53 G0 X0 Y0\n")
    assert instant.machine_position == (0.0, 0.0, 0.0)


def test_parser_state_reports_modes(instant):
    instant.exchange(b"G1 G91 G20 X0 F10\nG55 M4 S300 T2 M8\n")
    assert instant.exchange(b"$G\n") == (
        b"[GC:G1 G55 G17 G20 G91 G94 M4 M8 T2 F254 S300]\r\nok\r\n")


def test_g28_returns_to_the_stored_position(instant):
    instant.exchange(b"G0 X3 Y4\nG28.1\nG0 X0 Y0\nG28\n")
    assert instant.machine_position == (3.0, 4.0, 0.0)
    assert b"[G28:3.000,4.000,0.000]" in instant.exchange(b"$#\n")


# Receive buffer and planner -------------------------------------------------------------------


def test_full_planner_holds_back_the_ok_and_the_bytes(sim, clock):
    lines = [f"G1 X{i + 1} F60\n".encode() for i in range(16)]
    replies = sim.exchange(b"".join(lines))
    assert replies == b"ok\r\n" * 15
    assert sim.planner_used == 15
    assert sim.rx_buffer_used == len(lines[15])
    assert sim.exchange(b"?").startswith(b"<Run|MPos:0.000,0.000,0.000|Bf:0,%d|FS:60,0"
                                         % (128 - len(lines[15])))
    clock.advance(1.0)  # the first 1 mm move at 60 mm/min ends: the last line gets a block
    assert sim.exchange(b"") == b"ok\r\n"
    assert sim.rx_buffer_used == 0
    assert sim.planner_used == 15


def test_overflowing_line_is_recorded_and_dropped(sim, clock):
    sim.exchange(b"G4 P10\n")  # a dwell keeps every later line waiting in the buffer
    filler = b"G0 X1" + b" " * 116 + b"\n"  # 122 bytes: 7 + 122 = 129 > 128
    assert sim.exchange(filler) == b""
    assert sim.overflows == [Overflow(filler, buffered=7, capacity=128)]
    assert sim.rx_buffer_used == 7
    # A line that fits is still taken; the dropped one is never answered.
    assert sim.exchange(b"G0 X2\n") == b""
    clock.advance(10.0)
    assert sim.exchange(b"") == b"ok\r\nok\r\n"
    assert sim.history[-1] == ("G0 X2", "ok")


def test_buffer_filled_exactly_to_capacity_is_no_overflow(sim):
    sim.exchange(b"G4 P10\n")
    exact = b"G0 X1" + b" " * 115 + b"\n"  # 121 bytes: 7 + 121 = 128
    sim.exchange(exact)
    assert sim.overflows == []
    assert sim.rx_buffer_used == 128
    assert sim.exchange(b"?").split(b"|")[2] == b"Bf:15,0"


def test_dwell_and_spindle_change_wait_for_motion(sim, clock):
    assert sim.exchange(b"G1 X1 F60\nG4 P0.5\nM3 S100\n") == b"ok\r\n"
    clock.advance(1.0)
    assert sim.exchange(b"") == b""  # the move is done, the dwell runs
    assert sim.state == "Idle"
    clock.advance(0.5)
    assert sim.exchange(b"") == b"ok\r\nok\r\n"


# Motion timing --------------------------------------------------------------------------------


def test_motion_takes_scaled_time(make_sim, clock):
    sim = make_sim(speed_factor=0.5)
    sim.exchange(b"G1 X10 F300\n")  # two physical seconds, one simulated
    clock.advance(0.5)
    assert sim.state == "Run"
    assert sim.machine_position == pytest.approx((5.0, 0.0, 0.0))
    clock.advance(0.5)
    assert sim.state == "Idle"
    assert sim.machine_position == (10.0, 0.0, 0.0)


def test_rapid_moves_use_the_axis_maximum_rates(sim, clock):
    sim.exchange(b"$110=600\n$111=300\nG0 X10 Y10\n")  # Y limits: 10 mm at 300 mm/min = 2 s
    clock.advance(1.9)
    assert sim.state == "Run"
    clock.advance(0.2)
    assert sim.state == "Idle"


def test_arc_is_cut_into_planner_blocks_and_ends_on_target(sim, clock):
    assert sim.exchange(b"G2 X10 Y0 I5 J0 F300\n") == b""  # more segments than blocks
    assert sim.planner_used == 15
    clock.advance(60.0)
    assert sim.exchange(b"") == b"ok\r\n"
    clock.advance(60.0)
    assert sim.machine_position == pytest.approx((10.0, 0.0, 0.0))


def test_instant_motion_never_shows_run(instant):
    assert instant.exchange(b"G1 X100 F1\n?") == (
        b"ok\r\n<Idle|MPos:100.000,0.000,0.000|Bf:15,128|FS:0,0|WCO:0.000,0.000,0.000>\r\n")


# Hold, resume, jog ----------------------------------------------------------------------------


def test_feed_hold_freezes_motion_until_resume(sim, clock):
    sim.exchange(b"G1 X10 F300\n")
    clock.advance(1.0)
    assert sim.exchange(b"!?").startswith(b"<Hold:0|MPos:5.000,0.000,0.000|")
    clock.advance(5.0)
    assert sim.exchange(b"?").startswith(b"<Hold:0|MPos:5.000,0.000,0.000|")
    assert sim.exchange(b"G1 X20\n") == b"ok\r\n"  # lines are still planned during a hold
    assert sim.exchange(b"~?").startswith(b"<Run|MPos:5.000,")
    clock.advance(1.0)
    assert sim.machine_position == pytest.approx((10.0, 0.0, 0.0))


def test_hold_while_idle_and_resume(instant):
    assert instant.exchange(b"!?").startswith(b"<Hold:0|")
    assert instant.exchange(b"~?").startswith(b"<Idle|")


def test_jog_runs_in_jog_state_and_cancels(sim, clock):
    assert sim.exchange(b"$J=G91 G21 X10 F300\n") == b"ok\r\n"
    assert sim.state == "Jog"
    assert sim.exchange(b"G0 X1\n") == b"error:9\r\n"
    clock.advance(1.0)
    sim.feed(b"\x85")
    assert sim.state == "Idle"
    assert sim.machine_position == pytest.approx((5.0, 0.0, 0.0))
    sim.exchange(b"$J=G90 X0 F300\n")
    clock.advance(0.2)
    sim.feed(b"!")  # a feed hold cancels a jog too
    assert sim.state == "Idle"
    assert sim.machine_position == pytest.approx((4.0, 0.0, 0.0))


def test_jog_respects_soft_limits(instant):
    assert instant.exchange(b"$20=1\n") == b"ok\r\n"
    assert instant.exchange(b"$J=G90 X-300 F100\n") == b"error:15\r\n"
    assert instant.exchange(b"$J=G90 X-10 F100\n") == b"ok\r\n"


def test_realtime_byte_inside_a_line_acts_at_once(instant):
    # The status report counts the four bytes of the line received so far.
    assert instant.exchange(b"G0 X?1\n") == IDLE_ZERO.replace(b"128", b"124") + b"ok\r\n"
    assert instant.machine_position == (1.0, 0.0, 0.0)


def test_system_commands_refused_while_running(sim):
    sim.exchange(b"G1 X10 F300\n")
    assert sim.exchange(b"$$\n$#\n$I\n$H\n$13=1\n") == b"error:8\r\n" * 5
    assert sim.exchange(b"$G\n").startswith(b"[GC:G1 ")


# Soft reset and alarms ------------------------------------------------------------------------


def test_soft_reset_when_idle_sends_the_banner(instant):
    instant.exchange(b"G92 X5\n")
    assert instant.exchange(b"\x18") == BANNER
    assert instant.state == "Idle"
    assert b"[G92:0.000,0.000,0.000]" in instant.exchange(b"$#\n")


def test_soft_reset_while_moving_alarms_and_clears_the_buffer(sim, clock):
    sim.exchange(b"G4 P10\nG1 X10 F300\n")  # the move waits behind the dwell
    assert sim.rx_buffer_used > 0
    sim.exchange(b"\x18")  # not moving yet: no alarm
    assert sim.rx_buffer_used == 0 and sim.state == "Idle"
    sim.exchange(b"G1 X10 F300\nG1 X20\n")
    clock.advance(1.0)
    assert sim.exchange(b"\x18") == BANNER.replace(b"\r\nGrbl", b"ALARM:3\r\n\r\nGrbl") + (
        b"[MSG:'$H'|'$X' to unlock]\r\n")
    assert sim.state == "Alarm"
    assert sim.machine_position == pytest.approx((5.0, 0.0, 0.0))
    assert sim.exchange(b"G0 X0\n") == b"error:9\r\n"
    assert sim.exchange(b"$X\n") == b"[MSG:Caution: Unlocked]\r\nok\r\n"
    assert sim.exchange(b"G0 X0\n") == b"ok\r\n"


def test_raised_alarm_locks_gcode_until_unlock(instant):
    instant.raise_alarm(9)
    assert instant.exchange(b"?G0 X1\n$G\n").startswith(b"ALARM:9\r\n<Alarm|")
    assert list(instant.history)[-2:] == [("G0 X1", "error:9"), ("$G", "ok")]
    assert instant.exchange(b"$X\n") == b"[MSG:Caution: Unlocked]\r\nok\r\n"


def test_critical_alarm_stops_everything_until_reset(sim, clock):
    sim.exchange(b"G1 X10 F300\nG1 X20\n")
    clock.advance(1.0)
    sim.raise_alarm(1)
    assert sim.exchange(b"") == b"ALARM:1\r\n[MSG:Reset to continue]\r\n"
    assert sim.exchange(b"$X\n") == b""  # not even read
    assert sim.exchange(b"?").startswith(b"<Alarm|MPos:5.000,0.000,0.000|")
    assert sim.exchange(b"\x18").endswith(b"[MSG:'$H'|'$X' to unlock]\r\n")
    assert sim.exchange(b"$X\n") == b"[MSG:Caution: Unlocked]\r\nok\r\n"


# Homing and probing ---------------------------------------------------------------------------


def test_homing_takes_time_and_sets_the_position(make_sim, clock):
    sim = make_sim(homing_time=1.0, home_position=(-1.0, -2.0, -3.0), homing_lock=True)
    assert sim.state == "Alarm"
    sim.exchange(b"$H\n")
    assert sim.state == "Home"
    clock.advance(1.0)
    assert sim.exchange(b"") == b"ok\r\n"
    assert sim.state == "Idle"
    assert sim.machine_position == (-1.0, -2.0, -3.0)


def test_alarm_during_homing_abandons_the_cycle(make_sim, clock):
    sim = make_sim(homing_time=1.0)
    sim.exchange(b"$H\n")
    sim.raise_alarm(9)
    assert sim.state == "Alarm"
    clock.advance(2.0)
    assert sim.exchange(b"") == b"ALARM:9\r\n"  # the cycle never answers
    assert sim.rx_buffer_used == 0
    sim.exchange(b"$H\n")
    clock.advance(1.0)
    assert sim.exchange(b"") == b"ok\r\n"
    assert sim.state == "Idle"


def test_homing_disabled_and_reset_during_homing(make_sim, clock):
    sim = make_sim(homing_enabled=False)
    assert sim.exchange(b"$H\n") == b"error:5\r\n"
    sim.exchange(b"$22=1\n$H\n")
    assert sim.exchange(b"\x18").startswith(b"ALARM:6\r\n")


@pytest.mark.parametrize("command, alarm", [(b"G38.2", True), (b"G38.3", False)])
def test_probe_without_contact(instant, command, alarm):
    replies = instant.exchange(command + b" Z-10 F100\n")
    expected = b"[PRB:0.000,0.000,-10.000:0]\r\nok\r\n"
    assert replies == (b"ALARM:4\r\n" + expected if alarm else expected)
    assert (instant.state == "Alarm") is alarm


def test_probe_stops_at_the_contact_surface(make_sim, clock):
    sim = make_sim(speed_factor=1.0, probe_contact={"Z": -3.2})
    sim.exchange(b"G0 X1\n")
    clock.advance(10)
    assert sim.exchange(b"G38.2 Z-10 F60\n") == b""
    assert sim.state == "Run"
    clock.advance(3.2)
    assert sim.exchange(b"") == b"[PRB:1.000,0.000,-3.200:1]\r\nok\r\n"
    assert sim.machine_position == pytest.approx((1.0, 0.0, -3.2))
    assert sim.exchange(b"$#\n").endswith(b"[PRB:1.000,0.000,-3.200:1]\r\nok\r\n")
    assert sim.exchange(b"G38.2 Z-10 F60\n") == b"ALARM:4\r\nok\r\n"  # already touching


# WCO field ------------------------------------------------------------------------------------


def _has_wco(report):
    return b"|WCO:" in report


def test_wco_sent_like_grbl(instant):
    reports = [instant.exchange(b"?") for _ in range(12)]
    assert [_has_wco(r) for r in reports] == [True] + [False] * 9 + [True, False]
    instant.exchange(b"G10 L2 P1 X1\n")
    assert _has_wco(instant.exchange(b"?"))


def test_wco_every_report_when_configured(make_sim):
    sim = make_sim(wco_every=1)
    assert all(_has_wco(sim.exchange(b"?")) for _ in range(5))


# Fault hooks ----------------------------------------------------------------------------------


def test_dropped_oks_still_execute(instant):
    instant.drop_oks(2)
    assert instant.exchange(b"G0 X1\nG0 X2\nG0 X3\n") == b"ok\r\n"
    assert instant.dropped_oks == 2
    assert instant.machine_position == (3.0, 0.0, 0.0)


@pytest.mark.parametrize("replacement", [b"o\x00k\r\n", b"\x00ok\r\n"])
def test_corrupted_ok(instant, replacement):
    instant.corrupt_next_ok(replacement)
    assert instant.exchange(b"G0 X1\nG0 X2\n") == replacement + b"ok\r\n"


def test_ok_interleaved_into_the_next_status_report(instant):
    instant.interleave_next_ok(split_at=6)
    assert instant.exchange(b"G0 X1\n") == b""
    assert instant.exchange(b"?") == (
        b"<Idle|ok\r\nMPos:1.000,0.000,0.000|Bf:15,128|FS:0,0|WCO:0.000,0.000,0.000>\r\n")


def test_chunking_by_size_and_by_callable(instant):
    instant.set_chunking(3)
    assert instant.feed(b"$I\n") is None
    chunks = instant.take_chunks()
    assert all(len(c) == 3 for c in chunks[:-1])
    assert b"".join(chunks) == b"[VER:1.1h.20190830:]\r\n[OPT:V,15,128]\r\nok\r\n"
    instant.set_chunking(lambda data: [data[:1], data[1:]])
    instant.feed(b"G0 X1\n")
    assert instant.take_chunks() == [b"o", b"k\r\n"]
    with pytest.raises(ValueError):
        instant.set_chunking(0)


def test_silent_controller_answers_nothing_but_keeps_working(instant):
    instant.set_silent()
    assert instant.exchange(b"?G0 X1\n$I\n") == b""
    assert instant.machine_position == (1.0, 0.0, 0.0)
    instant.set_silent(False)
    assert instant.exchange(b"G0 X2\n") == b"ok\r\n"


def test_drop_link_tells_listeners_and_loses_pending_output(instant):
    calls = []
    instant.add_link_listener(lambda: calls.append(True))
    instant.feed(b"$I\nG0 X")
    instant.drop_link()
    assert calls == [True] and instant.link_drops == 1
    assert instant.take_output() == b""
    assert instant.rx_buffer_used == 0
    assert instant.exchange(b"1\n") == b"error:1\r\n"  # the partial "G0 X" was lost


def test_config_is_validated():
    with pytest.raises(ValueError):
        SimConfig(rx_buffer_size=0)
    with pytest.raises(ValueError):
        SimConfig(settings={99: 1})
    with pytest.raises(TypeError):
        GrblSimulator(SimConfig(), speed_factor=0)

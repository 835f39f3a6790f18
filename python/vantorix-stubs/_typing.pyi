# Type aliases for host code. This module exists for type checkers only (it has no run-time
# counterpart); import it under `if typing.TYPE_CHECKING:`.

from collections.abc import Callable, Sequence
from typing import Literal, TypeAlias, TypedDict

from .grbl.types import DeviceState

TransportStatusName: TypeAlias = Literal[
    "UNKNOWN", "IDLE", "CONNECTING", "CONNECTED", "ERROR", "CLOSING", "DISCONNECTED", "SLEEPING"
]

# Payload of "connection_status_changed" and "command_status_changed": (status, message).
StatusPayload: TypeAlias = tuple[TransportStatusName, str | None]

# Work-coordinate-system name ("G54" ... "G59") to its (x, y, z) offset in mm.
WcsOffsets: TypeAlias = dict[str, tuple[float, float, float]]

EventName: TypeAlias = Literal[
    "state_changed",
    "connection_status_changed",
    "command_status_changed",
    "job_finished",
    "probe_status_changed",
    "wcs_updated",
    "config_changed",
]

# The payload that goes with each event name:
#   "state_changed"                                   DeviceState
#   "connection_status_changed", "command_status_changed"   StatusPayload
#   "job_finished"                                    None
#   "probe_status_changed"                            str
#   "wcs_updated"                                     WcsOffsets
#   "config_changed"                                  tuple[str, int], e.g. ("rx_buffer_size", 128)
EventPayload: TypeAlias = DeviceState | StatusPayload | None | str | WcsOffsets | tuple[str, int]

# Called on the event loop thread as event_callback(name, payload); the result is ignored.
EventCallback: TypeAlias = Callable[[EventName, EventPayload], object]

# Called on the event loop thread with the index of each operation whose lines the device has
# acknowledged; the result is ignored.
ProgressCallback: TypeAlias = Callable[[int], object]

UnitSystem: TypeAlias = Literal["metric", "imperial"]

# Bytes as the parsers and MockTransport take them: bytes, bytearray or a sequence of 0..255.
ByteData: TypeAlias = bytes | bytearray | Sequence[int]

class SessionConfig(TypedDict, total=False):
    """The configuration dictionary of `GrblSession`; every key is optional.

    `host` selects a TCP link (with `tcp_port`, default 23); otherwise the link is serial on
    `port` at `baudrate` (default 115200). Durations are in seconds.
    """

    host: str
    tcp_port: int
    port: str
    baudrate: int
    poll_status_while_running: bool
    deadlock_detection: bool
    rx_buffer_size_override: int
    cached_rx_buffer_size: int
    stall_timeout_min: float
    stall_timeout_max: float
    stall_timeout_safety_factor: float
    stall_timeout_default: float
    safety_shutdown_delay: float
    unanswered_poll_limit: int
    poll_response_attempts: int
    poll_response_interval: float
    handshake_timeout: float
    handshake_poll_interval: float
    status_poll_interval: float
    reconnect_delay: float
    command_timeout: float

class DialectTemplates(TypedDict, total=False):
    """The dialect dictionary: command templates with `{name}` / `{name:.Nf}` placeholders.

    Keys left out keep their built-in defaults.
    """

    home_all: str
    home_axis: str
    move_to: str
    jog: str
    clear_alarm: str
    laser_on: str
    laser_off: str
    focus_laser_on: str
    tool_change: str
    set_wcs_offset: str
    probe_cycle: str
    safety_off_commands: list[str] | tuple[str, ...]
    emergency_stop: str

# A dialect given as a literal (checked key by key) or as plain data loaded by the host.
Dialect: TypeAlias = DialectTemplates | dict[str, str]

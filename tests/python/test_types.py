import inspect
import math

import pytest

import vantorix

types = vantorix.grbl.types
DeviceStatus = types.DeviceStatus
DeviceState = types.DeviceState
DeviceError = types.DeviceError

MEMBERS = [
    "UNKNOWN", "IDLE", "RUN", "HOLD", "JOG", "ALARM", "DOOR", "CHECK",
    "HOME", "SLEEP", "TOOL", "QUEUE", "LOCK", "UNLOCK", "CYCLE", "TEST",
]


class TestDeviceStatus:
    def test_members_in_value_order(self):
        for value, name in enumerate(MEMBERS):
            member = getattr(DeviceStatus, name)
            assert int(member) == value
            assert member.name == name
            assert repr(member) == f"DeviceStatus.{name}"
        declared = [n for n in vars(DeviceStatus) if n.isupper()]
        assert declared == MEMBERS

    def test_one_object_per_member(self):
        assert DeviceStatus.IDLE is DeviceStatus.IDLE
        assert DeviceState().status is DeviceStatus.UNKNOWN

    def test_cannot_be_created_or_changed(self):
        with pytest.raises(TypeError):
            DeviceStatus()
        with pytest.raises(TypeError):
            type(DeviceStatus.IDLE)(1)
        with pytest.raises((TypeError, AttributeError)):
            DeviceStatus.IDLE = 5
        with pytest.raises(AttributeError):
            DeviceStatus.IDLE.name = "RUN"

    class Indexable:
        def __index__(self):
            return 2

    @pytest.mark.parametrize(
        "left, right, equal",
        [
            (DeviceStatus.IDLE, DeviceStatus.IDLE, True),
            (DeviceStatus.IDLE, DeviceStatus.RUN, False),
            (DeviceStatus.RUN, 2, True),
            (DeviceStatus.IDLE, True, True),
            (DeviceStatus.UNKNOWN, False, True),
            (DeviceStatus.RUN, Indexable(), True),
            (DeviceStatus.RUN, 2**80, False),
            (DeviceStatus.IDLE, "IDLE", False),
            (DeviceStatus.IDLE, 1.0, False),
            (DeviceStatus.IDLE, None, False),
        ],
    )
    def test_equality(self, left, right, equal):
        assert (left == right) is equal
        assert (left != right) is not equal

    def test_no_ordering_and_no_hash(self):
        with pytest.raises(TypeError):
            DeviceStatus.IDLE < DeviceStatus.RUN
        with pytest.raises(TypeError):
            DeviceStatus.IDLE >= 0
        with pytest.raises(TypeError):
            hash(DeviceStatus.IDLE)

    def test_docstring(self):
        assert DeviceStatus.__doc__ == "Machine state as reported in Grbl status reports."


class TestDeviceError:
    def test_construction_and_fields(self):
        error = DeviceError(code=9, title="Commands Locked", description="d")
        assert (error.code, error.title, error.description) == (9, "Commands Locked", "d")
        assert str(inspect.signature(DeviceError)) == "(code, title, description)"
        assert DeviceError.__doc__ == "An error or alarm with code, title and description."

    @pytest.mark.parametrize(
        "args, exc, name",
        [
            ((2**31, "a", "b"), OverflowError, "code"),
            ((-(2**31) - 1, "a", "b"), OverflowError, "code"),
            (("1", "a", "b"), TypeError, "code"),
            ((1.5, "a", "b"), TypeError, "code"),
            ((1, b"a", "b"), TypeError, "title"),
            ((1, "a", None), TypeError, "description"),
        ],
    )
    def test_bad_arguments_name_the_parameter(self, args, exc, name):
        with pytest.raises(exc, match=rf"^argument '{name}': "):
            DeviceError(*args)

    def test_missing_argument(self):
        with pytest.raises(TypeError):
            DeviceError(1, "a")

    def test_fields_are_read_only(self):
        error = DeviceError(1, "a", "b")
        with pytest.raises(AttributeError):
            error.code = 2

    @pytest.mark.parametrize(
        "title, shown",
        [
            ("Commands Locked", '"Commands Locked"'),
            ('say "hi"\\', r'"say \"hi\"\\"'),
            ("a\tb\r\nc\0", r'"a\tb\r\nc\0"'),
            ("bell\x07 del\x7f", r'"bell\u{7} del\u{7f}"'),
            ("zero\u200bwidth", r'"zero\u{200b}width"'),
            ("Probe Fail \u2014 Initial", '"Probe Fail \u2014 Initial"'),
            ("caf\u00e9 \U0001f600", '"caf\u00e9 \U0001f600"'),
        ],
    )
    def test_repr_quotes_the_title(self, title, shown):
        assert repr(DeviceError(-4, title, "not shown")) == f"DeviceError(code=-4, title={shown})"

    def test_equality(self):
        a = DeviceError(20, "Unsupported Command", "x")
        assert a == DeviceError(20, "Unsupported Command", "x")
        assert a != DeviceError(20, "Unsupported Command", "y")
        assert a != DeviceError(21, "Unsupported Command", "x")
        assert a.__eq__((20, "Unsupported Command", "x")) is NotImplemented
        with pytest.raises(TypeError):
            a < a
        with pytest.raises(TypeError):
            hash(a)


class TestDeviceState:
    def test_defaults(self):
        s = DeviceState()
        assert s.status is DeviceStatus.UNKNOWN
        assert s.error is None
        assert s.machine_pos == [None, None, None]
        assert s.work_pos == [None, None, None]
        assert s.wco == [0.0, 0.0, 0.0]
        for field in ("feed_rate", "spindle_speed", "buffer_available", "buffer_rx_available"):
            assert getattr(s, field) is None
        assert repr(s) == "DeviceState(status=Unknown, feed_rate=None)"

    def test_signature_and_docs(self):
        assert str(inspect.signature(DeviceState)) == "()"
        assert DeviceState.__doc__ == "The complete state of a device at a moment in time."
        assert DeviceState.machine_pos.__doc__ == "Machine position in mm; entries may be `None`."
        assert DeviceState.work_pos.__doc__ == "Work position in mm; entries may be `None`."
        assert DeviceState.wco.__doc__ == "Work coordinate offset in mm; entries may be `None`."
        props = [n for n, v in vars(DeviceState).items() if inspect.isdatadescriptor(v)]
        assert props[:9] == [
            "status", "error", "machine_pos", "work_pos", "wco", "feed_rate",
            "spindle_speed", "buffer_available", "buffer_rx_available",
        ]

    def test_takes_no_arguments(self):
        with pytest.raises(TypeError):
            DeviceState(1)
        with pytest.raises(TypeError):
            DeviceState(status=DeviceStatus.IDLE)

    def test_repr_shows_status_and_feed(self):
        s = DeviceState()
        s.status = DeviceStatus.RUN
        s.feed_rate = 1500
        assert repr(s) == "DeviceState(status=Run, feed_rate=Some(1500))"

    def test_reads_are_fresh_copies(self):
        s = DeviceState()
        s.machine_pos.append(1.0)
        assert s.machine_pos == [None, None, None]
        s.error = DeviceError(1, "a", "b")
        first = s.error
        assert first == s.error and first is not s.error

    def test_assigned_values_are_copied(self):
        s = DeviceState()
        pos = [1.0, None, 2, 3.5]
        s.machine_pos = pos
        pos[0] = 9.0
        assert s.machine_pos == [1.0, None, 2.0, 3.5]
        assert isinstance(s.machine_pos[2], float)
        s.wco = (1, 2)
        assert s.wco == [1.0, 2.0]
        s.work_pos = []
        assert s.work_pos == []

    @pytest.mark.parametrize(
        "field, value, exc, name",
        [
            ("status", 1, TypeError, "status"),
            ("status", None, TypeError, "status"),
            ("error", "boom", TypeError, "error"),
            ("machine_pos", "1,2,3", TypeError, "pos"),
            ("work_pos", [1.0, "x"], TypeError, "pos"),
            ("work_pos", 5, TypeError, "pos"),
            ("wco", "abc", TypeError, "wco"),
            ("wco", [object()], TypeError, "wco"),
            ("feed_rate", 1.5, TypeError, "feed_rate"),
            ("spindle_speed", "1", TypeError, "spindle_speed"),
            ("buffer_available", 2**63, OverflowError, "buffer_available"),
            ("buffer_rx_available", -(2**63) - 1, OverflowError, "buffer_rx_available"),
        ],
    )
    def test_assignment_errors(self, field, value, exc, name):
        s = DeviceState()
        before = getattr(s, field)
        with pytest.raises(exc, match=rf"^argument '{name}': "):
            setattr(s, field, value)
        assert getattr(s, field) == before

    @pytest.mark.parametrize(
        "field",
        ["status", "error", "machine_pos", "work_pos", "wco", "feed_rate", "spindle_speed",
         "buffer_available", "buffer_rx_available"],
    )
    def test_delete_is_refused(self, field):
        s = DeviceState()
        s.feed_rate = 7
        with pytest.raises((TypeError, AttributeError)):
            delattr(s, field)
        assert s.feed_rate == 7 and s.wco == [0.0, 0.0, 0.0]

    def test_integer_limits(self):
        s = DeviceState()
        s.feed_rate = 2**63 - 1
        s.spindle_speed = -(2**63)
        s.buffer_available = True
        assert (s.feed_rate, s.spindle_speed, s.buffer_available) == (2**63 - 1, -(2**63), 1)
        s.feed_rate = None
        assert s.feed_rate is None

    @pytest.mark.parametrize(
        "field, value",
        [
            ("status", DeviceStatus.IDLE),
            ("error", DeviceError(1, "a", "b")),
            ("machine_pos", [0.0, 0.0, 0.0]),
            ("work_pos", [None, None]),
            ("wco", [0.0, 0.0, 0.0, 0.0]),
            ("feed_rate", 0),
            ("spindle_speed", 0),
            ("buffer_available", 15),
            ("buffer_rx_available", 128),
        ],
    )
    def test_equality_covers_every_field(self, field, value):
        a, b = DeviceState(), DeviceState()
        assert a == b
        setattr(b, field, value)
        assert a != b and b != a
        setattr(a, field, value)
        assert a == b

    def test_nan_position_is_not_equal_to_itself(self):
        s = DeviceState()
        s.machine_pos = [math.nan, 0.0, 0.0]
        assert s != s

    def test_other_operands(self):
        s = DeviceState()
        assert s.__eq__(object()) is NotImplemented
        assert (s == 1) is False
        with pytest.raises(TypeError):
            s < s
        with pytest.raises(TypeError):
            hash(s)

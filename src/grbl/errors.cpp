#include "grbl/errors.hpp"

#include <array>

#include "grbl/numbers.hpp"

namespace vantorix::grbl {
namespace {

struct Row {
    std::string_view title;
    std::string_view description;
};

// Indexed by code - 1.
constexpr std::array<Row, 38> ERROR_ROWS{{
    {"Missing Command Letter",
     "G-code commands need a letter followed by a value. The command letter was not found."},
    {"Invalid Number Format",
     "The value is missing or not in the correct numeric format. Check your G-code syntax."},
    {"Unknown Command",
     "This Grbl setting command is not recognized or supported. Check the command syntax."},
    {"Negative Value", "A positive number is required here, but a negative value was received."},
    {"Homing Disabled",
     "Homing is not enabled in settings. Enable homing ($22=1) to use this feature."},
    {"Pulse Time Too Short",
     "Minimum step pulse time must be greater than 3 microseconds. Check setting $0."},
    {"Memory Error",
     "Settings reset to defaults due to a memory read failure. Reconfigure your settings if "
     "needed."},
    {"Machine Busy",
     "This command can only be used when the machine is idle. Wait for the current job to "
     "finish."},
    {"Commands Locked",
     "Cannot send commands while in alarm or jog mode. Clear the alarm state first."},
    {"Homing Required",
     "Soft limits cannot be enabled without homing also enabled. Enable homing first ($22=1)."},
    {"Line Too Long",
     "The command line has too many characters and was ignored. Check your file formatting."},
    {"Setting Too High",
     "This setting exceeds the maximum step rate supported. Use a lower value."},
    {"Door Open", "The safety door was detected as open. Close the door and resume operation."},
    {"Line Too Long", "Build info or startup line exceeds storage limit. Shorten the line."},
    {"Target Out of Range",
     "Jog target is beyond the machine's travel limits. Move to a position within range."},
    {"Invalid Jog Command",
     "Jog command is missing '=' or contains prohibited G-code. Check the jog syntax."},
    {"Laser Mode Error",
     "Laser mode requires PWM output to work. Check your hardware configuration."},
    {"Spindle Not Running",
     "A motion command was issued but the spindle is not running. Start the spindle before "
     "motion."},
    {"Spindle Speed Mismatch",
     "The current spindle speed does not match the speed required by the command. Wait for "
     "the spindle to reach the target speed."},
    {"Unsupported Command",
     "This G-code command is not supported by the machine. Check your post-processor "
     "settings."},
    {"Conflicting Commands",
     "Multiple commands from the same group found on one line. Remove the duplicate command."},
    {"Feed Rate Missing",
     "Set a feed rate before using motion commands. Add an F command to specify speed."},
    {"Integer Required", "This command requires a whole number value. Remove any decimal points."},
    {"Axis Conflict", "Multiple commands trying to use the same axis. Simplify the command."},
    {"Duplicate Word", "The same G-code word appears more than once. Remove the duplicate."},
    {"Missing Axis", "This command requires XYZ axis coordinates. Add the missing axis values."},
    {"Line Number Out of Range",
     "Line number must be between 1 and 9,999,999. Use a valid line number."},
    {"Missing Value", "This command requires a P or L value. Add the missing parameter."},
    {"Unsupported Coordinate",
     "Only G54-G59 coordinate systems are supported. Use one of these instead."},
    {"Wrong Motion Mode",
     "G53 command requires G0 or G1 motion mode. Set the correct motion mode first."},
    {"Unused Axis Words",
     "Axis words present but G80 cancel is active. Remove the unused axis words."},
    {"Missing Arc Data",
     "G2/G3 arc command needs XYZ coordinates. Add the axis values for the selected plane."},
    {"Invalid Target",
     "Cannot create this arc or probe to current position. Check the target coordinates."},
    {"Arc Geometry Error",
     "Arc calculation failed. Try breaking the arc into smaller pieces or use IJK offset "
     "instead."},
    {"Missing Arc Offset",
     "G2/G3 arc command needs IJK offset values. Add the missing offset for the selected "
     "plane."},
    {"Unused Words",
     "Some G-code words in this line are not used by any command. Remove the unused words."},
    {"Wrong Axis for Offset",
     "Tool length offset only works on the configured axis (usually Z-axis). Check your "
     "settings."},
    {"Tool Number Too High",
     "Tool number exceeds the maximum supported value. Use a valid tool number."},
}};

constexpr std::array<Row, 10> ALARM_ROWS{{
    {"Hard Limit",
     "A hard limit switch was triggered. The machine has stopped and needs to be reset. Check "
     "for obstructions and verify your limit switches."},
    {"Soft Limit",
     "The machine would move beyond its configured travel limits. Check that your work area "
     "and coordinate offsets are correct."},
    {"Abort Cycle",
     "The currently running job was cancelled while in motion. Reset the machine to "
     "continue."},
    {"Probe Fail \u2014 Initial",
     "The probe did not make contact before the maximum travel distance was reached. Check "
     "the probe wiring and positioning."},
    {"Probe Fail \u2014 Final",
     "The probe failed to retract to the target position after contact. Check the probe "
     "configuration."},
    {"Homing Fail \u2014 Reset",
     "Homing was not able to complete because the machine is in an alarm state. Clear the "
     "alarm and try again."},
    {"Homing Fail \u2014 Approach",
     "The homing cycle failed to find the switch within the configured travel distance. Check "
     "your switch wiring and pull-off settings."},
    {"Homing Fail \u2014 Pulloff",
     "The homing cycle failed to successfully pull off the switch after contact. Increase the "
     "pull-off distance or check the switch."},
    {"Home Without Limits",
     "Homing was commanded but limit switches are not configured. Enable limit switches "
     "first."},
    {"Homing Fail \u2014 Dual Axis",
     "Homing failed on a dual-axis configuration. One or both axes did not reach their limit "
     "switches. Check your limit switch wiring and configuration."},
}};

struct Fallbacks {
    std::string_view title;
    std::string_view not_a_number;
    std::string_view not_in_table;
};

constexpr Fallbacks ERROR_FALLBACKS{
    "Unknown Error", "Invalid error code reported by machine.",
    "The machine reported an unrecognized error code. Check your machine and firmware "
    "documentation."};

constexpr Fallbacks ALARM_FALLBACKS{
    "Unknown Alarm", "Invalid alarm code reported by machine.",
    "The machine reported an unrecognized alarm code. Check your machine and firmware "
    "documentation."};

template <std::size_t N>
DeviceError look_up(std::string_view text, const std::array<Row, N>& rows,
                    const Fallbacks& fallbacks) {
    std::optional<std::int32_t> code = parse_i32(text);
    if (!code) {
        return {-1, std::string(fallbacks.title), std::string(fallbacks.not_a_number)};
    }
    if (*code >= 1 && static_cast<std::size_t>(*code) <= N) {
        const Row& row = rows[static_cast<std::size_t>(*code) - 1];
        return {*code, std::string(row.title), std::string(row.description)};
    }
    return {*code, std::string(fallbacks.title), std::string(fallbacks.not_in_table)};
}

}  // namespace

DeviceError error_code_to_device_error(std::string_view error_code) {
    return look_up(error_code, ERROR_ROWS, ERROR_FALLBACKS);
}

DeviceError alarm_code_to_device_error(std::string_view alarm_code) {
    return look_up(alarm_code, ALARM_ROWS, ALARM_FALLBACKS);
}

}  // namespace vantorix::grbl

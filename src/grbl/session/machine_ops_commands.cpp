#include "grbl/session/machine_ops_commands.hpp"

#include "grbl/line_parsers_coordinates.hpp"

namespace vantorix::grbl {

namespace {

Result<std::string> render(std::string_view template_text, const std::vector<NamedArg>& args) {
    Rendered rendered = format_template(template_text, args);
    if (!rendered.ok()) return SessionError::other(std::move(*rendered.error));
    return std::move(rendered.text);
}

}  // namespace

std::string ascii_upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

Result<std::vector<std::string>> home_commands(const GrblDialect& dialect,
                                               const std::optional<std::vector<std::string>>& axes,
                                               const std::string& active_wcs) {
    std::vector<std::string> commands;
    if (!axes) {
        commands.push_back(dialect.home_all);
    } else {
        for (const std::string& axis : *axes) {
            Result<std::string> command =
                render(dialect.home_axis, {{"axis_letter", Arg::Text{axis}}});
            if (!command.ok()) return command.error();
            commands.push_back(std::move(command.value()));
        }
    }
    // Switching to another system and back makes the firmware re-apply the active one,
    // which homing leaves stale.
    commands.emplace_back("G4 P0.01");
    commands.emplace_back(active_wcs == "G54" ? "G55" : "G54");
    commands.push_back(active_wcs);
    return commands;
}

Result<std::string> move_to_command(const GrblDialect& dialect, double speed, double x, double y) {
    return render(dialect.move_to,
                  {{"speed", Arg::Number{speed}}, {"x", Arg::Coord{x}}, {"y", Arg::Coord{y}}});
}

Result<std::optional<std::string>> jog_command(const GrblDialect& dialect, double speed,
                                               const std::vector<JogDelta>& deltas) {
    if (deltas.empty()) return std::optional<std::string>{};
    Result<std::string> prefix = render(dialect.jog, {{"speed", Arg::Number{speed}}});
    if (!prefix.ok()) return prefix.error();
    std::string command = std::move(prefix.value());
    for (const auto& [axis, distance] : deltas) {
        command += ' ';
        command += ascii_upper(axis);
        command += format_arg(Arg::Coord{distance});
    }
    return std::optional<std::string>(std::move(command));
}

Result<std::string> laser_power_command(const GrblDialect& dialect, std::optional<double> power) {
    if (power && *power > 0.0) return render(dialect.laser_on, {{"power", Arg::Coord{*power}}});
    return dialect.laser_off;
}

Result<std::string> focus_power_command(const GrblDialect& dialect, double power) {
    return render(dialect.focus_laser_on, {{"power", Arg::Coord{power}}});
}

Result<std::string> tool_command(const GrblDialect& dialect, std::int64_t tool_number) {
    return render(dialect.tool_change, {{"tool_number", Arg::Int{tool_number}}});
}

std::string setting_command(std::string_view key, std::string_view value) {
    std::string command = "$";
    command += key;
    command += '=';
    command += value;
    return command;
}

Result<std::string> wcs_offset_command(const GrblDialect& dialect, std::string_view wcs_slot,
                                       double x, double y, std::optional<double> z) {
    std::optional<int> p_num = gcode_to_p_number(wcs_slot);
    if (!p_num) return SessionError::other("Invalid WCS slot: " + std::string(wcs_slot));
    Rendered rendered = dialect.format_wcs_offset(*p_num, x, y, z);
    if (!rendered.ok()) return SessionError::other(std::move(*rendered.error));
    return std::move(rendered.text);
}

Result<std::string> probe_command(const GrblDialect& dialect, std::string_view axis_letter,
                                  double max_travel, double feed_rate) {
    return render(dialect.probe_cycle, {{"axis_letter", Arg::Text{std::string(axis_letter)}},
                                        {"max_travel", Arg::Coord{max_travel}},
                                        {"feed_rate", Arg::Number{feed_rate}}});
}

}  // namespace vantorix::grbl

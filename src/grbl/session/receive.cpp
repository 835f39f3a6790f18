// Receive handling: every chunk from the device becomes request answers, device state,
// job progress and events.
#include <algorithm>
#include <string_view>

#include "grbl/errors.hpp"
#include "grbl/line_parsers.hpp"
#include "grbl/pattern_unicode.hpp"
#include "grbl/session/core.hpp"
#include "grbl/debug_text.hpp"
#include "grbl/status_parser.hpp"
#include "log/facade.hpp"

namespace vantorix::grbl {

namespace {

constexpr std::string_view CONFIG_RX_BUFFER_SIZE = "rx_buffer_size";

bool is_open(const std::shared_ptr<RequestShared>& request) {
    return request && !request->done.is_set();
}

// "error:9" -> "9": the text between the first ':' and the next one (or the end).
std::string_view error_code_text(std::string_view line) {
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return {};
    std::string_view rest = line.substr(colon + 1);
    return trim_unicode_whitespace(rest.substr(0, rest.find(':')));
}

}  // namespace

void SessionCore::handle_rx(std::span<const std::uint8_t> bytes) {
    std::vector<GrblResponse> responses = flow.parse_incoming(bytes);
    // Lines that belong to a request (build information, settings, bracketed replies)
    // are attached to it before the ok that completes it, even within one chunk.
    std::stable_partition(responses.begin(), responses.end(), [](const GrblResponse& r) {
        return r.kind == GrblResponse::Kind::OTHER_LINE;
    });
    for (const GrblResponse& response : responses) {
        switch (response.kind) {
            case GrblResponse::Kind::OK:
                handle_ok(response);
                break;
            case GrblResponse::Kind::ERROR:
                handle_error_reply(response);
                break;
            case GrblResponse::Kind::OTHER_LINE:
                handle_other_line(response.line);
                break;
        }
    }
    flow.flush_notifications();
}

void SessionCore::handle_ok(const GrblResponse& response) {
    status_report_count.fetch_add(1);
    if (std::shared_ptr<RequestShared> request = current_request(); is_open(request)) {
        request->add_line("ok");
        events->command_status(TransportStatus::IDLE, std::nullopt);
        log::debug(SESSION_TARGET, "Command {} completed with 'ok'", quoted(request->command()));
        request->done.set();
    }
    if (!job_active_.load() || !response.acked || !response.acked->op_index) return;
    const std::int64_t acked_index = *response.acked->op_index;
    // Operations without a line of their own are reported with the next acknowledged one.
    // The events go out after the lock is released: they may wait for the interpreter lock.
    const std::int64_t first = last_done_op_index.with([&](std::int64_t& last_done) {
        const std::int64_t next = std::max<std::int64_t>(last_done + 1, 0);
        last_done = acked_index;
        return next;
    });
    for (std::int64_t i = first; i <= acked_index; ++i) {
        log::debug(SESSION_TARGET, "Firing on_command_done for op_index {}", i);
        events->command_done(static_cast<std::uint64_t>(i));
    }
}

void SessionCore::record_device_error(DeviceError error) {
    std::optional<DeviceState> snapshot =
        state_.with([&error](DeviceState& state) -> std::optional<DeviceState> {
            if (state.error) return std::nullopt;  // the first error stays
            state.error = std::move(error);
            return state;
        });
    if (snapshot) events->state_changed(*snapshot);
}

void SessionCore::halt_job(SessionError reason) {
    last_error.set(std::move(reason));
    flow.notify_space_freed();
}

void SessionCore::handle_error_reply(const GrblResponse& response) {
    const std::string& line = response.line;
    status_report_count.fetch_add(1);
    record_device_error(error_code_to_device_error(error_code_text(line)));
    if (std::shared_ptr<RequestShared> request = current_request(); is_open(request)) {
        request->add_line(line);
        events->command_status(TransportStatus::ERROR, line);
        request->done.set();
    }
    if (job_active_.load()) {
        events->command_status(TransportStatus::ERROR, line);
        log::error(SESSION_TARGET, "GRBL error during job: {}. Halting stream.", line);
        halt_job(SessionError::device("GRBL error: " + line));
    }
}

void SessionCore::handle_other_line(const std::string& line) {
    const bool starts_report = line.starts_with('<');
    const bool report_head = starts_report && !line.ends_with('>');
    const bool report_tail = !starts_report && line.find("Pos:") != std::string::npos &&
                             line.find('|') != std::string::npos;
    if (report_head || report_tail) {
        log::debug(SESSION_TARGET, "Ignoring fragmented status report: {}", line);
        return;
    }
    if (starts_report) {
        handle_status_report(line);
        return;
    }

    if (std::shared_ptr<RequestShared> request = current_request(); is_open(request)) {
        request->add_line(line);
    }
    if (line.starts_with("ALARM:")) {
        record_device_error(
            alarm_code_to_device_error(trim_unicode_whitespace(std::string_view(line).substr(6))));
        events->command_status(TransportStatus::ERROR, line);
        if (job_active_.load()) {
            log::error(SESSION_TARGET, "GRBL ALARM during job: {}. Halting stream.", line);
            halt_job(SessionError::device("GRBL ALARM: " + line));
        }
    } else if (line.starts_with("[VER:")) {
        if (std::optional<VersionInfo> version = parse_ver(line)) {
            log::info(SESSION_TARGET, "Connected to GRBL version {}", version->version);
        }
    } else if (line.starts_with("[OPT:")) {
        if (std::optional<std::int64_t> size = parse_opt_info(line)) {
            log::info(SESSION_TARGET, "Caching RX buffer size: {} bytes", *size);
            events->config_changed(std::string(CONFIG_RX_BUFFER_SIZE), *size);
            if (config_.rx_buffer_size_override <= 0 && *size > 0) {
                flow.set_rx_buffer_size(static_cast<std::size_t>(*size));
            }
        }
    } else if (line.starts_with("Grbl ") || line.starts_with("GrblHAL ")) {
        // A device that announces itself has answered the handshake.
        status_report_event.set();
        log::debug(SESSION_TARGET, "Received Grbl welcome message: {}", line);
        if (job_active_.load()) {
            // The controller restarted under a running job: the lines in its buffer are
            // gone and their answers will never come. Streaming on would skip them on the
            // workpiece. A cancel clears `job_active` before it writes its own reset.
            log::error(SESSION_TARGET, "Controller reset during job: {}. Halting stream.", line);
            halt_job(SessionError::device("Controller reset during job."));
        }
    } else if (job_active_.load()) {
        log::warn(SESSION_TARGET, "Unexpected device line during job: {}", line);
    } else {
        log::debug(SESSION_TARGET, "Received informational line: {}", line);
    }
}

void SessionCore::handle_status_report(const std::string& line) {
    status_report_event.set();
    status_report_count.fetch_add(1);
    DeviceState fresh = state_.with(
        [&](const DeviceState& state) { return parse_state(line, state, report_inches.load()); });
    last_report_status.set(fresh.status);

    // An idle controller has an empty receive buffer, so the free space it reports is
    // the whole buffer.
    if (fresh.buffer_rx_available && fresh.status == DeviceStatus::IDLE &&
        config_.rx_buffer_size_override <= 0) {
        const std::int64_t size = *fresh.buffer_rx_available;
        if (size > 0 && static_cast<std::size_t>(size) != flow.rx_buffer_size()) {
            log::info(SESSION_TARGET,
                      "Detected RX buffer size {} from Bf: status field (device idle, available "
                      "== total)",
                      size);
            flow.set_rx_buffer_size(static_cast<std::size_t>(size));
            log::info(SESSION_TARGET, "Caching RX buffer size: {} bytes", size);
            events->config_changed(std::string(CONFIG_RX_BUFFER_SIZE), size);
        }
    }

    // Between two lines of a job the controller may idle briefly; the job still runs.
    if (job_active_.load() && fresh.status == DeviceStatus::IDLE) fresh.status = DeviceStatus::RUN;
    if (hold_active.load() && fresh.status != DeviceStatus::ALARM) {
        fresh.status = DeviceStatus::HOLD;
    }

    const bool changed = state_.with([&](DeviceState& state) {
        if (state == fresh) return false;
        if (state.status != fresh.status) {
            log::debug(SESSION_TARGET, "Device state changed: {}",
                       device_status_display(fresh.status));
        }
        state = fresh;
        return true;
    });
    if (changed) events->state_changed(fresh);
}

}  // namespace vantorix::grbl

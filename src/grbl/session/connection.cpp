// Connection lifecycle: the supervisor that opens the link, waits for the controller to
// answer, polls its status and reconnects after a lost link; connect and cleanup.
#include <asio/this_coro.hpp>
#include <chrono>

#include "grbl/session/commands.hpp"
#include "grbl/session/core.hpp"
#include "grbl/session/job_stop.hpp"
#include "log/facade.hpp"
#include "rt/timeout.hpp"

namespace vantorix::grbl {

namespace {

const Bytes STATUS_POLL{'?'};

enum class Handshake { ANSWERED, NO_RESPONSE, WRITE_FAILED };

asio::awaitable<void> reader_loop(std::shared_ptr<SessionCore> core, RxReceiver chunks) {
    for (;;) {
        std::optional<Bytes> chunk = co_await chunks.recv();
        if (!chunk) co_return;
        core->handle_rx(*chunk);
    }
}

// Sends "?" until a status report or the welcome banner arrives or the deadline passes.
asio::awaitable<Handshake> await_handshake(std::shared_ptr<SessionCore> core) {
    const SessionConfig& config = core->config();
    const rt::Clock::time_point deadline =
        rt::Clock::now() + SessionConfig::secs(config.handshake_timeout);
    for (;;) {
        TransportResult written = co_await core->transport->write(STATUS_POLL);
        if (!written.ok()) {
            std::string text = written.error().message();
            log::error(SESSION_TARGET, "Connection error: {}", text);
            core->update_connection_status(TransportStatus::ERROR, text);
            co_return Handshake::WRITE_FAILED;
        }
        co_await rt::with_timeout(core->status_report_event.wait(),
                                  SessionConfig::secs(config.handshake_poll_interval));
        if (core->status_report_event.is_set()) co_return Handshake::ANSWERED;
        if (rt::Clock::now() >= deadline) co_return Handshake::NO_RESPONSE;
    }
}

asio::awaitable<void> query_build_info(std::shared_ptr<SessionCore> core) {
    log::info(SESSION_TARGET, "Connection established successfully.");
    core->apply_cached_rx_buffer_size();
    // The build-information lines are interpreted by receive handling as they arrive.
    Result<std::vector<std::string>> answer = co_await execute_interactive_command(core, "$I");
    if (!answer.ok()) {
        log::warn(SESSION_TARGET, "Failed to retrieve build info: {}", answer.error().text());
    }
    if (!core->flow.stored_rx_buffer_size()) {
        log::warn(SESSION_TARGET,
                  "Device did not report RX buffer size via $I. Using default {} bytes.",
                  DEFAULT_RX_BUFFER_SIZE);
    }
    core->update_connection_status(TransportStatus::CONNECTED, std::nullopt);
}

bool link_wanted_and_open(const SessionCore& core) {
    return core.connection_wanted.load() && core.transport->is_open();
}

// Returns when the link is lost or no longer wanted.
asio::awaitable<void> status_poll_loop(std::shared_ptr<SessionCore> core) {
    const rt::Duration interval = SessionConfig::secs(core->config().status_poll_interval);
    while (link_wanted_and_open(*core)) {
        // A running job polls by itself.
        if (core->job_active_.load() && !core->config().poll_status_while_running) {
            co_await rt::sleep_for(interval);
            continue;
        }
        const std::uint64_t answers_before = core->status_report_count.load();
        TransportResult written = co_await core->transport->write(STATUS_POLL);
        if (!written.ok()) {
            log::warn(SESSION_TARGET, "Connection lost while sending poll: {}",
                      written.error().text());
            co_return;
        }
        co_await rt::sleep_for(interval);
        if (!link_wanted_and_open(*core)) co_return;
        if (core->connection_status.get() == TransportStatus::ERROR &&
            core->status_report_count.load() > answers_before) {
            log::info(SESSION_TARGET,
                      "Device responded after connection error; recovering connection status.");
            core->update_connection_status(TransportStatus::CONNECTED, std::nullopt);
        }
    }
}

// One attempt: open, handshake, query and poll until the link is lost, then tear it down.
asio::awaitable<void> run_link(std::shared_ptr<SessionCore> core, RxSender sender,
                               RxReceiver chunks) {
    TransportResult opened = co_await core->transport->open(std::move(sender));
    if (!opened.ok()) {
        std::string text = opened.error().text();
        log::error(SESSION_TARGET, "Connection error: {}", text);
        core->update_connection_status(TransportStatus::ERROR, text);
        co_return;
    }
    auto executor = co_await asio::this_coro::executor;
    core->reader_task.set(rt::spawn(executor, reader_loop(core, std::move(chunks))));

    Handshake handshake = co_await await_handshake(core);
    if (handshake == Handshake::ANSWERED) {
        co_await query_build_info(core);
        co_await status_poll_loop(core);
    } else if (handshake == Handshake::NO_RESPONSE) {
        log::warn(SESSION_TARGET,
                  "No response from device. Port may be a phantom COM port without a connected "
                  "device.");
        core->update_connection_status(TransportStatus::ERROR, "No response from device");
    }

    if (rt::TaskHandle reader = core->reader_task.exchange({})) reader.abort();
    (void)co_await core->transport->close();
}

// A job must not go on over the next link: the lines the device held when the link broke
// are unaccounted for (the next link starts with empty counts), so streaming on could
// overflow the device's buffer or skip lines it lost. Stopping cancels the job, which also
// stops whatever the device still executes.
void stop_job_on_lost_link(SessionCore& core) {
    if (!core.job_active_.load()) return;
    const SessionError lost = SessionError::connection("Serial transport disconnected during job.");
    if (!record_error_if_none(core, lost)) return;
    log::warn(SESSION_TARGET, "Link lost during job: stopping the stream.");
    core.flow.notify_space_freed();  // a stream waiting for space sees the reason at once
}

asio::awaitable<void> connection_loop(std::shared_ptr<SessionCore> core) {
    log::debug(SESSION_TARGET, "Entering connection loop.");
    while (core->connection_wanted.load()) {
        core->status_report_event.clear();
        // Lines written on an earlier link are never answered on a new one; left counted,
        // they would hold the build-information query (which waits until nothing is
        // pending) and with it the whole supervisor for ever.
        core->flow.reset();
        auto [sender, chunks] = rx_channel();
        co_await run_link(core, std::move(sender), std::move(chunks));
        if (!core->connection_wanted.load()) break;
        stop_job_on_lost_link(*core);
        log::debug(SESSION_TARGET, "Connection lost. Reconnecting.");
        core->update_connection_status(TransportStatus::SLEEPING, std::nullopt);
        co_await rt::sleep_for(SessionConfig::secs(core->config().reconnect_delay));
    }
    log::debug(SESSION_TARGET, "Leaving connection loop.");
}

asio::awaitable<void> stop_and_join(Guarded<rt::TaskHandle>& slot) {
    if (rt::TaskHandle task = slot.exchange({})) {
        task.abort();
        (void)co_await task.join();  // how it ended does not matter here
    }
}

}  // namespace

asio::awaitable<void> abort_background_tasks(std::shared_ptr<SessionCore> core) {
    co_await stop_and_join(core->connection_task);
    co_await stop_and_join(core->command_queue_task);
    if (rt::TaskHandle reader = core->reader_task.exchange({})) reader.abort();
    (void)co_await core->transport->close();
}

asio::awaitable<void> connect(std::shared_ptr<SessionCore> core) {
    co_await abort_background_tasks(core);
    core->connection_wanted.store(true);
    core->cancelled.store(false);
    core->job_active_.store(false);
    core->last_error.set(std::nullopt);
    core->flow.reset();

    auto [commands_tx, commands_rx] = rt::unbounded_channel<QueuedCommand>();
    // Replacing the sender closes the previous channel.
    core->command_tx.set(std::move(commands_tx));

    auto executor = co_await asio::this_coro::executor;
    core->connection_task.set(rt::spawn(executor, connection_loop(core)));
    core->command_queue_task.set(
        rt::spawn(executor, command_queue_loop(core, std::move(commands_rx))));
}

asio::awaitable<void> cleanup(std::shared_ptr<SessionCore> core) {
    core->connection_wanted.store(false);
    core->job_active_.store(false);
    core->cancelled.store(true);
    co_await abort_stream_task(core);
    core->cancelled.store(false);
    core->flow.reset();
    core->last_error.set(std::nullopt);
    co_await abort_background_tasks(core);
    core->update_connection_status(TransportStatus::DISCONNECTED, std::nullopt);
}

}  // namespace vantorix::grbl

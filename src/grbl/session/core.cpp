#include "grbl/session/core.hpp"

#include <mutex>
#include <type_traits>
#include <variant>

#include "grbl/transport/mock.hpp"
#include "grbl/transport/serial.hpp"
#include "grbl/transport/telnet.hpp"
#include "log/facade.hpp"

namespace vantorix::grbl {

struct SessionCore::Private {};

namespace {

std::shared_ptr<Transport> make_transport(LinkChoice link) {
    return std::visit(
        [](auto& choice) -> std::shared_ptr<Transport> {
            using Choice = std::decay_t<decltype(choice)>;
            if constexpr (std::is_same_v<Choice, SerialLink>) {
                return std::make_shared<SerialTransport>(std::move(choice.path), choice.baudrate);
            } else if constexpr (std::is_same_v<Choice, TcpLink>) {
                return std::make_shared<TelnetTransport>(std::move(choice.host), choice.port);
            } else {
                return std::move(choice.inner);
            }
        },
        link);
}

}  // namespace

SessionCore::SessionCore(Private, LinkChoice link, SessionConfig config, GrblDialect dialect,
                         std::shared_ptr<SessionEvents> events)
    : config_(std::move(config)),
      events(std::move(events)),
      transport(make_transport(std::move(link))),
      dialect_(std::move(dialect)) {
    if (config_.cached_rx_buffer_size && *config_.cached_rx_buffer_size > 0) {
        flow.set_rx_buffer_size(static_cast<std::size_t>(*config_.cached_rx_buffer_size));
    }
}

std::shared_ptr<SessionCore> SessionCore::create(LinkChoice link, SessionConfig config,
                                                 GrblDialect dialect,
                                                 std::shared_ptr<SessionEvents> events) {
    return std::make_shared<SessionCore>(Private{}, std::move(link), std::move(config),
                                         std::move(dialect), std::move(events));
}

GrblDialect SessionCore::dialect() const {
    std::shared_lock lock(dialect_mutex_);
    return dialect_;
}

void SessionCore::update_dialect(GrblDialect dialect) {
    std::unique_lock lock(dialect_mutex_);
    std::swap(dialect_, dialect);
}

std::vector<std::string> SessionCore::pending_commands() const {
    std::vector<std::string> commands;
    for (PendingCommand& pending : flow.pending_queue()) {
        commands.push_back(std::move(pending.command));
    }
    return commands;
}

void SessionCore::update_connection_status(TransportStatus status,
                                           std::optional<std::string> message) {
    connection_status.set(status);
    events->connection_status(status, message);
}

void SessionCore::apply_cached_rx_buffer_size() {
    if (config_.rx_buffer_size_override > 0) {
        log::info(SESSION_TARGET, "Applying RX buffer size override: {} bytes",
                  config_.rx_buffer_size_override);
        flow.set_rx_buffer_size(static_cast<std::size_t>(config_.rx_buffer_size_override));
    } else if (config_.cached_rx_buffer_size && *config_.cached_rx_buffer_size > 0) {
        log::info(SESSION_TARGET, "Applying cached RX buffer size: {} bytes",
                  *config_.cached_rx_buffer_size);
        flow.set_rx_buffer_size(static_cast<std::size_t>(*config_.cached_rx_buffer_size));
    }
}

std::shared_ptr<RequestShared> SessionCore::current_request() const {
    // The only place that holds two of the short mutexes, always in this order.
    return interactive_request.with([this](const std::shared_ptr<RequestShared>& interactive) {
        return interactive ? interactive : active_request.get();
    });
}

namespace {

std::optional<rt::TaskHandle> stream_task_of(const SessionCore& core) {
    return core.stream.with([](const std::optional<StreamHandle>& handle) {
        return handle ? std::optional<rt::TaskHandle>(handle->task) : std::nullopt;
    });
}

asio::awaitable<bool> on_stream_task(std::shared_ptr<SessionCore> core) {
    std::optional<rt::TaskHandle> task = stream_task_of(*core);
    if (!task) co_return false;
    co_return co_await task->is_current();
}

}  // namespace

asio::awaitable<bool> InStreamTask::operator()(std::shared_ptr<SessionCore> core) const {
    return on_stream_task(std::move(core));
}

asio::awaitable<void> abort_stream_task(std::shared_ptr<SessionCore> core) {
    const bool inside = co_await IN_STREAM_TASK(core);
    if (inside) co_return;
    std::optional<StreamHandle> handle = core->stream.exchange(std::nullopt);
    if (!handle) co_return;
    const bool own_handle = co_await handle->task.is_current();
    if (own_handle) {
        // The stream task stored its own handle between the look and the take: put it
        // back rather than wait for ourselves.
        core->stream.with([&handle](std::optional<StreamHandle>& slot) {
            if (!slot) slot = std::move(handle);
        });
        co_return;
    }
    co_await handle->abort_and_wait();
}

}  // namespace vantorix::grbl

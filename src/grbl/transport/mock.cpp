#include "grbl/transport/mock.hpp"

namespace vantorix::grbl {

asio::awaitable<TransportResult> MockInner::open(RxSender sender) {
    std::optional<RxSender> previous;
    {
        std::lock_guard lock(rx_sender_mutex_);
        previous = std::exchange(rx_sender_, std::move(sender));
    }
    connected_.store(true);
    co_return TransportResult();
}

asio::awaitable<TransportResult> MockInner::close() {
    connected_.store(false);
    std::optional<RxSender> dropped;
    {
        std::lock_guard lock(rx_sender_mutex_);
        dropped = std::exchange(rx_sender_, std::nullopt);
    }
    co_return TransportResult();
}

asio::awaitable<TransportResult> MockInner::write(std::span<const std::uint8_t> bytes) {
    if (!connected_.load()) co_return TransportError::not_connected();
    {
        std::lock_guard lock(write_error_mutex_);
        if (write_error_) {
            // The error stays stored: the link fails again once it is marked up again.
            connected_.store(false);
            co_return TransportError::connection(*write_error_);
        }
    }
    std::lock_guard lock(sent_log_mutex_);
    sent_log_.chunks.emplace_back(bytes.begin(), bytes.end());
    co_return TransportResult();
}

bool MockInner::is_open() const {
    return connected_.load();
}

void MockInner::push(std::span<const std::uint8_t> bytes) {
    // Sent under the lock so that a push is ordered with open and close.
    std::lock_guard lock(rx_sender_mutex_);
    if (rx_sender_) rx_sender_->send(Bytes(bytes.begin(), bytes.end()));
}

std::vector<Bytes> MockInner::sent() const {
    std::lock_guard lock(sent_log_mutex_);
    return sent_log_.chunks;
}

std::vector<Bytes> MockInner::take_new_sent() {
    std::lock_guard lock(sent_log_mutex_);
    std::vector<Bytes> fresh(sent_log_.chunks.begin() + sent_log_.cursor, sent_log_.chunks.end());
    sent_log_.cursor = sent_log_.chunks.size();
    return fresh;
}

void MockInner::clear_sent() {
    std::lock_guard lock(sent_log_mutex_);
    sent_log_.chunks.clear();
    sent_log_.cursor = 0;
}

void MockInner::set_write_error(std::optional<std::string> message) {
    std::lock_guard lock(write_error_mutex_);
    write_error_ = std::move(message);
}

void MockInner::set_connected(bool connected) {
    connected_.store(connected);
}

}  // namespace vantorix::grbl

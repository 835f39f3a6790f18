// The in-memory transport: tests and device emulators push the device's bytes in and
// read back what the session wrote. One MockInner is shared between the Python
// MockTransport object and the session built around it.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "grbl/transport/transport.hpp"

namespace vantorix::grbl {

class MockInner final : public Transport {
  public:
    asio::awaitable<TransportResult> open(RxSender sender) override;
    asio::awaitable<TransportResult> close() override;
    asio::awaitable<TransportResult> write(std::span<const std::uint8_t> bytes) override;
    bool is_open() const override;

    // Delivers `bytes` as one chunk, as if the device had sent them; discarded when no
    // link is open or the session's reader is gone.
    void push(std::span<const std::uint8_t> bytes);
    // Every successful write, one chunk per call, oldest first.
    std::vector<Bytes> sent() const;
    // The writes recorded since the previous call or the last `clear_sent`.
    std::vector<Bytes> take_new_sent();
    void clear_sent();
    // While set, writes fail with this text and mark the link down.
    void set_write_error(std::optional<std::string> message);
    void set_connected(bool connected);

  private:
    struct SentLog {
        std::vector<Bytes> chunks;
        std::size_t cursor = 0;  // chunks already returned by take_new_sent
    };

    // Each field has its own lock; no operation holds two of them.
    mutable std::mutex write_error_mutex_;
    std::optional<std::string> write_error_;
    std::mutex rx_sender_mutex_;
    std::optional<RxSender> rx_sender_;
    mutable std::mutex sent_log_mutex_;
    SentLog sent_log_;
    std::atomic<bool> connected_{false};
};

}  // namespace vantorix::grbl

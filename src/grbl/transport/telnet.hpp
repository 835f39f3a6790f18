// The TCP transport, for controllers behind a network bridge (a "telnet" port). No
// telnet negotiation happens: bytes pass unchanged both ways, 255 included.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "grbl/transport/transport.hpp"
#include "rt/mutex.hpp"
#include "rt/task.hpp"

namespace vantorix::grbl {

inline constexpr std::uint16_t DEFAULT_TCP_PORT = 23;

class TelnetTransport final : public Transport {
  public:
    // Stores the values; no I/O happens until `open`.
    TelnetTransport(std::string host, std::uint16_t tcp_port);
    ~TelnetTransport() override;

    asio::awaitable<TransportResult> open(RxSender sender) override;
    asio::awaitable<TransportResult> close() override;
    asio::awaitable<TransportResult> write(std::span<const std::uint8_t> bytes) override;
    bool is_open() const override;
    std::optional<std::string> resource_uri() const override;

    const std::string& host() const { return host_; }
    std::uint16_t tcp_port() const { return tcp_port_; }

  private:
    struct WriteHalf;

    const std::string host_;
    const std::uint16_t tcp_port_;
    // Each lock is held for one swap or one complete write; never both at once.
    rt::AsyncMutex writer_mutex_;
    std::unique_ptr<WriteHalf> writer_;
    rt::AsyncMutex reader_mutex_;
    rt::TaskHandle reader_;
    std::atomic<bool> connected_{false};
};

}  // namespace vantorix::grbl

// The serial transport: a GRBL board on a serial device (a USB-serial adapter), opened
// raw at 8N1 without flow control and locked for exclusive use.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "grbl/transport/transport.hpp"
#include "rt/mutex.hpp"
#include "rt/task.hpp"

namespace vantorix::grbl {

class SerialTransport final : public Transport {
  public:
    // Stores the values; no I/O happens until `open`.
    SerialTransport(std::string path, std::uint32_t baud_rate);
    ~SerialTransport() override;

    asio::awaitable<TransportResult> open(RxSender sender) override;
    asio::awaitable<TransportResult> close() override;
    asio::awaitable<TransportResult> write(std::span<const std::uint8_t> bytes) override;
    bool is_open() const override;
    std::optional<std::string> resource_uri() const override;

    const std::string& path() const { return path_; }
    std::uint32_t baud_rate() const { return baud_rate_; }

  private:
    struct WriteHalf;

    const std::string path_;
    const std::uint32_t baud_rate_;
    // Each lock is held for one swap or one complete write; never both at once.
    rt::AsyncMutex writer_mutex_;
    std::unique_ptr<WriteHalf> writer_;
    rt::AsyncMutex reader_mutex_;
    rt::TaskHandle reader_;
    std::atomic<bool> connected_{false};
};

}  // namespace vantorix::grbl

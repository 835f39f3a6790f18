// The byte link between a session and one controller. A transport knows nothing of
// lines or flow control: `write` sends bytes, and everything received is pushed, in
// arrival order, as chunks into the receive channel handed to `open`. When the link ends
// for any reason the transport drops its sender, so the session's reader sees the end
// of the stream.
#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "grbl/types.hpp"
#include "rt/channel.hpp"

namespace vantorix::grbl {

using Bytes = std::vector<std::uint8_t>;

// One chunk is the bytes of one read of the link, with no alignment to lines.
using RxSender = rt::Sender<Bytes>;
using RxReceiver = rt::Receiver<Bytes>;

inline std::pair<RxSender, RxReceiver> rx_channel() {
    return rt::unbounded_channel<Bytes>();
}

class TransportError {
  public:
    enum class Kind : std::uint8_t { CONNECTION, NOT_CONNECTED };

    static TransportError connection(std::string description) {
        return TransportError(Kind::CONNECTION, std::move(description));
    }
    static TransportError not_connected() { return TransportError(Kind::NOT_CONNECTED, {}); }

    Kind kind() const { return kind_; }
    // The failure description of a connection error; empty for not-connected.
    const std::string& description() const { return description_; }
    // "connection error: <description>" or "not connected", as used in log lines.
    std::string text() const;
    // The bare description or "not connected": the message of the matching session error.
    std::string message() const;

    bool operator==(const TransportError&) const = default;

  private:
    TransportError(Kind kind, std::string description)
        : kind_(kind), description_(std::move(description)) {}
    Kind kind_;
    std::string description_;
};

// Success, or a TransportError.
class [[nodiscard]] TransportResult {
  public:
    TransportResult() = default;
    TransportResult(TransportError error) : error_(std::move(error)) {}  // NOLINT: implicit

    bool ok() const { return !error_; }
    const TransportError& error() const { return *error_; }
    bool operator==(const TransportResult&) const = default;

  private:
    std::optional<TransportError> error_;
};

// Shared between tasks (hold it in a std::shared_ptr); every operation is safe to call
// concurrently. The asynchronous operations may resume on any worker thread.
class Transport {
  public:
    virtual ~Transport() = default;

    // (Re)establishes the link; received bytes then flow into `sender`. On failure the
    // sender is dropped.
    virtual asio::awaitable<TransportResult> open(RxSender sender) = 0;
    // Stops reading and drops the link; succeeds also when the link is already down.
    virtual asio::awaitable<TransportResult> close() = 0;
    // Completes when every byte has been handed to the link. The caller keeps `bytes`
    // alive until then. Whole writes never interleave with each other.
    virtual asio::awaitable<TransportResult> write(std::span<const std::uint8_t> bytes) = 0;
    virtual bool is_open() const = 0;
    // A display string for the link, such as "serial:///dev/ttyUSB0".
    virtual std::optional<std::string> resource_uri() const { return std::nullopt; }
    // The connection status a failure of this link corresponds to.
    virtual TransportStatus status_on_error() const { return TransportStatus::ERROR; }
};

}  // namespace vantorix::grbl

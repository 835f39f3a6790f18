// Connecting to the first reachable address of a resolved host, in the resolver's order.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <optional>
#include <string>
#include <vector>

namespace vantorix::grbl {

struct TcpConnectResult {
    std::optional<asio::ip::tcp::socket> socket;  // set on success
    std::string error;                            // the failure text otherwise
};

// Tries each address in order; the first connection wins. When all fail, the error of the
// last attempt is reported; with no address, "could not resolve to any address". No
// socket option is set.
asio::awaitable<TcpConnectResult> connect_in_order(std::vector<asio::ip::tcp::endpoint> endpoints);

// Resolves `host` and `port` on Asio's resolver thread (the lookup may block) and
// connects as above; a resolution failure is reported the same way.
asio::awaitable<TcpConnectResult> resolve_and_connect(std::string host, std::uint16_t port);

}  // namespace vantorix::grbl

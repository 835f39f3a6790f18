#include "grbl/transport/tcp_connect.hpp"

#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace vantorix::grbl {

asio::awaitable<TcpConnectResult> connect_in_order(std::vector<asio::ip::tcp::endpoint> endpoints) {
    auto executor = co_await asio::this_coro::executor;
    TcpConnectResult result;
    if (endpoints.empty()) {
        result.error = "could not resolve to any address";
        co_return result;
    }
    for (const auto& endpoint : endpoints) {
        asio::ip::tcp::socket socket(executor);
        std::error_code ec;
        co_await socket.async_connect(endpoint, asio::redirect_error(asio::use_awaitable, ec));
        if (!ec) {
            result.socket.emplace(std::move(socket));
            result.error.clear();
            co_return result;
        }
        result.error = ec.message();
    }
    co_return result;
}

asio::awaitable<TcpConnectResult> resolve_and_connect(std::string host, std::uint16_t port) {
    auto executor = co_await asio::this_coro::executor;
    asio::ip::tcp::resolver resolver(executor);
    std::error_code ec;
    auto results = co_await resolver.async_resolve(host, std::to_string(port),
                                                   asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
        TcpConnectResult failed;
        failed.error = ec.message();
        co_return failed;
    }
    std::vector<asio::ip::tcp::endpoint> endpoints;
    for (const auto& entry : results) endpoints.push_back(entry.endpoint());
    co_return co_await connect_in_order(std::move(endpoints));
}

}  // namespace vantorix::grbl

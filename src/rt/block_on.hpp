// Runs a coroutine on the runtime and blocks the calling thread until it ends, for
// callers outside the runtime (tests, tools). Never call it from a runtime worker.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <asio/use_future.hpp>

#include "rt/runtime.hpp"

namespace vantorix::rt {

template <typename T>
T block_on(asio::io_context& context, asio::awaitable<T> body) {
    return asio::co_spawn(asio::make_strand(context), std::move(body), asio::use_future).get();
}

template <typename T>
T block_on(asio::awaitable<T> body) {
    return block_on(runtime().context(), std::move(body));
}

}  // namespace vantorix::rt

// The error of every session operation, and the result type that carries it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace vantorix::grbl {

class SessionError {
public:
    enum class Kind : std::uint8_t { CONNECTION, TIMEOUT, DEVICE, BUFFER_STALL, OTHER };

    static SessionError connection(std::string message) {
        return {Kind::CONNECTION, std::move(message)};
    }
    static SessionError timeout() { return {Kind::TIMEOUT, {}}; }
    static SessionError device(std::string message) { return {Kind::DEVICE, std::move(message)}; }
    static SessionError buffer_stall(std::string message) {
        return {Kind::BUFFER_STALL, std::move(message)};
    }
    static SessionError other(std::string message) { return {Kind::OTHER, std::move(message)}; }

    Kind kind() const { return kind_; }
    // The variant's data; empty for TIMEOUT.
    const std::string& message() const { return message_; }
    // "operation timed out", "buffer stall: <message>", or the message itself.
    std::string text() const;
    // The variant name with the message in parentheses ("Connection(lost)"); "Timeout".
    std::string debug() const;

    bool operator==(const SessionError&) const = default;

private:
    SessionError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
};

struct Unit {
    bool operator==(const Unit&) const = default;
};

// A value or a SessionError. `Result<Unit>` is the result of operations without a value.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : outcome_(std::move(value)) {}             // NOLINT: implicit on purpose
    Result(SessionError error) : outcome_(std::move(error)) {}  // NOLINT: implicit on purpose

    bool ok() const { return outcome_.index() == 0; }
    T& value() { return std::get<0>(outcome_); }
    const T& value() const { return std::get<0>(outcome_); }
    const SessionError& error() const { return std::get<1>(outcome_); }

private:
    std::variant<T, SessionError> outcome_;
};

using VoidResult = Result<Unit>;

}  // namespace vantorix::grbl

#include "grbl/session/error.hpp"

namespace vantorix::grbl {

std::string SessionError::text() const {
    switch (kind_) {
        case Kind::TIMEOUT: return "operation timed out";
        case Kind::BUFFER_STALL: return "buffer stall: " + message_;
        default: return message_;
    }
}

std::string SessionError::debug() const {
    switch (kind_) {
        case Kind::CONNECTION: return "Connection(" + message_ + ")";
        case Kind::TIMEOUT: return "Timeout";
        case Kind::DEVICE: return "Device(" + message_ + ")";
        case Kind::BUFFER_STALL: return "BufferStall(" + message_ + ")";
        case Kind::OTHER: return "Other(" + message_ + ")";
    }
    return message_;
}

}  // namespace vantorix::grbl

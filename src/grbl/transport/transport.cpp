#include "grbl/transport/transport.hpp"

namespace vantorix::grbl {

std::string TransportError::text() const {
    return kind_ == Kind::CONNECTION ? "connection error: " + description_ : "not connected";
}

std::string TransportError::message() const {
    return kind_ == Kind::CONNECTION ? description_ : "not connected";
}

}  // namespace vantorix::grbl

// How the session engine reports what happens on the device. Every operation is called
// from the runtime's worker threads, must not block and never fails towards the engine.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "grbl/types.hpp"

namespace vantorix::grbl {

// Work-coordinate-system name ("G54") to its (x, y, z) offset in mm.
using WcsOffsets = std::map<std::string, std::array<double, 3>>;

class SessionEvents {
public:
    virtual ~SessionEvents() = default;
    virtual void state_changed(const DeviceState& state) = 0;
    virtual void connection_status(TransportStatus status,
                                   const std::optional<std::string>& message) = 0;
    virtual void command_status(TransportStatus status,
                                const std::optional<std::string>& message) = 0;
    virtual void job_finished() = 0;
    virtual void probe_status(const std::string& text) = 0;
    virtual void wcs_updated(const WcsOffsets& offsets) = 0;
    virtual void config_changed(const std::string& key, std::int64_t value) = 0;
    virtual void command_done(std::uint64_t op_index) = 0;
};

}  // namespace vantorix::grbl

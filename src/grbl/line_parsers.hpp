// Readers for the bracketed information lines of a GRBL controller ("[VER:...]",
// "[OPT:...]", "[MSG:...]") and for identifying a device from what it sends. Pure
// functions; text arguments are UTF-8, `data` arguments raw bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vantorix::grbl {

// The device name used when build information names none.
inline constexpr std::string_view UNKNOWN_DEVICE_NAME = "Unknown Grbl Device";

struct VersionInfo {
    std::string version;               // e.g. "1.1h"
    std::optional<std::string> build;  // e.g. "20190825"

    bool operator==(const VersionInfo&) const = default;
};

struct MessageInfo {
    std::string key;
    std::string value;

    bool operator==(const MessageInfo&) const = default;
};

// "[VER:1.1h.20190825:]" -> {"1.1h", "20190825"}.
std::optional<VersionInfo> parse_ver(std::string_view line);
// The receive-buffer size, the third field of "[OPT:V,15,128]".
std::optional<std::int64_t> parse_opt_info(std::string_view line);
// The compile-option letters, the first field of "[OPT:V,15,128]".
std::optional<std::string> parse_opt_flags(std::string_view line);
// "[MSG:key:value]" -> {key, value}, both trimmed. A message without ':' gives nothing.
std::optional<MessageInfo> parse_msg(std::string_view line);

// The "Machine" message of "$I" output, else the build text of its version line, else
// UNKNOWN_DEVICE_NAME.
std::string extract_device_name(std::span<const std::string> build_info);
// The device name in raw output, else its first line that is neither a reply, a status
// report nor pure line noise (cut to 80 characters), else nothing.
std::optional<std::string> extract_device_name_from_output(std::string_view data);
// Whether raw output shows a GRBL banner, status report or information line.
bool is_grbl_output(std::string_view data);

// Single-axis homing came with GRBL 1.1g.
bool version_supports_single_axis_homing(double version_num, std::string_view version_letter);

}  // namespace vantorix::grbl

#include "grbl_model.hpp"

#include <algorithm>
#include <cctype>
#include <string>

#include "trace.hpp"

namespace vantorix::bench {

namespace {

constexpr std::string_view STATUS_REPORT = "<Idle|MPos:0.000,0.000,0.000|Bf:15,128|FS:0,0>\r\n";
constexpr std::string_view BUILD_INFO = "[VER:1.1h.20190830:]\r\n[OPT:V,15,128]\r\nok\r\n";
constexpr std::string_view OK = "ok\r\n";
constexpr std::string_view BANNER = "Grbl 1.1h ['$' for help]\r\n";

constexpr unsigned char SOFT_RESET = 0x18;

bool is_realtime(unsigned char byte) {
    return byte == '?' || byte == '!' || byte == '~' || byte == SOFT_RESET || byte >= 0x80;
}

// GRBL ignores spaces and letter case in a line.
bool is_build_info_request(std::string_view text) {
    std::string compact;
    for (char c : text) {
        if (c != ' ') compact += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return compact == "$I";
}

}  // namespace

void GrblModel::receive(unsigned char byte, Clock::time_point arrival) {
    complete_until(arrival);
    if (is_realtime(byte)) {
        if (observation_.trace) observation_.trace->record(TraceKind::REALTIME, byte, arrival);
        receive_realtime(byte, arrival);
        return;
    }
    if (buffered_ >= RX_BUFFER_SIZE) {
        ++counters_.overflows;
        return;
    }
    if (partial_size_ == 0 && observation_.trace) {
        observation_.trace->record(TraceKind::LINE_START, 0, arrival);
    }
    ++buffered_;
    ++partial_size_;
    ++counters_.bytes;
    counters_.max_buffered = std::max(counters_.max_buffered, buffered_);
    if (byte == '\n') {
        finish_line(arrival);
    } else if (byte != '\r') {
        partial_ += static_cast<char>(byte);
    }
}

void GrblModel::receive_realtime(unsigned char byte, Clock::time_point arrival) {
    ++counters_.realtime;
    if (byte == '?') {
        send_status_report(arrival);
    } else if (byte == SOFT_RESET) {
        // A reset discards everything still buffered: those lines never get a reply.
        queued_.clear();
        partial_.clear();
        partial_size_ = 0;
        buffered_ = 0;
        busy_until_ = arrival;
        replies_.send(BANNER, arrival, TraceKind::OTHER_SENT, 0);
    }
    // Feed hold, resume and the extended realtime commands have no reply.
}

void GrblModel::finish_line(Clock::time_point arrival) {
    busy_until_ = std::max(busy_until_, arrival) + line_time_;
    queued_.push_back({std::move(partial_), partial_size_, busy_until_});
    partial_.clear();
    partial_size_ = 0;
    complete_until(arrival);
}

void GrblModel::complete_until(Clock::time_point now) {
    while (!queued_.empty() && queued_.front().done_at <= now) {
        answer(queued_.front());
        queued_.pop_front();
    }
}

void GrblModel::answer(const QueuedLine& line) {
    buffered_ -= line.size;
    ++counters_.lines;
    if (is_build_info_request(line.text)) {
        replies_.send(BUILD_INFO, line.done_at, TraceKind::OTHER_SENT, 0);
    } else {
        replies_.send(OK, line.done_at, TraceKind::OK_SENT, 0);
    }
}

void GrblModel::send_status_report(Clock::time_point arrival) {
    const std::uint32_t sequence = ++reports_sent_;
    if (!observation_.numbered_reports) {
        replies_.send(STATUS_REPORT, arrival, TraceKind::REPORT_SENT, sequence);
        return;
    }
    std::string report =
        "<Idle|MPos:" + std::to_string(sequence) + ".000,0.000,0.000|Bf:15,128|FS:0,0>\r\n";
    replies_.send(report, arrival, TraceKind::REPORT_SENT, sequence);
}

}  // namespace vantorix::bench

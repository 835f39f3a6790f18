#include "grbl_model.hpp"

#include <algorithm>
#include <cctype>

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
        receive_realtime(byte, arrival);
        return;
    }
    if (buffered_ >= RX_BUFFER_SIZE) {
        ++counters_.overflows;
        return;
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
        replies_.send(STATUS_REPORT, arrival);
    } else if (byte == SOFT_RESET) {
        // A reset discards everything still buffered: those lines never get a reply.
        queued_.clear();
        partial_.clear();
        partial_size_ = 0;
        buffered_ = 0;
        busy_until_ = arrival;
        replies_.send(BANNER, arrival);
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
    replies_.send(is_build_info_request(line.text) ? BUILD_INFO : OK, line.done_at);
}

}  // namespace vantorix::bench

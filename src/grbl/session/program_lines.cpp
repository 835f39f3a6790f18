#include "grbl/session/program_lines.hpp"

#include <algorithm>

namespace vantorix::grbl {

ProgramLines::ProgramLines(std::string text) : text_(std::move(text)) {
    count_ = static_cast<std::size_t>(std::count(text_.begin(), text_.end(), '\n'));
    if (!text_.empty() && text_.back() != '\n') ++count_;
}

ProgramLines ProgramLines::joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += '\n';
    }
    return ProgramLines(std::move(text));
}

std::optional<std::string_view> ProgramLines::next() {
    if (position_ >= text_.size()) return std::nullopt;
    std::string_view rest = std::string_view(text_).substr(position_);
    const std::size_t newline = rest.find('\n');
    std::string_view line = rest.substr(0, newline);
    if (newline == std::string_view::npos) {
        position_ = text_.size();
        return line;
    }
    position_ += newline + 1;
    if (line.ends_with('\r')) line.remove_suffix(1);
    return line;
}

}  // namespace vantorix::grbl

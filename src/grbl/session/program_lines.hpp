// A job's program held as one text and read line by line, so that a long job costs its text
// and nothing per line: no vector of lines, no copy of each.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorix::grbl {

class ProgramLines {
  public:
    // Lines end at LF; a CR before an LF is dropped; empty lines count, and a final line
    // break does not add an empty line (the same rules as `split_program_lines`).
    explicit ProgramLines(std::string text);
    // The given lines, in order.
    static ProgramLines joined(const std::vector<std::string>& lines);

    std::size_t size() const { return count_; }
    // The next line, or nothing after the last one.
    std::optional<std::string_view> next();

  private:
    std::string text_;
    std::size_t position_ = 0;
    std::size_t count_ = 0;
};

}  // namespace vantorix::grbl

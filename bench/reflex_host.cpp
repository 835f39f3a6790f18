// vantorix_reflex_host: a minimal host, as the floor under the latency and CPU figures.
// It streams N lines of 20 bytes under the same character counting as the engine (127-byte
// budget) with blocking reads and writes on one thread: every reply is answered by the next
// line as soon as read() returns. No event loop, no threads, no allocation per line.
//
//   vantorix_reflex_host PTY_PATH LINES
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t BUDGET = 127;
constexpr std::size_t LINE_SIZE = 20;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "vantorix_reflex_host: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

void write_line(int fd, long index) {
    char line[LINE_SIZE + 1];
    std::snprintf(line, sizeof line, "G1 X%06.2f Y%07.3f\n", static_cast<double>(index % 1000) / 10,
                  static_cast<double>(index * 7 % 10000) / 1000);
    if (::write(fd, line, LINE_SIZE) != static_cast<ssize_t>(LINE_SIZE)) fail("write");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: vantorix_reflex_host PTY_PATH LINES\n");
        return 2;
    }
    const long total = std::atol(argv[2]);
    int fd = ::open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0) fail("open");
    termios raw{};
    if (::tcgetattr(fd, &raw) < 0) fail("tcgetattr");
    ::cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &raw) < 0) fail("tcsetattr");

    long sent = 0;
    long answered = 0;
    std::size_t buffered = 0;
    char reply[4096];
    while (answered < total) {
        while (sent < total && buffered + LINE_SIZE <= BUDGET) {
            write_line(fd, sent++);
            buffered += LINE_SIZE;
        }
        ssize_t n = ::read(fd, reply, sizeof reply);
        if (n <= 0) fail("read");
        // Every reply of this responder to a G-code line is "ok\r\n".
        for (ssize_t i = 0; i < n; ++i) {
            if (reply[i] == '\n') {
                ++answered;
                buffered -= LINE_SIZE;
            }
        }
    }
    return 0;
}

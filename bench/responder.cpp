// vantorix_responder: a stand-in GRBL 1.1 controller for benchmarks, on a pseudo-terminal
// and/or a 127.0.0.1 TCP port.
//
//   vantorix_responder [--pty] [--tcp PORT] [--baud N] [--line-time MS] [--trace PATH]
//                      [--numbered-reports]
//
// --pty (the default when --tcp is not given) prints "pty <slave path>"; --tcp PORT listens on
// 127.0.0.1 (0 picks a free port) and prints "tcp <port>"; every TCP connection is a controller
// of its own. "ready" follows once both are open. --baud N models a serial link of N baud in
// each direction (N/10 bytes per second); --line-time MS (fractions allowed) is the processing
// time of each line before its "ok". --trace PATH writes, when the responder exits, one line
// per event with its CLOCK_MONOTONIC time in nanoseconds (see responder/trace.hpp).
// --numbered-reports puts the sequence number of each status report in its X position.
//
// SIGUSR1 prints one counters line on stdout; SIGTERM or SIGINT prints it and exits with 0
// (the responder also receives SIGTERM when its parent process ends):
//   counters lines=L bytes=B overflows=O max_buffered=M realtime=R cpu_ms=C
// lines: lines answered; bytes: bytes accepted into the 128-byte receive buffer; overflows:
// bytes that arrived while it was full (dropped, as the firmware does); max_buffered: its
// highest fill; realtime: realtime bytes received; cpu_ms: the responder's own CPU time.
// On a modelled link the counters already include the bytes that are still crossing it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "responder/paced_link.hpp"
#include "responder/trace.hpp"

namespace {

using vantorix::bench::Clock;
using vantorix::bench::Counters;
using vantorix::bench::LinkTiming;
using vantorix::bench::Observation;
using vantorix::bench::PacedLink;
using vantorix::bench::Trace;

struct Options {
    bool pty = false;
    std::optional<int> tcp_port;
    LinkTiming timing;
    std::optional<std::string> trace_path;
    bool numbered_reports = false;
};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "vantorix_responder: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

[[noreturn]] void usage(const char* problem) {
    std::fprintf(stderr,
                 "vantorix_responder: %s\nusage: vantorix_responder [--pty] [--tcp PORT] "
                 "[--baud N] [--line-time MS] [--trace PATH] [--numbered-reports]\n",
                 problem);
    std::exit(2);
}

double number_argument(int argc, char** argv, int& i) {
    if (i + 1 >= argc) usage("missing value");
    char* end = nullptr;
    double value = std::strtod(argv[++i], &end);
    if (*end != '\0' || !(value >= 0) || value > 1e9) usage("invalid number");
    return value;
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--pty") {
            options.pty = true;
        } else if (arg == "--tcp") {
            double port = number_argument(argc, argv, i);
            if (port > 65535) usage("invalid port");
            options.tcp_port = static_cast<int>(port);
        } else if (arg == "--baud") {
            options.timing.baud = static_cast<std::uint32_t>(number_argument(argc, argv, i));
        } else if (arg == "--line-time") {
            options.timing.line_time = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double, std::milli>(number_argument(argc, argv, i)));
        } else if (arg == "--trace") {
            if (i + 1 >= argc) usage("missing value");
            options.trace_path = argv[++i];
        } else if (arg == "--numbered-reports") {
            options.numbered_reports = true;
        } else {
            usage("unknown option");
        }
    }
    if (!options.tcp_port) options.pty = true;
    return options;
}

struct Pty {
    int master;
    int slave;  // kept open so that a host closing its end never hangs up the master
    std::string path;
};

Pty open_pty() {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || ::grantpt(master) < 0 || ::unlockpt(master) < 0) fail("posix_openpt");
    const char* path = ::ptsname(master);
    if (path == nullptr) fail("ptsname");
    int slave = ::open(path, O_RDWR | O_NOCTTY);
    if (slave < 0) fail("open pty slave");
    termios raw{};
    if (::tcgetattr(slave, &raw) < 0) fail("tcgetattr");
    ::cfmakeraw(&raw);
    if (::tcsetattr(slave, TCSANOW, &raw) < 0) fail("tcsetattr");
    return {master, slave, path};
}

int listen_tcp(int port, int& bound_port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) fail("bind");
    if (::listen(fd, 64) < 0) fail("listen");
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        fail("getsockname");
    }
    bound_port = ntohs(address.sin_port);
    return fd;
}

int open_signal_fd() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);
    if (::sigprocmask(SIG_BLOCK, &signals, nullptr) < 0) fail("sigprocmask");
    int fd = ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) fail("signalfd");
    return fd;
}

void print_counters(const Counters& counters) {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    double cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                    (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    std::printf(
        "counters lines=%llu bytes=%llu overflows=%llu max_buffered=%zu realtime=%llu "
        "cpu_ms=%.1f\n",
        static_cast<unsigned long long>(counters.lines),
        static_cast<unsigned long long>(counters.bytes),
        static_cast<unsigned long long>(counters.overflows), counters.max_buffered,
        static_cast<unsigned long long>(counters.realtime), cpu_ms);
    std::fflush(stdout);
}

// Returns true when the process should exit.
bool handle_signals(int signal_fd, const Counters& counters) {
    signalfd_siginfo info{};
    bool stop = false;
    while (::read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        print_counters(counters);
        if (info.ssi_signo != SIGUSR1) stop = true;
    }
    return stop;
}

void accept_connections(int listener, const LinkTiming& timing, Counters& counters,
                        Observation observation, std::vector<std::unique_ptr<PacedLink>>& links) {
    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        // Replies are a few bytes each; Nagle's algorithm would hold them back.
        int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        links.push_back(std::make_unique<PacedLink>(fd, timing, counters, observation));
    }
}

timespec time_until(Clock::time_point when, Clock::time_point now) {
    auto wait = std::max(when - now, Clock::duration::zero());
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
    auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(wait - seconds);
    return {static_cast<time_t>(seconds.count()), static_cast<long>(nanos.count())};
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parse_options(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    int signal_fd = open_signal_fd();
    // A benchmark that dies leaves no responders behind: they stop with their parent.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    Counters counters;
    Trace trace;
    Observation observation{options.trace_path ? &trace : nullptr, options.numbered_reports};
    auto finish = [&] {
        if (options.trace_path && !trace.write(*options.trace_path)) fail("write trace");
        return 0;
    };

    // The pty's link, when there is one, is always links[0] and lives as long as the process.
    std::vector<std::unique_ptr<PacedLink>> links;
    std::size_t fixed_links = 0;
    if (options.pty) {
        Pty pty = open_pty();
        links.push_back(
            std::make_unique<PacedLink>(pty.master, options.timing, counters, observation));
        fixed_links = 1;
        std::printf("pty %s\n", pty.path.c_str());
    }
    int listener = -1;
    if (options.tcp_port) {
        int port = 0;
        listener = listen_tcp(*options.tcp_port, port);
        std::printf("tcp %d\n", port);
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({signal_fd, POLLIN, 0});
        fds.push_back({listener, POLLIN, 0});  // a negative descriptor is skipped by poll
        std::optional<Clock::time_point> wakeup;
        Clock::time_point before = Clock::now();
        for (const auto& link : links) {
            short events = link->wants_readable(before) ? POLLIN : 0;
            if (link->wants_writable()) events |= POLLOUT;
            fds.push_back({link->fd(), events, 0});
            if (auto next = link->next_wakeup()) {
                wakeup = wakeup ? std::min(*wakeup, *next) : next;
            }
        }
        timespec timeout{};
        if (wakeup) timeout = time_until(*wakeup, before);
        if (::ppoll(fds.data(), fds.size(), wakeup ? &timeout : nullptr, nullptr) < 0 &&
            errno != EINTR) {
            fail("ppoll");
        }

        Clock::time_point now = Clock::now();
        if ((fds[0].revents & POLLIN) && handle_signals(signal_fd, counters)) return finish();
        if (fds[1].revents & POLLIN)
            accept_connections(listener, options.timing, counters, observation, links);
        // Links accepted just now have no entry in `fds` yet; they are polled next round.
        for (std::size_t i = links.size(); i-- > 0;) {
            bool polled = i + 2 < fds.size();
            short revents = polled ? fds[i + 2].revents : 0;
            bool read_now = (revents & (POLLIN | POLLHUP | POLLERR)) ||
                            (polled && !(fds[i + 2].events & POLLIN));
            bool alive = true;
            if (read_now) alive = links[i]->on_readable(now);
            alive = alive && links[i]->advance(now);
            if (!alive && i < fixed_links) fail("pty");
            if (!alive) {
                ::close(links[i]->fd());
                links.erase(links.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
}

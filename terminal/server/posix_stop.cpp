#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

#include "terminal/server/stop.hpp"

namespace qvn::terminal {
namespace {

// Written by the signal handler; the serving loop polls the other end.
int g_stop_write = -1;

extern "C" void on_stop_signal(int) {
    const char byte = 1;
    ssize_t ignored = ::write(g_stop_write, &byte, 1);
    (void)ignored;
}

void route(void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

}  // namespace

StopRequest::StopRequest() {
    // Writes to a client that has gone must fail, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    int stop[2];
    if (::pipe2(stop, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot create the stop pipe");
    wait_ = platform::UniqueHandle(stop[0]);
    raise_ = platform::UniqueHandle(stop[1]);
    g_stop_write = raise_.get();
    route(on_stop_signal);
}

StopRequest::~StopRequest() {
    // Afterwards the signals are ignored: the program is on its way out.
    route(SIG_IGN);
    g_stop_write = -1;
}

}  // namespace qvn::terminal

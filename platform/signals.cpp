#include "platform/signals.h"

#include <csignal>
#include <cstring>
#include <initializer_list>
#include <unistd.h>

namespace {

const char* volatile stop_message = "";
volatile sig_atomic_t stop_exit_code = 0;

extern "C" void on_stop_signal(int) {
    const char* text = stop_message;
    size_t left = std::strlen(text);
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, text, left);
        if (n <= 0) break;
        text += n;
        left -= static_cast<size_t>(n);
    }
    ::_exit(stop_exit_code);
}

}  // namespace

void ignore_sigpipe() {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, nullptr);
}

void install_stop_handler(const char* message) {
    stop_message = message;
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigset_t unblock;
    sigemptyset(&unblock);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&sa.sa_mask, sig);
        sigaddset(&unblock, sig);
    }
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
}

void set_stop_exit_code(int code) { stop_exit_code = code; }

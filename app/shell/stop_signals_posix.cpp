#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>

#include "shell/stop_signals.h"

namespace {

// The handler may only write: the notifier reads on the event loop's thread.
int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 1;
    const ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
    (void)ignored;
}

}  // namespace

struct StopSignals::State {
    std::unique_ptr<QSocketNotifier> notifier;
};

StopSignals::StopSignals(QObject *context, std::function<void()> onStop) : state_(std::make_unique<State>()) {
    if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    state_->notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(state_->notifier.get(), &QSocketNotifier::activated, context, [onStop = std::move(onStop)] {
        char buf[16];
        while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
        }
        onStop();
    });
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

StopSignals::~StopSignals() {
    if (!state_->notifier) return;
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

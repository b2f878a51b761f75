// SIGINT and SIGTERM close the window as the user would, stopping a running
// command first, so a terminal's Ctrl+C or a session ending never leaves a
// half-written target with its port closed under it. The program's one
// platform file holds how (stop_signals_posix.cpp).
#pragma once
#include <functional>
#include <memory>

class QObject;

class StopSignals {
public:
    // `onStop` runs on `context`'s thread, once per signal received.
    StopSignals(QObject *context, std::function<void()> onStop);
    ~StopSignals();  // the signals' default actions again
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

private:
    struct State;
    std::unique_ptr<State> state_;
};

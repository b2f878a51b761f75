// The platform-neutral half of TerminalInput: the waits and the typed input
// of the tests; the wake event, Ctrl+C and standard input are each
// system's own (terminal_input_posix.cpp, terminal_input_win32.cpp).
#include "terminal_input.h"

namespace quillcli {

void TerminalInput::Wait(int timeoutMs) {
    if (wakeOwed_) {
        wakeOwed_ = false;
        return;
    }
    (void)WaitWake(timeoutMs);
}

TerminalInput::Got TerminalInput::ReadLine(int timeoutMs, int interruptsBefore, std::string *line) {
    if (in_ == nullptr) return ReadStdin(timeoutMs, interruptsBefore, line);
    // A stream (the tests' typed input) cannot be waited on beside the
    // event: it is read when it holds something.
    if (timeoutMs >= 0 && in_->rdbuf()->in_avail() <= 0) {
        if (WaitWake(timeoutMs)) wakeOwed_ = true;
        return Interrupts() > interruptsBefore ? Got::kInterrupted : Got::kTimeout;
    }
    return std::getline(*in_, *line) ? Got::kLine : Got::kEnd;
}

}  // namespace quillcli

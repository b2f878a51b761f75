// What a person does at the terminal while a command runs: Ctrl+C, and the
// lines typed on standard input (Enter at the power prompt, the station's
// Enter and q). One module for the device commands and station mode alike,
// and the Waiter the client layer waits on: library threads, SIGINT and a
// typed line all wake the same descriptor.
#pragma once
#include <istream>
#include <string>

#include "client/waiter.h"

namespace quillcli {

class TerminalInput : public quillclient::Waiter {
public:
    // `in`: the tests' typed input; null reads standard input. SIGINT is
    // counted from now until the object goes (the previous handler comes back).
    explicit TerminalInput(std::istream *in);
    ~TerminalInput() override;
    TerminalInput(const TerminalInput &) = delete;
    TerminalInput &operator=(const TerminalInput &) = delete;

    // False when the wake event could not be made (errno says why).
    bool ok() const;

    void Wake() override;
    void Wait(int timeoutMs) override;
    int Interrupts() const override;

    enum class Got { kLine, kTimeout, kEnd, kInterrupted };
    // The next line typed, waiting at most `timeoutMs` (-1: as long as it
    // takes). kInterrupted when Ctrl+C came after `interruptsBefore` was read.
    Got ReadLine(int timeoutMs, int interruptsBefore, std::string *line);

private:
    // Waits on the wake event alone; true when it was set (and is taken).
    bool WaitWake(int timeoutMs);
    // Reads standard input until a whole line, its end, a wake or Ctrl+C.
    Got ReadStdin(int timeoutMs, int interruptsBefore, std::string *line);

    std::istream *in_;
    struct Platform;            // the wake event and the Ctrl+C handler, each system its own way
    Platform *platform_;
    std::string pending_;       // typed, not yet a whole line
    bool ended_ = false;        // standard input is at its end
    bool wakeOwed_ = false;     // a wake a line read took in; the next Wait returns at once
};

}  // namespace quillcli

// An allocation hook: a command that prints a unit's field value (a key
// from a key server, a MAC from an allocation service). It runs without a
// shell, with the unit's facts in its environment, and has a time limit.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace quillrecord {

struct HookRun {
    bool ok = false;
    std::string value;  // standard output, its line end and surrounding spaces dropped
    std::string why;    // the reason it gave no value: exit status, time-out, its last error line
};

// Runs argv[0] (looked up in PATH) with `env` added to this process's
// environment; waits at most `timeoutMs` (then kills it).
HookRun RunHook(const std::vector<std::string> &argv, const std::vector<std::pair<std::string, std::string>> &env,
                int timeoutMs);

}  // namespace quillrecord

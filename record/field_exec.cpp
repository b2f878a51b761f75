#include "record/field_exec.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
extern char **environ;
#endif

namespace quillrecord {
namespace {

constexpr size_t kMostOutput = 64 * 1024;  // a value is short; more is a runaway command

std::string Trimmed(const std::string &s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

std::string LastLine(const std::string &s) {
    const std::string t = Trimmed(s);
    const size_t nl = t.find_last_of('\n');
    return Trimmed(nl == std::string::npos ? t : t.substr(nl + 1));
}

std::string Name(const std::vector<std::string> &argv) { return argv.empty() ? std::string() : argv[0]; }

HookRun Ended(const std::vector<std::string> &argv, bool exited, int code, const std::string &out, const std::string &err) {
    HookRun r;
    if (exited && code == 0) {
        r.value = Trimmed(out);
        r.ok = !r.value.empty();
        if (!r.ok) r.why = Name(argv) + " printed no value";
        return r;
    }
    r.why = Name(argv) + (exited ? " exited with " + std::to_string(code) : std::string(" was killed by a signal"));
    if (const std::string line = LastLine(err); !line.empty()) r.why += ": " + line;
    return r;
}

}  // namespace

#if defined(_WIN32)

namespace {

// One argument as the C runtime's command-line parser reads it back.
std::string Quoted(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string q = "\"";
    size_t slashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        q.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
        slashes = 0;
        q += c;
    }
    q.append(slashes * 2, '\\');
    return q + "\"";
}

}  // namespace

static HookRun Spawned(const std::vector<std::string> &argv, const std::vector<std::pair<std::string, std::string>> &env,
                       int timeoutMs) {
    HookRun fail;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &sa, 0)) {
        fail.why = "cannot make a pipe for " + argv[0];
        return fail;
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    // The environment block: ours, then the unit's (later names win).
    std::string block;
    if (char *own = GetEnvironmentStringsA()) {
        for (const char *p = own; *p; p += std::strlen(p) + 1) block.append(p, std::strlen(p) + 1);
        FreeEnvironmentStringsA(own);
    }
    for (const auto &[k, v] : env) block += k + "=" + v + std::string(1, '\0');
    block += '\0';
    std::string line;
    for (const std::string &a : argv) line += (line.empty() ? "" : " ") + Quoted(a);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = outWrite;
    si.hStdError = nul;
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, block.data(),
                                        nullptr, &si, &pi);
    CloseHandle(outWrite);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!started) {
        CloseHandle(outRead);
        fail.why = "cannot run " + argv[0] + " (error " + std::to_string(GetLastError()) + ")";
        return fail;
    }
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool timedOut = false;
    for (;;) {
        DWORD avail = 0;
        if (!PeekNamedPipe(outRead, nullptr, 0, nullptr, &avail, nullptr)) break;  // closed: the command ended
        if (avail > 0) {
            char buf[4096];
            DWORD n = 0;
            if (!ReadFile(outRead, buf, sizeof buf, &n, nullptr) || n == 0) break;
            if (out.size() < kMostOutput) out.append(buf, n);
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        // Nothing to read yet: wait for the process a little, then look again.
        if (WaitForSingleObject(pi.hProcess, static_cast<DWORD>(std::min<long long>(left.count(), 20))) == WAIT_OBJECT_0) {
            DWORD n = 0;
            char buf[4096];
            while (PeekNamedPipe(outRead, nullptr, 0, nullptr, &avail, nullptr) && avail > 0 &&
                   ReadFile(outRead, buf, sizeof buf, &n, nullptr) && n > 0)
                if (out.size() < kMostOutput) out.append(buf, n);
            break;
        }
    }
    if (!timedOut) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        timedOut = WaitForSingleObject(pi.hProcess, static_cast<DWORD>(std::max<long long>(left.count(), 0))) != WAIT_OBJECT_0;
    }
    if (timedOut) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, INFINITE);
    }
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(outRead);
    if (timedOut) {
        fail.why = argv[0] + " gave no value within " + std::to_string(timeoutMs / 1000.0).substr(0, 4) + " s";
        return fail;
    }
    return Ended(argv, true, static_cast<int>(code), out, "");
}

#else

static HookRun Spawned(const std::vector<std::string> &argv, const std::vector<std::pair<std::string, std::string>> &env,
                       int timeoutMs) {
    HookRun fail;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        fail.why = std::string("cannot make a pipe: ") + std::strerror(errno);
        return fail;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        fail.why = std::string("cannot make a pipe: ") + std::strerror(errno);
        return fail;
    }
    // This process's environment with the unit's names set over it.
    std::vector<std::string> entries;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto &kv : env) replaced = replaced || kv.first == key;
        if (!replaced) entries.push_back(entry);
    }
    for (const auto &[k, v] : env) entries.push_back(k + "=" + v);
    std::vector<char *> envp, args;
    for (std::string &e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (std::string &a : argCopy) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(out[0]);
        ::close(err[0]);
        fail.why = "cannot run " + argv[0] + ": " + std::strerror(rc);
        return fail;
    }
    std::string text[2];
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    bool timedOut = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        const int n = ::poll(fds, 2, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) continue;
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || fds[k].revents == 0) continue;
            char buf[4096];
            const ssize_t got = ::read(fds[k].fd, buf, sizeof buf);
            if (got > 0) {
                if (text[k].size() < kMostOutput) text[k].append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fds[k].fd);
                fds[k].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd &p : fds)
        if (p.fd >= 0) ::close(p.fd);
    int status = 0;
    if (timedOut) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", timeoutMs / 1000.0);
        fail.why = argv[0] + " gave no value within " + seconds + " s (--field-timeout)";
        return fail;
    }
    // Both pipes closed: the command has ended or is about to; wait for it
    // within what is left of its time.
    for (;;) {
        const pid_t w = ::waitpid(pid, &status, WNOHANG);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            fail.why = argv[0] + " closed its output but did not end (--field-timeout)";
            return fail;
        }
        pollfd none{-1, 0, 0};
        ::poll(&none, 0, 10);  // a command that closed its output ends within moments
    }
    return Ended(argv, WIFEXITED(status), WIFEXITED(status) ? WEXITSTATUS(status) : -1, text[0], text[1]);
}

#endif

HookRun RunHook(const std::vector<std::string> &argv, const std::vector<std::pair<std::string, std::string>> &env,
                int timeoutMs) {
    if (!argv.empty()) return Spawned(argv, env, timeoutMs);
    HookRun none;
    none.why = "no command";
    return none;
}

}  // namespace quillrecord

#include "record/store_common.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace quillrecord {

std::string ReplaceAll(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string UtcText(std::chrono::system_clock::time_point t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    if (ms < 0) ms += 1000;
    std::tm tm{};
#if defined(_WIN32)
    gmtime_s(&tm, &secs);
#else
    gmtime_r(&secs, &tm);
#endif
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return buf;
}

std::string UtcNow() { return UtcText(std::chrono::system_clock::now()); }

// '~' sorts after every character a timestamp holds.
std::string UntilBound(const std::string &until) { return until + "~"; }

#if defined(_WIN32)
std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return ::GetComputerNameA(name, &size) && name[0] != '\0' ? std::string(name) : std::string("unknown");
}

std::string LoginName() {
    if (const char *user = std::getenv("USERNAME"); user != nullptr) return user;
    return "";
}
#else
std::string HostName() {
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' ? std::string(name) : std::string("unknown");
}

std::string LoginName() {
    if (const passwd *pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_name != nullptr) return pw->pw_name;
    if (const char *user = std::getenv("USER"); user != nullptr) return user;
    return "";
}
#endif

}  // namespace quillrecord

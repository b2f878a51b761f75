// What the suites take from POSIX and mingw lacks, so the same test sources
// build for Windows. Force-included into every Windows test.
#pragma once
#if defined(_WIN32)
#include <direct.h>
#include <io.h>
#include <process.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <atomic>

// mkdtemp: the template's folder is made first where it is missing (Wine
// and Windows have no /tmp; it then lands at the root of the current drive).
inline char *mkdtemp(char *tmpl) {
    const size_t n = strlen(tmpl);
    if (n < 6 || strcmp(tmpl + n - 6, "XXXXXX") != 0) return nullptr;
    char parent[MAX_PATH];
    strncpy(parent, tmpl, sizeof parent - 1);
    parent[sizeof parent - 1] = '\0';
    if (char *slash = strrchr(parent, '/'); slash != nullptr && slash != parent) {
        *slash = '\0';
        (void)_mkdir(parent);
    }
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const unsigned v = (GetTickCount() * 2654435761u) ^ (static_cast<unsigned>(_getpid()) << 8) ^ counter++;
        static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        unsigned x = v;
        for (size_t i = n - 6; i < n; ++i, x /= 36) tmpl[i] = digits[x % 36];
        if (_mkdir(tmpl) == 0) return tmpl;
    }
    return nullptr;
}

inline int setenv(const char *name, const char *value, int overwrite) {
    if (!overwrite && getenv(name) != nullptr) return 0;
    return _putenv_s(name, value);
}
inline int unsetenv(const char *name) { return _putenv_s(name, ""); }
#endif

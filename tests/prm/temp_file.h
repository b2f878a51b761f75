// A file in a fresh temporary folder, removed with the folder.
#pragma once
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace prmtest {

// A file in a fresh temporary folder, removed with it.
class TempFile {
public:
    explicit TempFile(const std::string &text, const char *name = "test.prm") {
        char dir[] = "/tmp/prmtestXXXXXX";
        if (::mkdtemp(dir) != nullptr) dir_ = dir;
        path_ = dir_ + "/" + name;
        Write(text);
    }
    ~TempFile() {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    void Write(const std::string &text) const {
        FILE *f = std::fopen(path_.c_str(), "wb");
        if (f == nullptr) return;
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    std::string Contents() const {
        std::string text;
        FILE *f = std::fopen(path_.c_str(), "rb");
        if (f == nullptr) return text;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        std::fclose(f);
        return text;
    }
    const std::string &path() const { return path_; }
    const std::string &dir() const { return dir_; }

private:
    std::string dir_;
    std::string path_;
};

inline std::string SamplePath(const char *name) { return std::string(QUILLROM_SAMPLES_DIR) + "/" + name; }

}  // namespace prmtest

#include "json_text.h"

#include <nlohmann/json.hpp>

namespace quillcli {

std::string Latin1ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string NameToUtf8(const std::string &name) {
    // The library's strict writer is the UTF-8 check.
    try {
        (void)nlohmann::json(name).dump();
        return name;
    } catch (const nlohmann::json::type_error &) {
        return Latin1ToUtf8(name);
    }
}

}  // namespace quillcli

// "COM7" -> 7, on both systems: the name a user types for a port.
#include <cctype>

#include "client/port_diagnosis.h"

namespace quillclient {

int ComNumberOf(const std::string &text) {
    if (text.size() < 4) return 0;
    for (size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) != "COM"[i]) return 0;
    int n = 0;
    for (size_t i = 3; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9' || n > 1000) return -1;
        n = n * 10 + (text[i] - '0');
    }
    return n >= 1 && n <= 255 ? n : -1;
}

}  // namespace quillclient

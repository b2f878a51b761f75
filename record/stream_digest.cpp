#include "record/stream_digest.h"

#include <openssl/evp.h>

#include <cstdio>
#include <vector>

namespace quillrecord {

std::string StreamSha256(const DeviceParameters &device, const AreaRecord &area, int32_t autoRange,
                         const LoadFileHandle *load) {
    const uint32_t size = PRRStreamBytes(&device, &area, autoRange, load);
    if (size == 0) return "";
    std::vector<uint8_t> stream(size);
    if (PRRStreamCopy(&device, &area, autoRange, load, stream.data(), size) != size) return "";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(stream.data(), stream.size(), digest, &length, EVP_sha256(), nullptr) != 1) return "";
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

}  // namespace quillrecord

#include "record/stream_digest.h"

#if defined(_WIN32)
#include <windows.h>
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace quillrecord {
namespace {

// The digest through the platform's own crypto: libcrypto on Linux, BCrypt
// on Windows. False when it would not give one.
bool Sha256(const std::vector<uint8_t> &bytes, unsigned char digest[32]) {
#if defined(_WIN32)
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    ok = ok && BCryptHashData(hash, const_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(bytes.size()), 0) == 0;
    ok = ok && BCryptFinishHash(hash, digest, 32, 0) == 0;
    if (hash != nullptr) BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(alg, 0);
    return ok;
#else
    unsigned int length = 0;
    return EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) == 1 && length == 32;
#endif
}

std::string HexOf(const unsigned char digest[32]) {
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < 32; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

}  // namespace

std::string FileSha256(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return "";
    unsigned char digest[32];
    return Sha256(bytes, digest) ? HexOf(digest) : "";
}

std::string StreamSha256(const DeviceParameters &device, const AreaRecord &area, int32_t autoRange,
                         const LoadFileHandle *load) {
    const uint32_t size = PRRStreamBytes(&device, &area, autoRange, load);
    if (size == 0) return "";
    std::vector<uint8_t> stream(size);
    if (PRRStreamCopy(&device, &area, autoRange, load, stream.data(), size) != size) return "";
    unsigned char digest[32];
    return Sha256(stream, digest) ? HexOf(digest) : "";
}

}  // namespace quillrecord

#include "job_file.h"

#include "os_compat.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "client/files.h"
#include "commands.h"
#include "record/stream_digest.h"

#if QUILLROM_HAVE_SODIUM
#include <sodium.h>
#endif

namespace quillcli {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char *kFormat = "quillrom-job";
constexpr int kVersion = 1;

std::string ReadAll(const std::string &path, bool *ok) {
    std::ifstream in(path, std::ios::binary);
    *ok = static_cast<bool>(in);
    return *ok ? std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()) : std::string();
}

std::string Hex(const unsigned char *bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) out += std::string{digits[bytes[i] >> 4], digits[bytes[i] & 15]};
    return out;
}

bool FromHex(const std::string &text, std::vector<unsigned char> *out) {
    out->clear();
    if (text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned v = 0;
        if (std::sscanf(text.substr(i, 2).c_str(), "%2x", &v) != 1) return false;
        out->push_back(static_cast<unsigned char>(v));
    }
    return true;
}

// Stored relative to the job's folder where it can be, so the folder can move
// to the line's computer whole.
std::string Stored(const std::string &path, const fs::path &jobDir) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    if (ec) return path;
    const fs::path relative = absolute.lexically_relative(jobDir);
    if (relative.empty() || *relative.begin() == "..") return absolute.generic_string();
    return relative.generic_string();
}

std::string Resolved(const std::string &path, const fs::path &jobDir) {
    const fs::path p(path);
    return p.is_absolute() ? p.string() : (jobDir / p).lexically_normal().string();
}

fs::path FolderOf(const std::string &path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return (ec ? fs::path(path) : absolute).parent_path();
}

json EntryJson(const JobFileEntry &e) { return json{{"path", e.path}, {"sha256", e.sha256}}; }

bool EntryFrom(const json &j, JobFileEntry *e) {
    if (!j.is_object() || !j.contains("path") || !j["path"].is_string() || !j.contains("sha256") || !j["sha256"].is_string())
        return false;
    e->path = j["path"];
    e->sha256 = j["sha256"];
    return !e->path.empty() && e->sha256.size() == 64;
}

// Everything the signature covers: the document without its signature,
// compact, keys in order.
json Body(const ProductionJob &job) {
    json sources = json::array();
    for (const JobSource &s : job.sources) {
        json j = EntryJson(s.file);
        if (s.address) {
            char text[16];
            std::snprintf(text, sizeof text, "0x%X", *s.address);
            j["address"] = text;
        }
        sources.push_back(j);
    }
    json fields = json::array();
    for (const JobField &f : job.fields) {
        json j{{"name", f.name}, {"place", f.place}, {"source", f.source}};
        if (f.list) j["list"] = EntryJson(*f.list);
        fields.push_back(j);
    }
    json body{{"format", kFormat},  {"version", kVersion},   {"command", job.command}, {"sources", sources},
              {"prm", EntryJson(job.prm)}, {"options", job.options}, {"fields", fields}, {"created_utc", job.createdUtc}};
    if (!job.fill.empty()) body["fill"] = job.fill;
    return body;
}

std::string KeyIdOf(const unsigned char *publicKey, size_t size) {
#if QUILLROM_HAVE_SODIUM
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, publicKey, size);
    return Hex(digest, 8);
#else
    (void)publicKey;
    (void)size;
    return "";
#endif
}

// A key file: "quillrom ed25519 public|secret KEYID" then the key in hex.
bool ReadKey(const std::string &path, const char *kind, size_t size, std::vector<unsigned char> *key, std::string *keyId,
             std::string *why) {
    bool ok = false;
    const std::string text = ReadAll(path, &ok);
    if (!ok) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    char tag[32] = {0}, id[32] = {0}, hex[260] = {0};
    if (std::sscanf(text.c_str(), "quillrom ed25519 %31s %31s %259s", tag, id, hex) != 3 || std::string(tag) != kind ||
        !FromHex(hex, key) || key->size() != size) {
        *why = path + ": not a quillrom " + kind + " key (quillrom job keygen NAME makes one)";
        return false;
    }
    *keyId = id;
    return true;
}

bool WriteWhole(const std::string &path, const std::string &text, int mode, bool exclusive, std::string *why) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (exclusive ? O_EXCL : 0), mode);
    if (fd < 0) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int err = errno;
    ::close(fd);
    if (!ok) *why = path + ": " + std::strerror(err);
    return ok;
}

bool CheckEntry(const JobFileEntry &e, std::string *why) {
    const std::string digest = quillrecord::FileSha256(e.path);
    if (digest.empty()) {
        *why = e.path + " cannot be read: " + std::strerror(errno);
        return false;
    }
    if (digest != e.sha256) {
        *why = e.path + " has changed since the job was made (SHA-256 " + digest.substr(0, 16) + "..., the job names " +
               e.sha256.substr(0, 16) + "...)";
        return false;
    }
    return true;
}

}  // namespace

bool CanSign() { return QUILLROM_HAVE_SODIUM != 0; }

bool MakeKeyPair(const std::string &name, std::string *keyId, std::string *why) {
#if QUILLROM_HAVE_SODIUM
    if (sodium_init() < 0) {
        *why = "libsodium cannot start";
        return false;
    }
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(pk, sk);
    *keyId = KeyIdOf(pk, sizeof pk);
    const std::string secret = "quillrom ed25519 secret " + *keyId + " " + Hex(sk, sizeof sk) + "\n";
    const std::string pub = "quillrom ed25519 public " + *keyId + " " + Hex(pk, sizeof pk) + "\n";
    sodium_memzero(sk, sizeof sk);
    // A secret key is never overwritten: the jobs it signed would lose their signer.
    if (!WriteWhole(name + ".key", secret, 0600, true, why)) return false;
    return WriteWhole(name + ".pub", pub, 0644, false, why);
#else
    (void)name;
    (void)keyId;
    *why = "this build has no libsodium: it cannot make or check signatures";
    return false;
#endif
}

bool WriteJobFile(const std::string &path, ProductionJob job, const std::string &keyPath, std::string *why) {
    const fs::path dir = FolderOf(path);
    const auto take = [&](JobFileEntry &e) {
        e.sha256 = quillrecord::FileSha256(e.path);
        if (e.sha256.empty()) {
            *why = e.path + " cannot be read: " + std::strerror(errno);
            return false;
        }
        e.path = Stored(e.path, dir);
        return true;
    };
    for (JobSource &s : job.sources)
        if (!take(s.file)) return false;
    if (!take(job.prm)) return false;
    for (JobField &f : job.fields) {
        if (!f.list) continue;
        const std::string given = f.list->path;
        if (!take(*f.list)) return false;
        // The source names the list as the job holds it.
        const size_t at = f.source.find(given);
        if (at != std::string::npos) f.source.replace(at, given.size(), f.list->path);
    }
    json doc = Body(job);
    // JSON text is UTF-8: a path that is not cannot go into a job.
    try {
        (void)doc.dump();
    } catch (const json::type_error &) {
        *why = "a path or option of the job is not UTF-8 text: rename the file";
        return false;
    }
    if (!keyPath.empty()) {
#if QUILLROM_HAVE_SODIUM
        std::vector<unsigned char> sk;
        std::string keyId;
        if (sodium_init() < 0 || !ReadKey(keyPath, "secret", crypto_sign_SECRETKEYBYTES, &sk, &keyId, why)) return false;
        const std::string message = doc.dump();
        unsigned char sig[crypto_sign_BYTES];
        crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char *>(message.data()), message.size(), sk.data());
        sodium_memzero(sk.data(), sk.size());
        doc["signature"] = json{{"key_id", keyId}, {"ed25519", Hex(sig, sizeof sig)}};
#else
        *why = "this build has no libsodium: it cannot sign a job";
        return false;
#endif
    }
    const std::string temp = path + ".part";
    if (!WriteWhole(temp, doc.dump(2) + "\n", 0644, false, why)) return false;
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) {
        fs::remove(temp, ec);
        *why = path + ": " + ec.message();
        return false;
    }
    return true;
}

int ReadJobFile(const std::string &path, const std::string &publicKeyPath, ProductionJob *job, std::string *sha256,
                std::string *why) {
    bool ok = false;
    const std::string text = ReadAll(path, &ok);
    if (!ok) {
        *why = path + ": " + std::strerror(errno);
        return kExitIo;
    }
    *sha256 = quillrecord::FileSha256(path);
    const json doc = json::parse(text, nullptr, false);
    const auto bad = [&](const std::string &what) {
        *why = path + ": not a quillrom job: " + what;
        return kExitIo;
    };
    if (!doc.is_object() || doc.value("format", "") != kFormat) return bad("no \"format\": \"quillrom-job\"");
    if (!doc.contains("version") || !doc["version"].is_number_integer()) return bad("no version");
    if (doc["version"].get<int>() > kVersion) {
        *why = path + ": job version " + std::to_string(doc["version"].get<int>()) + " is newer than this quillrom (" +
               std::to_string(kVersion) + "): update quillrom";
        return kExitIo;
    }
    ProductionJob j;
    try {
        j.command = doc.at("command").get<std::string>();
        for (const json &s : doc.at("sources")) {
            JobSource source;
            if (!EntryFrom(s, &source.file)) return bad("a source without its path and SHA-256");
            if (s.contains("address")) {
                uint32_t address = 0;
                if (!quillclient::ParseNumberText(s["address"].get<std::string>(), &address)) return bad("a bad address");
                source.address = address;
            }
            j.sources.push_back(source);
        }
        if (!EntryFrom(doc.at("prm"), &j.prm)) return bad("no parameter file with its SHA-256");
        j.options = doc.at("options").get<std::vector<std::string>>();
        for (const json &f : doc.at("fields")) {
            JobField field{f.at("name").get<std::string>(), f.at("place").get<std::string>(), f.at("source").get<std::string>(), {}};
            if (f.contains("list")) {
                JobFileEntry e;
                if (!EntryFrom(f["list"], &e)) return bad("a list without its path and SHA-256");
                field.list = e;
            }
            j.fields.push_back(field);
        }
        j.fill = doc.value("fill", "");
        j.createdUtc = doc.value("created_utc", "");
    } catch (const json::exception &e) {
        return bad(e.what());
    }
    // The signature first: nothing of an unchecked job is acted on.
    const bool signedJob = doc.contains("signature");
    if (signedJob && publicKeyPath.empty()) {
        *why = path + " is signed: give --key NAME.pub to check its signature";
        return kExitUsage;
    }
    if (!signedJob && !publicKeyPath.empty()) {
        *why = path + " is not signed (--key " + publicKeyPath + " was given)";
        return kExitIo;
    }
    if (signedJob) {
#if QUILLROM_HAVE_SODIUM
        std::vector<unsigned char> pk, sig;
        std::string keyId;
        if (sodium_init() < 0 || !ReadKey(publicKeyPath, "public", crypto_sign_PUBLICKEYBYTES, &pk, &keyId, why)) return kExitIo;
        const json &s = doc["signature"];
        if (!s.is_object() || !s.contains("ed25519") || !s["ed25519"].is_string() || !FromHex(s["ed25519"], &sig) ||
            sig.size() != crypto_sign_BYTES)
            return bad("a signature that is not one");
        json body = doc;
        body.erase("signature");
        const std::string message = body.dump();
        if (crypto_sign_verify_detached(sig.data(), reinterpret_cast<const unsigned char *>(message.data()), message.size(),
                                        pk.data()) != 0) {
            *why = path + ": the signature does not match key " + keyId + " (" + publicKeyPath +
                   "): the job was changed after it was signed, or another key signed it";
            return kExitIo;
        }
        j.keyId = keyId;
        j.signature = s["ed25519"].get<std::string>();
#else
        *why = "this build has no libsodium: it cannot check the signature of " + path;
        return kExitIo;
#endif
    }
    const fs::path dir = FolderOf(path);
    for (JobSource &s : j.sources) s.file.path = Resolved(s.file.path, dir);
    j.prm.path = Resolved(j.prm.path, dir);
    for (JobField &f : j.fields) {
        if (!f.list) continue;
        const std::string held = f.list->path;
        f.list->path = Resolved(held, dir);
        const size_t at = f.source.find(held);
        if (at != std::string::npos) f.source.replace(at, held.size(), f.list->path);
    }
    if (!JobFilesUnchanged(j, why)) return kExitIo;
    *job = j;
    return kExitOk;
}

bool JobFilesUnchanged(const ProductionJob &job, std::string *why) {
    for (const JobSource &s : job.sources)
        if (!CheckEntry(s.file, why)) return false;
    if (!CheckEntry(job.prm, why)) return false;
    for (const JobField &f : job.fields)
        if (f.list && !CheckEntry(*f.list, why)) return false;
    return true;
}

std::vector<std::string> JobArguments(const ProductionJob &job) {
    std::vector<std::string> args;
    for (const JobSource &s : job.sources) {
        std::string text = s.file.path;
        if (s.address) {
            char at[16];
            std::snprintf(at, sizeof at, "@0x%X", *s.address);
            text += at;
        }
        args.push_back(text);
    }
    args.insert(args.end(), {"--prm", job.prm.path});
    if (!job.fill.empty()) args.insert(args.end(), {"--fill", job.fill});
    args.insert(args.end(), job.options.begin(), job.options.end());
    for (const JobField &f : job.fields) args.insert(args.end(), {"--field", f.name + "@" + f.place + "=" + f.source});
    return args;
}

}  // namespace quillcli

// A production job: a device command with its image, parameter file and
// options fixed by an engineer, each file named with its SHA-256, and
// optionally signed (Ed25519), so a station runs exactly that and nothing
// else. The file is JSON (format "quillrom-job", version 1); the README's
// "Production jobs" describes it.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace quillcli {

struct JobFileEntry {
    std::string path;    // as the job holds it: relative to the job file's folder, or absolute
    std::string sha256;  // of its bytes when the job was made
};

struct JobSource {
    JobFileEntry file;
    std::optional<uint32_t> address;  // a raw binary's load address
};

struct JobField {
    std::string name, place, source;  // NAME, ADDR:LEN[:FORMAT], SOURCE with a list's path as the job holds it
    std::optional<JobFileEntry> list;
};

struct ProductionJob {
    std::string command;                 // "auto", "program", ...
    std::vector<JobSource> sources;
    std::string fill;                    // "" for the erased value
    JobFileEntry prm;
    std::vector<std::string> options;    // the other device options, as the command line takes them
    std::vector<JobField> fields;
    std::string createdUtc;
    std::string keyId, signature;        // hex; empty when unsigned
};

// Signatures are made and checked where this build has libsodium.
bool CanSign();

// Writes NAME.key (the secret key, mode 0600, never overwritten) and
// NAME.pub; `keyId` gets the key's id. False with the reason.
bool MakeKeyPair(const std::string &name, std::string *keyId, std::string *why);

// Writes `job` to `path` (beside it first, then renamed over it), signed with
// the secret key file when `keyPath` is not empty. Paths in `job` are as the
// caller gives them (relative to the working folder); they are stored
// relative to the job file's folder.
bool WriteJobFile(const std::string &path, ProductionJob job, const std::string &keyPath, std::string *why);

// Reads and checks a job: its format, its signature (with `publicKeyPath`:
// the job must be signed by that key; without it, a signed job is refused,
// since its signature cannot be checked), and every file's SHA-256. Paths
// come back resolved against the job file's folder. `sha256` gets the job
// file's own digest. kExitOk, or kExitUsage / kExitIo with the reason.
int ReadJobFile(const std::string &path, const std::string &publicKeyPath, ProductionJob *job, std::string *sha256,
                std::string *why);

// Whether the job's files still have the digests it names (checked again
// before every round of a station). False with the file that changed.
bool JobFilesUnchanged(const ProductionJob &job, std::string *why);

// The job as quillrom's arguments after the command's name: SOURCE...,
// --prm, --fill, the options, --field ... (paths as they are in `job`).
std::vector<std::string> JobArguments(const ProductionJob &job);

}  // namespace quillcli

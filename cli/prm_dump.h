// `quillrom prm show|check`: a parameter file as the library reads it, and
// its checksum verdict.
#pragma once
#include <ostream>
#include <string>

namespace quillcli::prm {

// Exit codes of commands.h.
int Show(const std::string &file, bool json, std::ostream &out, std::ostream &err);
int Check(const std::string &file, std::ostream &out, std::ostream &err);

}  // namespace quillcli::prm

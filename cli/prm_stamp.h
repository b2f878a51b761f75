// `quillrom prm stamp`: writes the SUM= value the file's content gives.
#pragma once
#include <ostream>
#include <string>

namespace quillcli::prm {

// Replaces the file (the one a link points to) only with a result that reads
// and checks; an exit code of commands.h.
int Stamp(const std::string &file, std::ostream &out, std::ostream &err);

}  // namespace quillcli::prm

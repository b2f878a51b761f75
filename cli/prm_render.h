// A parameter file's record as readable text or as one JSON object.
#pragma once
#include <ostream>
#include <string>

#include "quillctl.h"

namespace quillcli::prm {

enum class RecordFormat { Text, Json };

// `file` is the name the record was read from.
void WriteRecord(const std::string &file, const DeviceParameters &d, RecordFormat format, std::ostream &out);

}  // namespace quillcli::prm

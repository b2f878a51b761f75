// Pieces both record stores share: times, text helpers, the SQLite opener.
#pragma once
#include <chrono>
#include <memory>
#include <string>

#include "record/record_store.h"

namespace quillrecord {

std::string ReplaceAll(std::string text, const std::string &from, const std::string &to);
// "2026-12-09T10:21:27.123Z"
std::string UtcNow();
// The same for a moment of the system clock.
std::string UtcText(std::chrono::system_clock::time_point t);
// An --until prefix takes in everything it starts: "2026-12-09" is the whole
// day. Rows compare below the returned text.
std::string UntilBound(const std::string &until);
// This machine's name, the default station; "unknown" when it has none.
std::string HostName();
// The login name of the user running this program, the default operator; "" when unknown.
std::string LoginName();

std::unique_ptr<RecordStore> OpenSqliteRecordStore(const std::string &path, std::string *error);

}  // namespace quillrecord

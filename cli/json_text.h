// Strings for the JSON the tool writes. JSON strings are Unicode; what the
// tool has are bytes, so each kind of text is turned into UTF-8 its own way.
#pragma once
#include <string>
#include <string_view>

namespace quillcli {

// Device texts (record lines, parameter-file fields) declare no encoding:
// each byte becomes the Latin-1 character of its value, so no byte is lost
// and a reader gets the bytes back by encoding the string as Latin-1.
std::string Latin1ToUtf8(std::string_view bytes);

// Names the user gave (file paths) are kept when they are UTF-8, as the
// locale of a command line almost always is; other bytes read as Latin-1.
std::string NameToUtf8(const std::string &name);

}  // namespace quillcli

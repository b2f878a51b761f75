// A load image written back out: Intel HEX, S-records or a raw binary, for
// `quillrom hex convert`.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quillcli {

enum class ImageFormat { kIntelHex, kSRecord, kBinary };

// The format an output's name asks for (.hex .ihx, .s19 .s28 .s37 .srec .mot,
// .bin); false for any other name.
bool FormatOfName(const std::string &path, ImageFormat *format);

using AddressRuns = std::vector<std::pair<uint32_t, uint32_t>>;  // first, last; sorted, apart

// The text of `runs` of `image` (indexed by address): 16 data bytes a record,
// extended linear address records where the upper half changes, the end record.
std::string IntelHexText(const uint8_t *image, const AddressRuns &runs);
// S1, S2 or S3 data records (the shortest that reaches the highest address),
// a header, a count record where it fits, and the matching end record.
std::string SRecordText(const uint8_t *image, const AddressRuns &runs);

// Sorted runs with touching and overlapping ones joined.
AddressRuns Coalesced(AddressRuns runs);

}  // namespace quillcli

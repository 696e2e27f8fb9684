// Showing and verifying a container file (United Binary or PDA image) on disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/file_io.h"
#include "image/image_formats.h"

namespace k730 {

// Reads the header of an open container, taking the kind from its header size
// field: 256 gives a United Binary (4 entries), 212 a PDA image (3 entries);
// any other value, or a file shorter than its header, is refused with error set.
bool ReadContainerHeader(InputFile& file, ImageHeader& header, int& entryCount, std::string& error);

// "phone binary", "IPL", "widebin" or "resource data".
const char* ComponentName(int entryCount, int entry);

// Every header field, one per line, texts shown with non-printable bytes escaped.
std::string DescribeContainer(const ImageHeader& header, int entryCount, uint64_t fileSize);

// Checks magic, header version, total size against the file, each entry's
// offset (components back to back after the header) and extent, the widebin's
// SmallRom part and the phone binary's length, and recomputes each
// component's CRC-32. One line per problem; none when the file is sound.
std::vector<std::string> VerifyContainer(InputFile& file, const ImageHeader& header,
                                         int entryCount);

// A text field for display: printable ASCII as is, other bytes as \xNN.
std::string PrintableText(const std::array<char, kTextFieldSize>& field);

}  // namespace k730

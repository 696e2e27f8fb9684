// The image of a run as Go loads it: the whole file read once, checked
// against the job, and its phone and PDA halves located as ranges of that one
// buffer, so memory use does not grow with the number of slots.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "console/console_view.h"

namespace k730 {

struct RunImages {
  // The file's bytes; a PDA+PHONE run puts the PDA image's new header in
  // before the PDA body, into room reserved behind the file's bytes.
  std::vector<uint8_t> bytes;
  // The phone half, only when it cannot stay where the file has it.
  std::vector<uint8_t> phoneCopy;
  const uint8_t* phone = nullptr;  // null when the job has no phone half
  uint32_t phoneLength = 0;
  const uint8_t* pda = nullptr;  // null when the job has no PDA half
  uint32_t pdaLength = 0;
  bool fileRead = false;  // the whole file was read (it may still be refused)
  uint32_t fileLength = 0;
  uint32_t crc = 0;  // CRC-32 of the file as read
};

// Reads the image file of job (device mode PDA, PHONE or PDA+PHONE) into
// images. "" when the run may start, else the slot-0 line that refuses it.
// Nothing is read beyond the file, whatever its header says.
std::string LoadRunImages(const JobForm& job, RunImages& images);

}  // namespace k730

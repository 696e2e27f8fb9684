// A read-only window onto a byte range of a buffer owned by someone else.
#pragma once

#include <cstdint>

namespace k730 {

class ImageView {
 public:
  ImageView() = default;
  ImageView(const uint8_t* start, uint32_t length) { Attach(start, length); }

  // Attaching rewinds the read position; a null start gives an empty view.
  void Attach(const uint8_t* start, uint32_t length);
  void Detach();

  bool IsAttached() const { return start_ != nullptr; }
  uint32_t Length() const { return length_; }
  uint32_t Position() const { return position_; }
  const uint8_t* Data() const { return start_; }

  // Copies up to count bytes from the current position and advances; returns the number copied.
  uint32_t Read(void* destination, uint32_t count);
  void Rewind() { position_ = 0; }

 private:
  const uint8_t* start_ = nullptr;
  uint32_t length_ = 0;
  uint32_t position_ = 0;
};

}  // namespace k730

#include "core/image_view.h"

#include <algorithm>
#include <cstring>

namespace k730 {

void ImageView::Attach(const uint8_t* start, uint32_t length) {
  start_ = start;
  length_ = start ? length : 0;
  position_ = 0;
}

void ImageView::Detach() {
  Attach(nullptr, 0);
}

uint32_t ImageView::Read(void* destination, uint32_t count) {
  if (!start_ || position_ >= length_) return 0;
  const uint32_t n = std::min(count, length_ - position_);
  std::memcpy(destination, start_ + position_, n);
  position_ += n;
  return n;
}

}  // namespace k730

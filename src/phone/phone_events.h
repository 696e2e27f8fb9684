// Codes the phone worker reports with, beside the events and step indexes
// shared with the console (core/job_ids.h).
#pragma once

#include <cstdint>
#include <string>

#include "core/job_ids.h"

namespace k730::phone_msg {

// Codes of WM_PHONE_PORT_OK / WM_PHONE_PORT_FAIL.
constexpr uintptr_t kPortOpened = 1;  // preparation, steps 3 and 8
constexpr uintptr_t kPortFailed = 2;
constexpr uintptr_t kPortOpenedDownload = 4;  // step 13
constexpr uintptr_t kPortFailedDownload = 5;
constexpr uintptr_t kPortExitBegin = 10;  // exit hook
constexpr uintptr_t kPortExitEnd = 11;

}  // namespace k730::phone_msg

namespace k730 {

// How a phone download ended, as its worker reports it with its end: taken
// from the events it posted, so that the console never reads it back out of
// the log text.
struct PhoneOutcome {
  enum class Kind { Completed, StepFailed, PortFailed, WriteFailed, EraseFailed, Stopped };
  Kind kind = Kind::Stopped;
  int code = 0;  // StepFailed: the step index; PortFailed: the port code

  bool Completed() const { return kind == Kind::Completed; }
  // What failed, as the run record names it ("SUSPEND", "Port Fail-2",
  // "WRITE", "ERASE"); "phone download" when it was ended from outside.
  std::string FailedStep() const {
    switch (kind) {
      case Kind::Completed:
        return "";
      case Kind::StepFailed:
        return code >= 0 && code < kStepNameCount ? kStepNames[code] : "phone download";
      case Kind::PortFailed:
        return "Port Fail-" + std::to_string(code);
      case Kind::WriteFailed:
        return "WRITE";
      case Kind::EraseFailed:
        return "ERASE";
      case Kind::Stopped:
        break;
    }
    return "phone download";
  }
  // The outcome an event of the download implies; false for the events that
  // decide nothing.
  static bool FromEvent(uint32_t id, uintptr_t wParam, PhoneOutcome& outcome) {
    switch (id) {
      case msg::WM_PHONE_STEP_FAIL:
        outcome = {Kind::StepFailed, static_cast<int>(wParam)};
        return true;
      case msg::WM_PHONE_PORT_FAIL:
        outcome = {Kind::PortFailed, static_cast<int>(wParam)};
        return true;
      case msg::WM_PHONE_WRITE_FAIL:
        outcome = {Kind::WriteFailed, static_cast<int>(wParam)};
        return true;
      case msg::WM_PHONE_ERASE_FAIL:
        outcome = {Kind::EraseFailed, static_cast<int>(wParam)};
        return true;
      case msg::WM_PHONE_FINISH:
        outcome = {Kind::Completed, 0};
        return true;
      default:
        return false;
    }
  }
};

}  // namespace k730

// Numbers the phone worker reports with. Events go to the console's loop with
// lParam = slot; StartDownload goes to the worker's own queue.
#pragma once

#include <array>
#include <cstdint>

namespace k730::phone_msg {

constexpr uint32_t WM_PHONE_STEP_FAIL = 1124;    // wParam: step index
constexpr uint32_t WM_PHONE_STEP_OK = 1125;      // wParam: step index
constexpr uint32_t WM_PHONE_PORT_OK = 1126;      // wParam: port code below
constexpr uint32_t WM_PHONE_PORT_FAIL = 1127;    // wParam: port code below
constexpr uint32_t WM_PHONE_PROGRESS = 1132;     // wParam: flash address reached
constexpr uint32_t WM_PHONE_WRITE_FAIL = 1133;   // wParam: reply code, 0 for none
constexpr uint32_t WM_PHONE_FINISH = 1134;       // wParam: 0
constexpr uint32_t WM_PHONE_STEP = 1135;         // wParam: step index (15)
constexpr uint32_t WM_PHONE_WRITE_RETRY = 1136;  // wParam: flash address
constexpr uint32_t WM_PHONE_ERASE_OK = 1137;     // wParam: 1
constexpr uint32_t WM_PHONE_ERASE_FAIL = 1138;   // wParam: reply code

// Thread message to a CPhone: wParam 0, lParam = slot.
constexpr uint32_t StartDownload = 1223;

// Codes of WM_PHONE_PORT_OK / WM_PHONE_PORT_FAIL.
constexpr uintptr_t kPortOpened = 1;  // preparation, steps 3 and 8
constexpr uintptr_t kPortFailed = 2;
constexpr uintptr_t kPortOpenedDownload = 4;  // step 13
constexpr uintptr_t kPortFailedDownload = 5;
constexpr uintptr_t kPortExitBegin = 10;  // exit hook
constexpr uintptr_t kPortExitEnd = 11;

}  // namespace k730::phone_msg

namespace k730 {

// Step indexes carried by the events.
enum PhoneStep : int {
  kStepAutotest = 0,
  kStepSuspend = 1,
  kStepSio2dm = 2,
  kStepRestart = 3,
  kStepVersion = 4,
  kStepOffline = 5,
  kStepDload = 6,
  kStepStart1 = 7,
  kStepCopy = 8,
  kStepDpramWrt = 9,
  kStepJump1 = 10,
  kStepStart2 = 11,
  kStepEraseApp = 12,
  kStepEraseFont = 13,
  kStepEraseBoot = 14,
  kStepWrite = 15,
  kStepJump2 = 16,
  kStepErase2 = 17,
  kStepSetPda = 18,
};

constexpr std::array<const char*, 19> kPhoneStepNames{
    "AUTOTEST",  "SUSPEND",    "SIO2DM",     "RESTART",   "VERSION", "OFFLINE",
    "DLOAD",     "START1",     "COPY",       "DPRAM_WRT", "JUMP1",   "START2, ERASE Start",
    "ERASE_APP", "ERASE_FONT", "ERASE_BOOT", "WRITE",     "JUMP2",   "ERASE2",
    "SET_PDA"};

// Phone modes of the job.
enum PhoneMode : int {
  kPhoneNormal = 0,
  kPhoneEmergency = 1,
  kPhoneChNormal = 2,
  kPhoneChEmergency = 3,
  kPhoneSkip = 4,
};

}  // namespace k730

// The numbers the layers share: the job's modes as the radio groups number
// them, the events a phone worker posts and the step names they carry, the
// device-change events and the Palm OS creator id every port open passes.
// Each is defined here once; the phone worker, the PDA worker, the device
// mapping, the console and the front ends all use these names.
#pragma once

#include <array>
#include <cstdint>

namespace k730 {

// Job modes.
namespace mode {
constexpr int kPdaPhone = 0;  // device modes
constexpr int kPhone = 1;
constexpr int kPda = 2;
constexpr int kPhNormal = 0;  // phone modes
constexpr int kPhEmergency = 1;
constexpr int kPhChNormal = 2;
constexpr int kPhChEmergency = 3;
constexpr int kPhSkip = 4;
constexpr int kPdaSmallRom = 0;  // PDA modes
constexpr int kPdaBigRom = 1;
constexpr int kPdaResource = 2;
constexpr int kPdaAll = 3;
constexpr int kPdaDFormat = 4;
constexpr int kPdaWidebin = 5;
constexpr int kPdaBigrom = 6;
constexpr int kPdaSkip = 7;
}  // namespace mode

// Message numbers; lParam is the slot.
namespace msg {
constexpr uint32_t WM_PHONE_STEP_FAIL = 1124;    // wParam: step index
constexpr uint32_t WM_PHONE_STEP_OK = 1125;      // wParam: step index
constexpr uint32_t WM_PHONE_PORT_OK = 1126;      // wParam: port code
constexpr uint32_t WM_PHONE_PORT_FAIL = 1127;    // wParam: port code
constexpr uint32_t WM_PHONE_START = 1130;        // posted by no worker
constexpr uint32_t WM_PHONE_CANCEL = 1131;       // posted by no worker
constexpr uint32_t WM_PHONE_PROGRESS = 1132;     // wParam: flash address reached
constexpr uint32_t WM_PHONE_WRITE_FAIL = 1133;   // wParam: reply code, 0 for none
constexpr uint32_t WM_PHONE_FINISH = 1134;       // wParam: 0
constexpr uint32_t WM_PHONE_STEP = 1135;         // wParam: step index
constexpr uint32_t WM_PHONE_WRITE_RETRY = 1136;  // wParam: flash address
constexpr uint32_t WM_PHONE_ERASE_OK = 1137;     // wParam: 1
constexpr uint32_t WM_PHONE_ERASE_FAIL = 1138;   // wParam: reply code
constexpr uint32_t kFirstPhoneEvent = WM_PHONE_STEP_FAIL;
constexpr uint32_t kLastPhoneEvent = WM_PHONE_ERASE_FAIL;
// Posted by a phone worker after every event of its download, when the
// download has returned (wParam: the tag it was given).
constexpr uint32_t kPhoneWorkerDone = 2270;
// Thread message to a phone worker: wParam 0, lParam = slot.
constexpr uint32_t StartDownload = 1223;

// Device-change events.
constexpr uint32_t DBT_DEVICEARRIVAL = 0x8000;
constexpr uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
}  // namespace msg

// Step indexes carried by the phone events.
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

constexpr int kStepNameCount = 19;
constexpr std::array<const char*, kStepNameCount> kStepNames{
    "AUTOTEST",  "SUSPEND",    "SIO2DM",     "RESTART",   "VERSION", "OFFLINE",
    "DLOAD",     "START1",     "COPY",       "DPRAM_WRT", "JUMP1",   "START2, ERASE Start",
    "ERASE_APP", "ERASE_FONT", "ERASE_BOOT", "WRITE",     "JUMP2",   "ERASE2",
    "SET_PDA"};

// Creator id of the Palm OS system ('psys'), passed at every port open.
constexpr uint32_t kPalmCreatorId = 0x70737973;

}  // namespace k730

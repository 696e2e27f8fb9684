// Numbers the console is built on: control ids and the console's own
// messages. The job's modes, the phone events, the step names and the device
// events are shared with the other layers (core/job_ids.h).
#pragma once

#include <array>
#include <cstdint>

#include "core/job_ids.h"
#include "core/slot_writer.h"

namespace k730 {

// Controls of the console window, by id.
namespace ctl {
constexpr int kExit = 2;
constexpr int kPath = 1001;
constexpr int kDevicePda = 1005;
constexpr int kDevicePhone = 1006;
constexpr int kDevicePdaPhone = 1007;  // first radio of the device group
constexpr int kPhNormal = 1008;        // first radio of the phone group
constexpr int kPhEmergency = 1009;
constexpr int kPhChNormal = 1010;
constexpr int kPhChEmergency = 1011;
constexpr int kPhSkip = 1048;
constexpr int kPdaSmallRom = 1012;  // first radio of the PDA group
constexpr int kPdaBigRom = 1013;
constexpr int kPdaResource = 1019;
constexpr int kPdaDFormat = 1020;
constexpr int kPdaAll = 1021;
constexpr int kPdaBigrom6 = 1022;
constexpr int kPdaWidebin = 1024;
constexpr int kPdaSkip = 1050;
constexpr int kBrowse = 1023;
constexpr int kModemPorts = 1015;
constexpr int kDeviceManager = 1016;
constexpr int kImageMaker = 1017;
constexpr int kConfiguration = 1018;
constexpr int kSaveLog = 1031;
constexpr int kGo = 1118;
constexpr int kClose = 1119;
constexpr int kPortEdit = 1133;
constexpr int kPortLabel = 1135;
constexpr int kPortSpin = 1136;
constexpr int kRepeat = 1140;  // check box: continuous operation

constexpr std::array<int, kSlotCount> kLogPane{1117, 1120, 1121, 1122, 1123, 1124};
constexpr std::array<int, kSlotCount> kStatusBox{1101, 1102, 1103, 1104, 1105, 1106};
constexpr std::array<int, kSlotCount> kProgressBar{1081, 1082, 1083, 1085, 1087, 1088};

// Radios in window order within each group; the index is the mode value.
constexpr std::array<int, 3> kDeviceRadios{kDevicePdaPhone, kDevicePhone, kDevicePda};
constexpr std::array<int, 5> kPhoneRadios{kPhNormal, kPhEmergency, kPhChNormal, kPhChEmergency,
                                          kPhSkip};
constexpr std::array<int, 8> kPdaRadios{kPdaSmallRom, kPdaBigRom,  kPdaResource, kPdaAll,
                                        kPdaDFormat,  kPdaWidebin, kPdaBigrom6,  kPdaSkip};
}  // namespace ctl

// The console's own messages; lParam is the slot unless said otherwise.
namespace msg {
constexpr uint32_t WM_FIND_PHONE = 2258;
constexpr uint32_t WM_START_PDA = 2260;
constexpr uint32_t WM_FILE_DROPPED = 2262;
// Internal to the console's loop.
constexpr uint32_t kPdaWorkerDone = 2272;  // a PDA worker returned
constexpr uint32_t kModalDone = 2274;      // a dialog the console opened was closed
constexpr uint32_t kPortChange = 2276;     // a modem port came or went (lParam: notice id)
constexpr uint32_t kRepeatChanged = 2278;  // wParam: the Repeat check box is on

// Window-system messages the console handles.
constexpr uint32_t WM_COMMAND = 0x0111;       // wParam = control id
constexpr uint32_t WM_DEVICECHANGE = 0x0219;  // wParam = event, lParam = notice id
constexpr uint32_t WM_DROPFILES = 0x0233;     // lParam = payload id
constexpr uint32_t WM_SYSCOMMAND = 0x0112;
}  // namespace msg

constexpr int kComPortsSize = 10;
constexpr uint32_t kPhoneBaudRate = 115200;
constexpr int kPhoneLinkOption = 5000;
constexpr int kPhoneAuxOption = 5000;

}  // namespace k730

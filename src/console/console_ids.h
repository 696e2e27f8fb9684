// Numbers and texts the console is built on: control ids, message ids, the
// job's mode values and the step-name table.
#pragma once

#include <array>
#include <cstdint>

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

// Messages of the console's loop; lParam is the slot unless said otherwise.
namespace msg {
constexpr uint32_t kUser = 0x0400;
constexpr uint32_t WM_PHONE_STEP_FAIL = 1124;
constexpr uint32_t WM_PHONE_STEP_OK = 1125;
constexpr uint32_t WM_PHONE_PORT_OK = 1126;
constexpr uint32_t WM_PHONE_PORT_FAIL = 1127;
constexpr uint32_t WM_PHONE_START = 1130;
constexpr uint32_t WM_PHONE_CANCEL = 1131;
constexpr uint32_t WM_PHONE_PROGRESS = 1132;
constexpr uint32_t WM_PHONE_WRITE_FAIL = 1133;
constexpr uint32_t WM_PHONE_FINISH = 1134;
constexpr uint32_t WM_PHONE_STEP = 1135;
constexpr uint32_t WM_PHONE_WRITE_RETRY = 1136;
constexpr uint32_t WM_PHONE_ERASE_OK = 1137;
constexpr uint32_t WM_PHONE_ERASE_FAIL = 1138;
constexpr uint32_t kFirstPhoneEvent = WM_PHONE_STEP_FAIL;
constexpr uint32_t kLastPhoneEvent = WM_PHONE_ERASE_FAIL;
constexpr uint32_t StartDownload = 1223;  // thread message to a phone worker
constexpr uint32_t WM_FIND_PHONE = 2258;
constexpr uint32_t WM_START_PDA = 2260;
constexpr uint32_t WM_FILE_DROPPED = 2262;

// Window-system messages the console handles.
constexpr uint32_t WM_COMMAND = 0x0111;       // wParam = control id
constexpr uint32_t WM_DEVICECHANGE = 0x0219;  // wParam = event, lParam = notice id
constexpr uint32_t WM_DROPFILES = 0x0233;     // lParam = payload id
constexpr uint32_t WM_SYSCOMMAND = 0x0112;
constexpr uint32_t DBT_DEVICEARRIVAL = 0x8000;
constexpr uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
}  // namespace msg

// Job modes as the radio groups number them.
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

constexpr int kStepNameCount = 19;
constexpr std::array<const char*, kStepNameCount> kStepNames{
    "AUTOTEST",  "SUSPEND",    "SIO2DM",     "RESTART",   "VERSION", "OFFLINE",
    "DLOAD",     "START1",     "COPY",       "DPRAM_WRT", "JUMP1",   "START2, ERASE Start",
    "ERASE_APP", "ERASE_FONT", "ERASE_BOOT", "WRITE",     "JUMP2",   "ERASE2",
    "SET_PDA"};

// Creator id of the Palm OS system ('psys'), passed at every port open.
constexpr uint32_t kPalmCreatorId = 0x70737973;
constexpr int kComPortsSize = 10;
constexpr uint32_t kPhoneBaudRate = 115200;
constexpr int kPhoneLinkOption = 5000;
constexpr int kPhoneAuxOption = 5000;

}  // namespace k730

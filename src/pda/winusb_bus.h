// Real handhelds on Windows: the USB seam (usb_palm_transport.h) on WinUSB.
// A handheld is found by its device-interface name (SetupAPI lists the
// present ones, device-change notifications bring new ones), opened with
// CreateFile and WinUsb_Initialize, asked for its connection information on
// the control pipe and spoken to over its bulk pipes. The handheld must have
// WinUSB bound as its driver.
#pragma once

#include "core/windows_api.h"
// After windows.h, which they need.
#include <winusb.h>

#include <memory>
#include <string>
#include <vector>

#include "pda/usb_palm_transport.h"

namespace k730 {

// The calls the bus makes, by pointer: WinUSB's are loaded from winusb.dll
// at first use, so that the program also starts where WinUSB is missing;
// tests put a handheld of their own behind them.
struct WinUsbApi {
  // CreateFile of a device interface for overlapped I/O, and CloseHandle.
  HANDLE (*openDevice)(const char* path);
  void (*closeDevice)(HANDLE device);
  decltype(&WinUsb_Initialize) initialize;
  decltype(&WinUsb_Free) free;
  decltype(&WinUsb_GetAssociatedInterface) getAssociatedInterface;
  decltype(&WinUsb_QueryInterfaceSettings) queryInterfaceSettings;
  decltype(&WinUsb_QueryPipe) queryPipe;
  decltype(&WinUsb_SetPipePolicy) setPipePolicy;
  decltype(&WinUsb_ControlTransfer) controlTransfer;
  decltype(&WinUsb_ReadPipe) readPipe;
  decltype(&WinUsb_WritePipe) writePipe;
};

// winusb.dll's calls; null when it cannot be loaded.
const WinUsbApi* SystemWinUsbApi();

// The names of the USB device interfaces present now (SetupAPI).
std::vector<std::string> PresentUsbDeviceInterfaces();

// The seam's result code for a Windows error of a USB call.
int UsbResultOfWindowsError(DWORD error);

// A bus on api (none: every open fails with kUsbErrorNotSupported).
std::unique_ptr<UsbBus> MakeWinUsbBus(const WinUsbApi* api = SystemWinUsbApi());

}  // namespace k730

// Finding and opening the PLC's USB pipe through the device set-up interface.
#pragma once
#include <windows.h>
// after windows.h
#include <setupapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "link/portname.h"

namespace quarn {

// pin, in each of the operations below: the name of the place where the
// device must be plugged ("usb:...", see UsbNameFromLocationPaths; "":
// anywhere); once a device has opened, its place's name, where the system
// tells it. nullptr: the first device that opens.

// Opens the pipe PipeName of the first present PLC (its device path + "\" +
// PipeName) for overlapped I/O; INVALID_HANDLE_VALUE when none is found, none
// opens or the path does not fit in MAXPATH.
HANDLE OpenMyDevPipe(const char* PipeName, std::string* pin = nullptr);

// 1 when a PLC interface of class pGuid was found and could be opened (the
// handle is closed again; the path is left in sDevNameBuf), else 0.
int GetUsbDeviceFileName(const GUID* pGuid, char (&sDevNameBuf)[MAXPATH],
                         std::string* pin = nullptr);

// The open handle of the lowest-indexed PLC interface of class pGuid that
// opens, or INVALID_HANDLE_VALUE.
HANDLE OpenUsbDevice(const GUID* pGuid, char (&sDevNameBuf)[MAXPATH], std::string* pin = nullptr);

// The open handle of one enumerated interface of the set hDvcInfo when its
// device path carries the PLC's key and opens, else INVALID_HANDLE_VALUE. The
// path is left in sDevNameBuf, matching or not; one that does not fit in
// MAXPATH is refused (sDevNameBuf empty, INVALID_HANDLE_VALUE).
HANDLE OpenOneDevice(HDEVINFO hDvcInfo, SP_DEVICE_INTERFACE_DATA* DvcInfoData,
                     char (&sDevNameBuf)[MAXPATH], std::string* pin = nullptr);

// The CreateFileA of a USB pipe: read and write, shared for reading and
// writing, open existing; flags 0 (synchronous) or FILE_FLAG_OVERLAPPED.
HANDLE OpenPipePath(const char* path, DWORD flags);

// A read (gathering until n bytes have arrived) or a write on a pipe opened
// for overlapped I/O, bounded by ms: what is left is cancelled and the count
// transferred returned. A transfer that does not end once cancelled closes
// the pipe (h becomes INVALID_HANDLE_VALUE): the driver keeps its buffer.
// lastError: why a transfer failed (GetLastError), 0 when none did.
int PipeTransfer(void*& h, bool read, uint8_t* data, int n, uint32_t ms, uint32_t& lastError);

// The PLC's pipe for a session: at its first opening the first PLC at pin
// (anywhere while pin is ""), whose place then becomes the pin; at a
// re-opening (after the PLC's restart) only the PLC at that place.
HANDLE OpenPlcPipe(std::string& pin);

// The USB PLCs present, by the names of their places, sorted; two PLCs
// whose places the system tells alike are listed twice.
std::vector<std::string> ListUsbPlcs();

}  // namespace quarn

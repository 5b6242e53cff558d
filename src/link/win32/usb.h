// Finding and opening the PLC's USB pipe through the device set-up interface.
#pragma once
#include <windows.h>
// after windows.h
#include <setupapi.h>

#include "link/portname.h"

namespace quarn {

// Opens the pipe PipeName of the first present PLC (its device path + "\" +
// PipeName); INVALID_HANDLE_VALUE when none is found, none opens or the path
// does not fit in MAXPATH.
HANDLE OpenMyDevPipe(const char* PipeName);

// 1 when a PLC interface of class pGuid was found and could be opened (the
// handle is closed again; the path is left in sDevNameBuf), else 0.
int GetUsbDeviceFileName(const GUID* pGuid, char (&sDevNameBuf)[MAXPATH]);

// The open handle of the lowest-indexed PLC interface of class pGuid that
// opens, or INVALID_HANDLE_VALUE.
HANDLE OpenUsbDevice(const GUID* pGuid, char (&sDevNameBuf)[MAXPATH]);

// The open handle of one enumerated interface of the set hDvcInfo when its
// device path carries the PLC's key and opens, else INVALID_HANDLE_VALUE. The
// path is left in sDevNameBuf, matching or not; one that does not fit in
// MAXPATH is refused (sDevNameBuf empty, INVALID_HANDLE_VALUE).
HANDLE OpenOneDevice(HDEVINFO hDvcInfo, SP_DEVICE_INTERFACE_DATA* DvcInfoData,
                     char (&sDevNameBuf)[MAXPATH]);

// The CreateFileA of a USB pipe: read and write, shared for reading and
// writing, open existing, synchronous.
HANDLE OpenPipePath(const char* path);

}  // namespace quarn

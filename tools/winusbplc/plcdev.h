/* The emulated USB PLCs' behaviour, in plcdev.dll, for the bus driver
 * winusbplc.sys. The driver owns the device objects and the IRPs; the DLL
 * owns the simulated PLCs, what they hold for the host and when they come
 * and go. Devices are numbered 1 to PLCDEV_MAX. */
#pragma once
#ifdef __cplusplus
extern "C" {
#endif

#define PLCDEV_MAX 8

/* The control device the control program talks to, and its one request:
 * a text command in, a text answer out (at most PLCDEV_TEXT bytes each). */
#define PLCDEV_CONTROL_NAME L"WinUsbPlc"
#define PLCDEV_TEXT 1024
#define PLCDEV_IOCTL_COMMAND \
  0x00222000 /* CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS) */

#ifdef PLCDEV_BUILD
#define PLCDEV_API __declspec(dllexport)
#else
#define PLCDEV_API __declspec(dllimport)
#endif

/* Runs a command of the control program; returns the answer's length. */
PLCDEV_API unsigned plcdev_command(const char* in, unsigned inLen, char* out, unsigned outLen);
/* Whether device i is on the bus now. */
PLCDEV_API int plcdev_present(int i);
/* Grows whenever a device comes or goes: the driver then reports its
 * children again. */
PLCDEV_API unsigned plcdev_generation(void);
/* The host opened or closed device i. */
PLCDEV_API void plcdev_open(int i);
PLCDEV_API void plcdev_close(int i);
/* Bytes from the host: the count taken, or -1 when the device is gone. */
PLCDEV_API int plcdev_write(int i, const void* data, unsigned n);
/* Up to n bytes for the host: the count, 0 when there is nothing to read
 * yet (the read waits), -1 when the device is gone. */
PLCDEV_API int plcdev_read(int i, void* buf, unsigned n);
/* The passing of time (called every few tens of milliseconds): a restarting
 * PLC comes back. */
PLCDEV_API void plcdev_tick(void);

#ifdef __cplusplus
}
#endif

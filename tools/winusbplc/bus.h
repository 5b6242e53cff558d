/* What the parts of winusbplc.sys share: the extension of each of its
 * device objects, and the completion of an IRP. bus.c is the bus, its
 * dispatch and the reads that wait; child.c is each child's Plug and Play. */
#pragma once
#include <ntddk.h>

enum Kind { KIND_CONTROL, KIND_BUS, KIND_CHILD };

typedef struct {
  enum Kind kind;
  int index;            /* children: 1 to PLCDEV_MAX */
  BOOLEAN unplugged;    /* children: no longer reported to the PnP manager */
  UNICODE_STRING iface; /* children: the registered interface */
  DEVICE_OBJECT* lower; /* bus: the device below */
} Ext;

NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information);
/* A copy of text (chars with its terminators) in paged pool, for the PnP
 * manager to free; NULL when there is no memory. */
WCHAR* PoolString(const WCHAR* text, SIZE_T chars);
/* A child's Plug-and-Play request (child.c). */
NTSTATUS ChildPnp(DEVICE_OBJECT* device, IRP* irp);

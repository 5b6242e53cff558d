/* winusbplc.sys: a Plug-and-Play bus driver whose children are USB PLCs
 * (device id USB\VID_0E5A&PID_0001, interface GUID_DEVINTERFACE_USB_DEVICE).
 * It is glue: the PLCs themselves live in plcdev.dll, which this driver
 * imports. A named control device takes the control program's commands.
 *
 * Locking: one spin lock guards the child table and the waiting reads; it is
 * never held across a call into the kernel's PnP or I/O manager or into the
 * DLL. */
#include <ntddk.h>

#include "plcdev.h"

static const GUID kUsbDeviceInterface = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

enum Kind { KIND_CONTROL, KIND_BUS, KIND_CHILD };

typedef struct {
  enum Kind kind;
  int index;            /* children: 1 to PLCDEV_MAX */
  BOOLEAN unplugged;    /* children: no longer reported to the PnP manager */
  UNICODE_STRING iface; /* children: the registered interface */
  DEVICE_OBJECT* lower; /* bus: the device below */
} Ext;

static KSPIN_LOCK lock;
static DRIVER_OBJECT* driver;
static DEVICE_OBJECT* busPdo; /* the root-enumerated device the bus sits on */
static DEVICE_OBJECT* child[PLCDEV_MAX + 1];
static IRP* waiting[PLCDEV_MAX + 1]; /* one read waits per device */
static volatile LONG reportedGeneration;
static volatile LONG stopping;

/* "Port_#000N.Hub_#0001" and the instance id "PLC000N". */
static void PutIndex(WCHAR* text, int at, int index) { text[at] = (WCHAR)(L'0' + index); }

static NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static WCHAR* PoolString(const WCHAR* text, SIZE_T chars /* including the terminators */) {
  WCHAR* p = ExAllocatePool(PagedPool, chars * sizeof(WCHAR));
  if (p) RtlCopyMemory(p, text, chars * sizeof(WCHAR));
  return p;
}

/* ---- reads that wait ---------------------------------------------------- */

static void CancelRead(DEVICE_OBJECT* device, IRP* irp) {
  Ext* e = device->DeviceExtension;
  KIRQL irql;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KeAcquireSpinLock(&lock, &irql);
  if (waiting[e->index] == irp)
    waiting[e->index] = NULL;
  else
    irp = NULL;
  KeReleaseSpinLock(&lock, irql);
  if (irp) Complete(irp, STATUS_CANCELLED, 0);
}

/* Completes the read with what the PLC has for the host, or leaves it
 * waiting (cancellable) when there is nothing yet. */
static NTSTATUS ServeRead(int index, IRP* irp) {
  IO_STACK_LOCATION* s = IoGetCurrentIrpStackLocation(irp);
  KIRQL irql;
  int got = plcdev_read(index, irp->AssociatedIrp.SystemBuffer, s->Parameters.Read.Length);
  if (got < 0) return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  if (got > 0) return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)got);
  IoMarkIrpPending(irp);
  KeAcquireSpinLock(&lock, &irql);
  if (waiting[index] != NULL && waiting[index] != irp) {
    KeReleaseSpinLock(&lock, irql);
    Complete(irp, STATUS_DEVICE_BUSY, 0);
    return STATUS_PENDING;
  }
  IoSetCancelRoutine(irp, CancelRead);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    waiting[index] = NULL;
    KeReleaseSpinLock(&lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  waiting[index] = irp;
  KeReleaseSpinLock(&lock, irql);
  return STATUS_PENDING;
}

/* The waiting read of a device, taken out of the cancellable state; NULL
 * when there is none or it is being cancelled. */
static IRP* TakeWaiting(int index) {
  KIRQL irql;
  IRP* irp;
  KeAcquireSpinLock(&lock, &irql);
  irp = waiting[index];
  if (irp && IoSetCancelRoutine(irp, NULL) != NULL)
    waiting[index] = NULL;
  else
    irp = NULL;
  KeReleaseSpinLock(&lock, irql);
  return irp;
}

static void ServeWaiting(int index) {
  IRP* irp = TakeWaiting(index);
  if (irp) ServeRead(index, irp);
}

/* ---- children ----------------------------------------------------------- */

/* Reports the children again when the set of present devices changed. */
static void SyncChildren(void) {
  LONG g = (LONG)plcdev_generation();
  DEVICE_OBJECT* bus = busPdo;
  if (bus == NULL || InterlockedExchange(&reportedGeneration, g) == g) return;
  IoInvalidateDeviceRelations(bus, BusRelations);
}

static void WriteLocation(int index) {
  WCHAR keyText[] =
      L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_0E5A&PID_0001\\PLC0000";
  WCHAR location[] = L"Port_#0000.Hub_#0001";
  UNICODE_STRING keyName, valueName;
  OBJECT_ATTRIBUTES attr;
  HANDLE key;
  PutIndex(keyText, (int)(sizeof keyText / sizeof(WCHAR)) - 2, index);
  PutIndex(location, 9, index);
  RtlInitUnicodeString(&keyName, keyText);
  RtlInitUnicodeString(&valueName, L"LocationInformation");
  InitializeObjectAttributes(&attr, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  if (!NT_SUCCESS(ZwCreateKey(&key, KEY_ALL_ACCESS, &attr, 0, NULL, REG_OPTION_NON_VOLATILE, NULL)))
    return;
  ZwSetValueKey(key, &valueName, 0, REG_SZ, location, sizeof location);
  ZwClose(key);
}

static NTSTATUS ChildQueryId(Ext* e, IRP* irp) {
  IO_STACK_LOCATION* s = IoGetCurrentIrpStackLocation(irp);
  static const WCHAR deviceId[] = L"USB\\VID_0E5A&PID_0001";
  static const WCHAR hardwareIds[] = L"USB\\VID_0E5A&PID_0001\0";
  WCHAR instance[] = L"PLC0000";
  WCHAR* p = NULL;
  switch (s->Parameters.QueryId.IdType) {
    case BusQueryDeviceID: p = PoolString(deviceId, sizeof deviceId / sizeof(WCHAR)); break;
    case BusQueryHardwareIDs:
      p = PoolString(hardwareIds, sizeof hardwareIds / sizeof(WCHAR));
      break;
    case BusQueryCompatibleIDs: p = PoolString(L"\0", 2); break; /* none */
    case BusQueryInstanceID:
      PutIndex(instance, 6, e->index);
      p = PoolString(instance, sizeof instance / sizeof(WCHAR));
      break;
    default: return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
  if (!p) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)p);
}

static NTSTATUS ChildPnp(DEVICE_OBJECT* device, IRP* irp) {
  Ext* e = device->DeviceExtension;
  IO_STACK_LOCATION* s = IoGetCurrentIrpStackLocation(irp);
  switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE:
      WriteLocation(e->index);
      if (e->iface.Buffer == NULL &&
          NT_SUCCESS(IoRegisterDeviceInterface(device, &kUsbDeviceInterface, NULL, &e->iface)))
        IoSetDeviceInterfaceState(&e->iface, TRUE);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_ID: return ChildQueryId(e, irp);
    case IRP_MN_QUERY_CAPABILITIES: {
      DEVICE_CAPABILITIES* caps = s->Parameters.DeviceCapabilities.Capabilities;
      caps->RawDeviceOK = 1;
      caps->SurpriseRemovalOK = 1;
      caps->Removable = 1;
      caps->UniqueID = 1;
      caps->Address = (ULONG)e->index;
      caps->UINumber = (ULONG)e->index;
      return Complete(irp, STATUS_SUCCESS, 0);
    }
    case IRP_MN_QUERY_DEVICE_TEXT:
      if (s->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
        static const WCHAR text[] = L"Quarn USB PLC";
        WCHAR* p = PoolString(text, sizeof text / sizeof(WCHAR));
        return p ? Complete(irp, STATUS_SUCCESS, (ULONG_PTR)p)
                 : Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      }
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      if (e->iface.Buffer) {
        IoSetDeviceInterfaceState(&e->iface, FALSE);
        RtlFreeUnicodeString(&e->iface);
        e->iface.Buffer = NULL;
      }
      if (s->MinorFunction == IRP_MN_REMOVE_DEVICE && e->unplugged) {
        Complete(irp, STATUS_SUCCESS, 0);
        IoDeleteDevice(device);
        return STATUS_SUCCESS;
      }
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE: return Complete(irp, STATUS_SUCCESS, 0);
    default: return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
}

/* The bus's children as the DLL has them now: new PDOs for devices that
 * came, the PDOs of devices that went are dropped (and deleted at their
 * removal). */
static NTSTATUS BusRelationsOf(IRP* irp) {
  DEVICE_RELATIONS* rel =
      ExAllocatePool(PagedPool, sizeof(DEVICE_RELATIONS) + PLCDEV_MAX * sizeof(DEVICE_OBJECT*));
  int i;
  if (!rel) return STATUS_INSUFFICIENT_RESOURCES;
  rel->Count = 0;
  for (i = 1; i <= PLCDEV_MAX; ++i) {
    DEVICE_OBJECT* d = child[i];
    if (!plcdev_present(i)) {
      if (d) {
        ((Ext*)d->DeviceExtension)->unplugged = TRUE;
        child[i] = NULL;
        {
          IRP* r = TakeWaiting(i);
          if (r) Complete(r, STATUS_DEVICE_NOT_CONNECTED, 0);
        }
      }
      continue;
    }
    if (!d) {
      Ext* e;
      if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(Ext), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &d)))
        continue;
      e = d->DeviceExtension;
      RtlZeroMemory(e, sizeof *e);
      e->kind = KIND_CHILD;
      e->index = i;
      d->Flags |= DO_BUFFERED_IO;
      d->Flags &= ~DO_DEVICE_INITIALIZING;
      child[i] = d;
    }
    ObReferenceObject(d);
    rel->Objects[rel->Count++] = d;
  }
  irp->IoStatus.Information = (ULONG_PTR)rel;
  return STATUS_SUCCESS;
}

static NTSTATUS BusPnp(DEVICE_OBJECT* device, IRP* irp) {
  Ext* e = device->DeviceExtension;
  IO_STACK_LOCATION* s = IoGetCurrentIrpStackLocation(irp);
  DEVICE_OBJECT* lower = e->lower;
  if (s->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
      s->Parameters.QueryDeviceRelations.Type == BusRelations) {
    NTSTATUS st = BusRelationsOf(irp);
    if (!NT_SUCCESS(st)) return Complete(irp, st, 0);
    irp->IoStatus.Status = STATUS_SUCCESS;
  } else if (s->MinorFunction == IRP_MN_START_DEVICE ||
             s->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE ||
             s->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
    irp->IoStatus.Status = STATUS_SUCCESS;
  } else if (s->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    NTSTATUS st;
    InterlockedExchange(&stopping, 1);
    busPdo = NULL;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    st = IoCallDriver(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return st;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

/* ---- dispatch ----------------------------------------------------------- */

static NTSTATUS DispatchPnp(DEVICE_OBJECT* device, IRP* irp) {
  Ext* e = device->DeviceExtension;
  if (e->kind == KIND_BUS) return BusPnp(device, irp);
  if (e->kind == KIND_CHILD) return ChildPnp(device, irp);
  return Complete(irp, STATUS_NOT_SUPPORTED, 0);
}

static NTSTATUS DispatchCreateClose(DEVICE_OBJECT* device, IRP* irp) {
  Ext* e = device->DeviceExtension;
  IO_STACK_LOCATION* s = IoGetCurrentIrpStackLocation(irp);
  if (e->kind != KIND_CHILD) return Complete(irp, STATUS_SUCCESS, 0);
  if (e->unplugged)
    return Complete(irp, s->MajorFunction == IRP_MJ_CREATE ? STATUS_NO_SUCH_DEVICE : STATUS_SUCCESS,
                    0);
  if (s->MajorFunction == IRP_MJ_CREATE) {
    plcdev_open(e->index);
  } else if (s->MajorFunction == IRP_MJ_CLOSE) {
    plcdev_close(e->index);
    SyncChildren();
  }
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchReadWrite(DEVICE_OBJECT* device, IRP* irp) {
  Ext* e = device->DeviceExtension;
  IO_STACK_LOCATION* s = IoGetCurrentIrpStackLocation(irp);
  int n;
  if (e->kind != KIND_CHILD || e->unplugged) return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  if (s->MajorFunction == IRP_MJ_READ) return ServeRead(e->index, irp);
  n = plcdev_write(e->index, irp->AssociatedIrp.SystemBuffer, s->Parameters.Write.Length);
  if (n < 0) return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  Complete(irp, STATUS_SUCCESS, (ULONG_PTR)n);
  ServeWaiting(e->index);
  return STATUS_SUCCESS;
}

static NTSTATUS DispatchControl(DEVICE_OBJECT* device, IRP* irp) {
  Ext* e = device->DeviceExtension;
  IO_STACK_LOCATION* s = IoGetCurrentIrpStackLocation(irp);
  char in[PLCDEV_TEXT];
  ULONG inLen = s->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLen = s->Parameters.DeviceIoControl.OutputBufferLength;
  unsigned answer;
  int i;
  if (e->kind != KIND_CONTROL ||
      s->Parameters.DeviceIoControl.IoControlCode != PLCDEV_IOCTL_COMMAND)
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  if (inLen > sizeof in) inLen = sizeof in;
  RtlCopyMemory(in, irp->AssociatedIrp.SystemBuffer, inLen);
  answer = plcdev_command(in, inLen, irp->AssociatedIrp.SystemBuffer, outLen);
  Complete(irp, STATUS_SUCCESS, answer);
  SyncChildren();
  for (i = 1; i <= PLCDEV_MAX; ++i) ServeWaiting(i);
  return STATUS_SUCCESS;
}

/* Time for the PLCs: restarts end, reads of vanished devices end. */
static void Worker(void* unused) {
  LARGE_INTEGER period;
  int i;
  (void)unused;
  period.QuadPart = -20 * 10000; /* 20 ms */
  while (!stopping) {
    KeDelayExecutionThread(KernelMode, FALSE, &period);
    plcdev_tick();
    SyncChildren();
    for (i = 1; i <= PLCDEV_MAX; ++i) ServeWaiting(i);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

static NTSTATUS AddDevice(DRIVER_OBJECT* drv, DEVICE_OBJECT* pdo) {
  DEVICE_OBJECT* fdo;
  Ext* e;
  HANDLE thread;
  NTSTATUS st = IoCreateDevice(drv, sizeof(Ext), NULL, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(st)) return st;
  e = fdo->DeviceExtension;
  RtlZeroMemory(e, sizeof *e);
  e->kind = KIND_BUS;
  e->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  busPdo = pdo;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, Worker, NULL)))
    ZwClose(thread);
  return STATUS_SUCCESS;
}

static void Unload(DRIVER_OBJECT* drv) {
  UNICODE_STRING link;
  (void)drv;
  RtlInitUnicodeString(&link, L"\\DosDevices\\" PLCDEV_CONTROL_NAME);
  IoDeleteSymbolicLink(&link);
}

NTSTATUS DriverEntry(DRIVER_OBJECT* drv, UNICODE_STRING* path) {
  UNICODE_STRING name, link;
  DEVICE_OBJECT* control;
  NTSTATUS st;
  (void)path;
  driver = drv;
  KeInitializeSpinLock(&lock);
  drv->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  drv->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  drv->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  drv->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
  drv->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
  drv->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  drv->DriverExtension->AddDevice = AddDevice;
  drv->DriverUnload = Unload;
  RtlInitUnicodeString(&name, L"\\Device\\" PLCDEV_CONTROL_NAME);
  RtlInitUnicodeString(&link, L"\\DosDevices\\" PLCDEV_CONTROL_NAME);
  st = IoCreateDevice(drv, sizeof(Ext), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control);
  if (!NT_SUCCESS(st)) return st;
  RtlZeroMemory(control->DeviceExtension, sizeof(Ext));
  ((Ext*)control->DeviceExtension)->kind = KIND_CONTROL;
  control->Flags |= DO_BUFFERED_IO;
  control->Flags &= ~DO_DEVICE_INITIALIZING;
  return IoCreateSymbolicLink(&link, &name);
}

/* winusbplc.sys: a child's Plug and Play. Each child is a USB PLC
 * reported by the bus: its ids (USB\VID_0E5A&PID_0001, instance PLC000N),
 * its capabilities (raw, removable), its description, its place in the
 * registry and its device interface, enabled at start and disabled at its
 * removal. */
#include "bus.h"

static const GUID kUsbDeviceInterface = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

/* "Port_#000N.Hub_#0001" and the instance id "PLC000N". */
static void PutIndex(WCHAR* text, int at, int index) { text[at] = (WCHAR)(L'0' + index); }

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

NTSTATUS ChildPnp(DEVICE_OBJECT* device, IRP* irp) {
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

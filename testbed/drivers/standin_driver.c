/*
 * Stand-in kernel driver for the testbed. Wine loads it into winedevice.exe
 * like any kernel-mode service.
 *
 * Built twice from this one source:
 *   default            \Device\VELTRANE, user mode opens \\.\VELTRANE
 *   -DSTANDIN_RSVLOCK  \Device\RSVLOCK,  user mode opens \\.\RSVLOCK
 *
 * IRP_MJ_CREATE, IRP_MJ_CLEANUP and IRP_MJ_CLOSE succeed. Every
 * IRP_MJ_DEVICE_CONTROL is recorded, in arrival order, and completed with
 * STATUS_SUCCESS and no output. The record is the REG_BINARY value
 *   <service key>\Parameters\Requests
 * made of back-to-back entries
 *   ULONG code; ULONG inputLength; UCHAR input[inputLength];
 * (little endian, no padding). A test resets it by deleting the value (or
 * the Parameters key); the next request starts a new one.
 */
#include <ntddk.h>

#ifdef STANDIN_RSVLOCK
#define STANDIN_DEVICE L"\\Device\\RSVLOCK"
#define STANDIN_LINK   L"\\DosDevices\\RSVLOCK"
#else
#define STANDIN_DEVICE L"\\Device\\VELTRANE"
#define STANDIN_LINK   L"\\DosDevices\\VELTRANE"
#endif

#define STANDIN_TAG 0x6e497453u /* "StIn" in memory */
/* One request's input is recorded whole up to this size; anything larger is
 * a fault in the caller and is cut, its true length still recorded. */
#define STANDIN_MAX_INPUT 0x10000

DRIVER_INITIALIZE DriverEntry;
static DRIVER_UNLOAD standin_unload;
static DRIVER_DISPATCH standin_succeed;
static DRIVER_DISPATCH standin_device_control;

static UNICODE_STRING parameters_path; /* <service key>\Parameters */
static KMUTEX record_lock;             /* one append at a time */

static void free_parameters_path(void)
{
    if (parameters_path.Buffer)
        ExFreePoolWithTag(parameters_path.Buffer, STANDIN_TAG);
    parameters_path.Buffer = NULL;
}

/* Reads the current record into a new pool buffer. A missing value is an
 * empty record; a value of any other type is replaced. */
static NTSTATUS read_record(HANDLE key, PUNICODE_STRING name,
                            PKEY_VALUE_PARTIAL_INFORMATION *info_out)
{
    ULONG size = sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 256;
    *info_out = NULL;
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status;
        PKEY_VALUE_PARTIAL_INFORMATION info =
            ExAllocatePoolWithTag(PagedPool, size, STANDIN_TAG);
        if (!info)
            return STATUS_INSUFFICIENT_RESOURCES;
        status = ZwQueryValueKey(key, name, KeyValuePartialInformation,
                                 info, size, &needed);
        if (NT_SUCCESS(status)) {
            if (info->Type != REG_BINARY)
                info->DataLength = 0;
            *info_out = info;
            return STATUS_SUCCESS;
        }
        ExFreePoolWithTag(info, STANDIN_TAG);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND)
            return STATUS_SUCCESS;
        if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL)
            return status;
        if (size >= 0x10000000)
            return STATUS_INSUFFICIENT_RESOURCES;
        size = needed > size ? needed : size * 2;
    }
}

static NTSTATUS append_record(HANDLE key, ULONG code, const void *input,
                              ULONG input_length, ULONG recorded_length)
{
    UNICODE_STRING name;
    PKEY_VALUE_PARTIAL_INFORMATION old = NULL;
    ULONG old_length, total;
    PUCHAR data;
    ULONG header[2];
    NTSTATUS status;

    RtlInitUnicodeString(&name, L"Requests");
    status = read_record(key, &name, &old);
    if (!NT_SUCCESS(status))
        return status;
    old_length = old ? old->DataLength : 0;
    total = old_length + sizeof(header) + recorded_length;
    data = ExAllocatePoolWithTag(PagedPool, total, STANDIN_TAG);
    if (!data) {
        if (old)
            ExFreePoolWithTag(old, STANDIN_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (old_length)
        RtlCopyMemory(data, old->Data, old_length);
    if (old)
        ExFreePoolWithTag(old, STANDIN_TAG);
    header[0] = code;
    header[1] = input_length;
    RtlCopyMemory(data + old_length, header, sizeof(header));
    if (recorded_length)
        RtlCopyMemory(data + old_length + sizeof(header), input, recorded_length);
    status = ZwSetValueKey(key, &name, 0, REG_BINARY, data, total);
    ExFreePoolWithTag(data, STANDIN_TAG);
    return status;
}

static NTSTATUS record_request(ULONG code, const void *input, ULONG input_length)
{
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    ULONG recorded_length = input ? input_length : 0;
    NTSTATUS status;

    if (recorded_length > STANDIN_MAX_INPUT)
        recorded_length = STANDIN_MAX_INPUT;
    InitializeObjectAttributes(&attributes, &parameters_path,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    KeWaitForSingleObject(&record_lock, Executive, KernelMode, FALSE, NULL);
    status = ZwCreateKey(&key, KEY_QUERY_VALUE | KEY_SET_VALUE, &attributes, 0,
                         NULL, REG_OPTION_NON_VOLATILE, NULL);
    if (NT_SUCCESS(status)) {
        status = append_record(key, code, input, input_length, recorded_length);
        ZwClose(key);
    }
    KeReleaseMutex(&record_lock, FALSE);
    return status;
}

static NTSTATUS NTAPI standin_succeed(PDEVICE_OBJECT device, PIRP irp)
{
    UNREFERENCED_PARAMETER(device);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI standin_device_control(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    const void *input = (code & 3) == METHOD_NEITHER
        ? stack->Parameters.DeviceIoControl.Type3InputBuffer
        : irp->AssociatedIrp.SystemBuffer;

    UNREFERENCED_PARAMETER(device);
    /* The caller always gets success: a request that could not be recorded
     * shows up as a missing entry in the record. */
    record_request(code, input, input_length);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

static void NTAPI standin_unload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, STANDIN_LINK);
    IoDeleteSymbolicLink(&link);
    if (driver->DeviceObject)
        IoDeleteDevice(driver->DeviceObject);
    free_parameters_path();
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    static const WCHAR suffix[] = L"\\Parameters";
    UNICODE_STRING device_name, link;
    PDEVICE_OBJECT device;
    ULONG size = registry_path->Length + sizeof(suffix);
    NTSTATUS status;

    if (size > 0xfffe)
        return STATUS_INVALID_PARAMETER;
    parameters_path.Buffer = ExAllocatePoolWithTag(PagedPool, size, STANDIN_TAG);
    if (!parameters_path.Buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    parameters_path.Length = 0;
    parameters_path.MaximumLength = (USHORT)size;
    RtlCopyUnicodeString(&parameters_path, registry_path);
    RtlAppendUnicodeToString(&parameters_path, suffix);
    KeInitializeMutex(&record_lock, 0);

    RtlInitUnicodeString(&device_name, STANDIN_DEVICE);
    status = IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        free_parameters_path();
        return status;
    }
    RtlInitUnicodeString(&link, STANDIN_LINK);
    status = IoCreateSymbolicLink(&link, &device_name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        free_parameters_path();
        return status;
    }

    driver->MajorFunction[IRP_MJ_CREATE] = standin_succeed;
    driver->MajorFunction[IRP_MJ_CLEANUP] = standin_succeed;
    driver->MajorFunction[IRP_MJ_CLOSE] = standin_succeed;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = standin_device_control;
    driver->DriverUnload = standin_unload;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// The byte layout of every kernel, USB, serial and WMI record the driver
// reads or writes, on both processors, as literals.
//
// Windows decides these layouts, not our headers: an IRP built by the I/O
// manager, a URB the USB stack reads back, a stack location another driver
// filled in all have the layout of the kernel the driver is loaded into.
// The two Windows builds check the literals below against the DDK headers
// they are compiled with; the host builds (64- and 32-bit) check the
// emulated kernel's headers against the same literals. A header that moves
// a field, on any build, stops that build here.
//
// Fields that share storage on Windows share it here too: the reference word
// the driver keeps in Parameters.Others.Argument4 and the buffer a queue-size
// request carries in Parameters.DeviceIoControl.Type3InputBuffer are the
// same pointer-sized slot of the stack location, on both processors.
//
// Each row: record, field, then offset and size on x86, offset and size on
// x64. Bit fields have no offset; the field after them pins their word.
// Included by platform/platform.h, so every driver source compiles it.
#pragma once

#if defined(_WIN32)
#if defined(_WIN64)
#define RECORD_LAYOUT_X64 1
#endif
#elif defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 8
#define RECORD_LAYOUT_X64 1
#endif

#if defined(RECORD_LAYOUT_X64)
#define RECORD_LAYOUT_PICK(x86, x64) (x64)
#define RECORD_LAYOUT_PROCESSOR "x64"
#else
#define RECORD_LAYOUT_PICK(x86, x64) (x86)
#define RECORD_LAYOUT_PROCESSOR "x86"
#endif

#define PIN_SIZE(Type, sizeX86, sizeX64)                                       \
    static_assert(sizeof(Type) == RECORD_LAYOUT_PICK(sizeX86, sizeX64),        \
                  "sizeof(" #Type ") is not " #sizeX86 " (x86) / " #sizeX64 " (x64) in this " RECORD_LAYOUT_PROCESSOR " build")

#define PIN_FIELD(Type, field, offX86, sizeX86, offX64, sizeX64)                                              \
    static_assert(__builtin_offsetof(Type, field) == RECORD_LAYOUT_PICK(offX86, offX64),                      \
                  #Type "::" #field " is not at " #offX86 " (x86) / " #offX64 " (x64) in this " RECORD_LAYOUT_PROCESSOR " build"); \
    static_assert(sizeof(static_cast<Type*>(nullptr)->field) == RECORD_LAYOUT_PICK(sizeX86, sizeX64),         \
                  #Type "::" #field " is not " #sizeX86 " (x86) / " #sizeX64 " (x64) bytes in this " RECORD_LAYOUT_PROCESSOR " build")

// ================================================================ data model
// Windows is ILP32 on x86 and LLP64 on x64: ULONG and LONG are 32 bits on
// both, pointers follow the processor. 64-bit integers are 8-aligned inside
// records on both (the i386 System V ABI aligns them to 4: the host's
// headers mark such members, see ALIGNED_INT64 in harness/km/ntdef.h).
PIN_SIZE(ULONG, 4, 4);
PIN_SIZE(LONG, 4, 4);
PIN_SIZE(NTSTATUS, 4, 4);
PIN_SIZE(USHORT, 2, 2);
PIN_SIZE(WCHAR, 2, 2);
PIN_SIZE(BOOLEAN, 1, 1);
PIN_SIZE(PVOID, 4, 8);
PIN_SIZE(ULONG_PTR, 4, 8);
PIN_SIZE(HANDLE, 4, 8);
PIN_SIZE(KSPIN_LOCK, 4, 8);
PIN_SIZE(KIRQL, 1, 1);
static_assert(alignof(LARGE_INTEGER) == 8, "LARGE_INTEGER is 8-aligned in records");

//        record                     field                                  x86          x64
PIN_SIZE (LARGE_INTEGER,                                                    8,           8);
PIN_FIELD(LARGE_INTEGER,             LowPart,                               0x00, 4,     0x00, 4);
PIN_FIELD(LARGE_INTEGER,             HighPart,                              0x04, 4,     0x04, 4);
PIN_FIELD(LARGE_INTEGER,             QuadPart,                              0x00, 8,     0x00, 8);

PIN_SIZE (LIST_ENTRY,                                                       0x08,        0x10);
PIN_FIELD(LIST_ENTRY,                Flink,                                 0x00, 4,     0x00, 8);
PIN_FIELD(LIST_ENTRY,                Blink,                                 0x04, 4,     0x08, 8);

PIN_SIZE (UNICODE_STRING,                                                   0x08,        0x10);
PIN_FIELD(UNICODE_STRING,            Length,                                0x00, 2,     0x00, 2);
PIN_FIELD(UNICODE_STRING,            MaximumLength,                         0x02, 2,     0x02, 2);
PIN_FIELD(UNICODE_STRING,            Buffer,                                0x04, 4,     0x08, 8);

PIN_SIZE (ANSI_STRING,                                                      0x08,        0x10);
PIN_FIELD(ANSI_STRING,               Length,                                0x00, 2,     0x00, 2);
PIN_FIELD(ANSI_STRING,               MaximumLength,                         0x02, 2,     0x02, 2);
PIN_FIELD(ANSI_STRING,               Buffer,                                0x04, 4,     0x08, 8);

PIN_SIZE (GUID,                                                             0x10,        0x10);

// InitializeObjectAttributes fills every field.
PIN_SIZE (OBJECT_ATTRIBUTES,                                                0x18,        0x30);
PIN_FIELD(OBJECT_ATTRIBUTES,         Length,                                0x00, 4,     0x00, 4);
PIN_FIELD(OBJECT_ATTRIBUTES,         RootDirectory,                         0x04, 4,     0x08, 8);
PIN_FIELD(OBJECT_ATTRIBUTES,         ObjectName,                            0x08, 4,     0x10, 8);
PIN_FIELD(OBJECT_ATTRIBUTES,         Attributes,                            0x0C, 4,     0x18, 4);
PIN_FIELD(OBJECT_ATTRIBUTES,         SecurityDescriptor,                    0x10, 4,     0x20, 8);
PIN_FIELD(OBJECT_ATTRIBUTES,         SecurityQualityOfService,              0x14, 4,     0x28, 8);

// ===================================================== dispatcher objects
// The driver embeds these in its device extension and touches them only
// through the Ke* routines; their sizes fix the extension's layout.
PIN_SIZE(KTIMER,                                                           40,          64);
PIN_SIZE(KDPC,                                                             32,          64);
PIN_SIZE(KEVENT,                                                           16,          24);
PIN_SIZE(FAST_MUTEX,                                                       32,          56);

// ============================================================ I/O requests
PIN_SIZE (IO_STATUS_BLOCK,                                                  0x08,        0x10);
PIN_FIELD(IO_STATUS_BLOCK,           Status,                                0x00, 4,     0x00, 4);
PIN_FIELD(IO_STATUS_BLOCK,           Pointer,                               0x00, 4,     0x00, 8);
PIN_FIELD(IO_STATUS_BLOCK,           Information,                           0x04, 4,     0x08, 8);

// The stack location. On x64 the DDK aligns the members of the Parameters
// variants to 8 (POINTER_ALIGNMENT) so that each variant's fields line up
// with Others.Argument1..4; on x86 the record is packed to 4.
PIN_SIZE (IO_STACK_LOCATION,                                                0x24,        0x48);
PIN_FIELD(IO_STACK_LOCATION,         MajorFunction,                         0x00, 1,     0x00, 1);
PIN_FIELD(IO_STACK_LOCATION,         MinorFunction,                         0x01, 1,     0x01, 1);
PIN_FIELD(IO_STACK_LOCATION,         Flags,                                 0x02, 1,     0x02, 1);
PIN_FIELD(IO_STACK_LOCATION,         Control,                               0x03, 1,     0x03, 1);
PIN_FIELD(IO_STACK_LOCATION,         Parameters,                            0x04, 0x10,  0x08, 0x20);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Create.SecurityContext,     0x04, 4,     0x08, 8);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Create.Options,             0x08, 4,     0x10, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Create.FileAttributes,      0x0C, 2,     0x18, 2);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Create.ShareAccess,         0x0E, 2,     0x1A, 2);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Create.EaLength,            0x10, 4,     0x20, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Read.Length,                0x04, 4,     0x08, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Read.Key,                   0x08, 4,     0x10, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Read.ByteOffset,            0x0C, 8,     0x18, 8);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Write.Length,               0x04, 4,     0x08, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Write.Key,                  0x08, 4,     0x10, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Write.ByteOffset,           0x0C, 8,     0x18, 8);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.QueryFile.Length,           0x04, 4,     0x08, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.QueryFile.FileInformationClass, 0x08, 4, 0x10, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.SetFile.Length,             0x04, 4,     0x08, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.SetFile.FileInformationClass, 0x08, 4,   0x10, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.SetFile.FileObject,         0x0C, 4,     0x18, 8);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.SetFile.ReplaceIfExists,    0x10, 1,     0x20, 1);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.SetFile.AdvanceOnly,        0x11, 1,     0x21, 1);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.SetFile.ClusterCount,       0x10, 4,     0x20, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.SetFile.DeleteHandle,       0x10, 4,     0x20, 8);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.DeviceIoControl.OutputBufferLength, 0x04, 4, 0x08, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.DeviceIoControl.InputBufferLength,  0x08, 4, 0x10, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.DeviceIoControl.IoControlCode,      0x0C, 4, 0x18, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.DeviceIoControl.Type3InputBuffer,   0x10, 4, 0x20, 8);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.QueryDeviceRelations.Type,  0x04, 4,     0x08, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.DeviceCapabilities.Capabilities, 0x04, 4, 0x08, 8);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.QueryId.IdType,             0x04, 4,     0x08, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.StartDevice.AllocatedResources, 0x04, 4, 0x08, 8);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.StartDevice.AllocatedResourcesTranslated, 0x08, 4, 0x10, 8);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.WaitWake.PowerState,        0x04, 4,     0x08, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Power.SystemContext,        0x04, 4,     0x08, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Power.Type,                 0x08, 4,     0x10, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Power.State,                0x0C, 4,     0x18, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Power.ShutdownType,         0x10, 4,     0x20, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.WMI.ProviderId,             0x04, 4,     0x08, 8);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.WMI.DataPath,               0x08, 4,     0x10, 8);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.WMI.BufferSize,             0x0C, 4,     0x18, 4);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.WMI.Buffer,                 0x10, 4,     0x20, 8);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Others.Argument1,           0x04, 4,     0x08, 8);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Others.Argument2,           0x08, 4,     0x10, 8);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Others.Argument3,           0x0C, 4,     0x18, 8);
PIN_FIELD(IO_STACK_LOCATION,         Parameters.Others.Argument4,           0x10, 4,     0x20, 8);
PIN_FIELD(IO_STACK_LOCATION,         DeviceObject,                          0x14, 4,     0x28, 8);
PIN_FIELD(IO_STACK_LOCATION,         FileObject,                            0x18, 4,     0x30, 8);
PIN_FIELD(IO_STACK_LOCATION,         CompletionRoutine,                     0x1C, 4,     0x38, 8);
PIN_FIELD(IO_STACK_LOCATION,         Context,                               0x20, 4,     0x40, 8);

// What Parameters.Create.SecurityContext points to.
PIN_SIZE (IO_SECURITY_CONTEXT,                                              0x10,        0x18);
PIN_FIELD(IO_SECURITY_CONTEXT,       SecurityQos,                           0x00, 4,     0x00, 8);
PIN_FIELD(IO_SECURITY_CONTEXT,       AccessState,                           0x04, 4,     0x08, 8);
PIN_FIELD(IO_SECURITY_CONTEXT,       DesiredAccess,                         0x08, 4,     0x10, 4);
PIN_FIELD(IO_SECURITY_CONTEXT,       FullCreateOptions,                     0x0C, 4,     0x14, 4);

// The request packet. Its stack locations follow it in the same block
// (IoSizeOfIrp), so its size is pinned too. Tail is a union whose largest
// member is a KAPC (0x30 bytes on x86, 0x58 on x64).
PIN_SIZE (IRP,                                                              0x70,        0xD0);
PIN_FIELD(IRP,                       Type,                                  0x00, 2,     0x00, 2);
PIN_FIELD(IRP,                       Size,                                  0x02, 2,     0x02, 2);
PIN_FIELD(IRP,                       MdlAddress,                            0x04, 4,     0x08, 8);
PIN_FIELD(IRP,                       Flags,                                 0x08, 4,     0x10, 4);
PIN_FIELD(IRP,                       AssociatedIrp.MasterIrp,               0x0C, 4,     0x18, 8);
PIN_FIELD(IRP,                       AssociatedIrp.IrpCount,                0x0C, 4,     0x18, 4);
PIN_FIELD(IRP,                       AssociatedIrp.SystemBuffer,            0x0C, 4,     0x18, 8);
PIN_FIELD(IRP,                       ThreadListEntry,                       0x10, 8,     0x20, 0x10);
PIN_FIELD(IRP,                       IoStatus,                              0x18, 8,     0x30, 0x10);
PIN_FIELD(IRP,                       IoStatus.Status,                       0x18, 4,     0x30, 4);
PIN_FIELD(IRP,                       IoStatus.Information,                  0x1C, 4,     0x38, 8);
PIN_FIELD(IRP,                       RequestorMode,                         0x20, 1,     0x40, 1);
PIN_FIELD(IRP,                       PendingReturned,                       0x21, 1,     0x41, 1);
PIN_FIELD(IRP,                       StackCount,                            0x22, 1,     0x42, 1);
PIN_FIELD(IRP,                       CurrentLocation,                       0x23, 1,     0x43, 1);
PIN_FIELD(IRP,                       Cancel,                                0x24, 1,     0x44, 1);
PIN_FIELD(IRP,                       CancelIrql,                            0x25, 1,     0x45, 1);
PIN_FIELD(IRP,                       ApcEnvironment,                        0x26, 1,     0x46, 1);
PIN_FIELD(IRP,                       AllocationFlags,                       0x27, 1,     0x47, 1);
PIN_FIELD(IRP,                       UserIosb,                              0x28, 4,     0x48, 8);
PIN_FIELD(IRP,                       UserEvent,                             0x2C, 4,     0x50, 8);
PIN_FIELD(IRP,                       Overlay.AsynchronousParameters.UserApcRoutine, 0x30, 4, 0x58, 8);
PIN_FIELD(IRP,                       Overlay.AsynchronousParameters.UserApcContext, 0x34, 4, 0x60, 8);
PIN_FIELD(IRP,                       Overlay.AllocationSize,                0x30, 8,     0x58, 8);
PIN_FIELD(IRP,                       CancelRoutine,                         0x38, 4,     0x68, 8);
PIN_FIELD(IRP,                       UserBuffer,                            0x3C, 4,     0x70, 8);
PIN_FIELD(IRP,                       Tail,                                  0x40, 0x30,  0x78, 0x58);
PIN_FIELD(IRP,                       Tail.Overlay.DeviceQueueEntry,         0x40, 0x10,  0x78, 0x18);
PIN_FIELD(IRP,                       Tail.Overlay.DriverContext,            0x40, 0x10,  0x78, 0x20);
PIN_FIELD(IRP,                       Tail.Overlay.Thread,                   0x50, 4,     0x98, 8);
PIN_FIELD(IRP,                       Tail.Overlay.AuxiliaryBuffer,          0x54, 4,     0xA0, 8);
PIN_FIELD(IRP,                       Tail.Overlay.ListEntry,                0x58, 8,     0xA8, 0x10);
PIN_FIELD(IRP,                       Tail.Overlay.CurrentStackLocation,     0x60, 4,     0xB8, 8);
PIN_FIELD(IRP,                       Tail.Overlay.PacketType,               0x60, 4,     0xB8, 4);
PIN_FIELD(IRP,                       Tail.Overlay.OriginalFileObject,       0x64, 4,     0xC0, 8);
PIN_FIELD(IRP,                       Tail.Apc,                              0x40, 0x30,  0x78, 0x58);

// ==================================================== driver and device objects
// Only the fields the driver touches: the rest belongs to the I/O manager.
PIN_FIELD(DRIVER_OBJECT,             DriverExtension,                       0x18, 4,     0x30, 8);
PIN_FIELD(DRIVER_OBJECT,             DriverUnload,                          0x34, 4,     0x68, 8);
PIN_FIELD(DRIVER_OBJECT,             MajorFunction,                         0x38, 0x70,  0x70, 0xE0);
PIN_SIZE (DRIVER_OBJECT,                                                    0xA8,        0x150);
PIN_FIELD(DRIVER_EXTENSION,          DriverObject,                          0x00, 4,     0x00, 8);
PIN_FIELD(DRIVER_EXTENSION,          AddDevice,                             0x04, 4,     0x08, 8);

PIN_FIELD(DEVICE_OBJECT,             DriverObject,                          0x08, 4,     0x08, 8);
PIN_FIELD(DEVICE_OBJECT,             Flags,                                 0x1C, 4,     0x30, 4);
PIN_FIELD(DEVICE_OBJECT,             Characteristics,                       0x20, 4,     0x34, 4);
PIN_FIELD(DEVICE_OBJECT,             DeviceExtension,                       0x28, 4,     0x40, 8);
PIN_FIELD(DEVICE_OBJECT,             DeviceType,                            0x2C, 4,     0x48, 4);
PIN_FIELD(DEVICE_OBJECT,             StackSize,                             0x30, 1,     0x4C, 1);
// The I/O manager allocates the device extension in the same block, after
// the object. The kernel declares the object aligned to
// MEMORY_ALLOCATION_ALIGNMENT, which makes it 0x150 bytes on x64 and the
// extension 16-aligned there. mingw-w64's wdm.h leaves the alignment out
// (0x148 on x64). The driver never sizes or aligns a device object, so the
// driver builds state the header's values instead, and stop once the header
// is corrected.
#if defined(_WIN32)
static_assert(sizeof(DEVICE_OBJECT) == RECORD_LAYOUT_PICK(0xB8, 0x148) &&
                  alignof(DEVICE_OBJECT) < MEMORY_ALLOCATION_ALIGNMENT,
              "the DDK now declares DEVICE_OBJECT pool-aligned, as the kernel does: pin 0xB8/0x150 for every build");
#else
PIN_SIZE (DEVICE_OBJECT,                                                    0xB8,        0x150);
static_assert(alignof(DEVICE_OBJECT) == MEMORY_ALLOCATION_ALIGNMENT, "DEVICE_OBJECT is pool-aligned");
#endif

// The file object the I/O manager hands over in a stack location's
// FileObject. The driver only passes it along; the I/O manager's record,
// whole, as the kernel allocates it.
PIN_SIZE (FILE_OBJECT,                                                      0x80,        0xD8);
PIN_FIELD(FILE_OBJECT,               DeviceObject,                          0x04, 4,     0x08, 8);
PIN_FIELD(FILE_OBJECT,               FsContext,                             0x0C, 4,     0x18, 8);
PIN_FIELD(FILE_OBJECT,               Flags,                                 0x2C, 4,     0x50, 4);
PIN_FIELD(FILE_OBJECT,               FileName,                              0x30, 8,     0x58, 0x10);
PIN_FIELD(FILE_OBJECT,               CurrentByteOffset,                     0x38, 8,     0x68, 8);
PIN_FIELD(FILE_OBJECT,               FileObjectExtension,                   0x7C, 4,     0xD0, 8);

// ============================================================ Plug and Play and power
PIN_SIZE (POWER_STATE,                                                      4,           4);
PIN_FIELD(POWER_STATE,               SystemState,                           0x00, 4,     0x00, 4);
PIN_FIELD(POWER_STATE,               DeviceState,                           0x00, 4,     0x00, 4);

PIN_SIZE (DEVICE_CAPABILITIES,                                              0x40,        0x40);
PIN_FIELD(DEVICE_CAPABILITIES,       Size,                                  0x00, 2,     0x00, 2);
PIN_FIELD(DEVICE_CAPABILITIES,       Version,                               0x02, 2,     0x02, 2);
PIN_FIELD(DEVICE_CAPABILITIES,       Address,                               0x08, 4,     0x08, 4);
PIN_FIELD(DEVICE_CAPABILITIES,       UINumber,                              0x0C, 4,     0x0C, 4);
PIN_FIELD(DEVICE_CAPABILITIES,       DeviceState,                           0x10, 0x1C,  0x10, 0x1C);
PIN_FIELD(DEVICE_CAPABILITIES,       SystemWake,                            0x2C, 4,     0x2C, 4);
PIN_FIELD(DEVICE_CAPABILITIES,       DeviceWake,                            0x30, 4,     0x30, 4);
PIN_FIELD(DEVICE_CAPABILITIES,       D1Latency,                             0x34, 4,     0x34, 4);
PIN_FIELD(DEVICE_CAPABILITIES,       D2Latency,                             0x38, 4,     0x38, 4);
PIN_FIELD(DEVICE_CAPABILITIES,       D3Latency,                             0x3C, 4,     0x3C, 4);

// ============================================================ file information
PIN_SIZE (FILE_STANDARD_INFORMATION,                                        0x18,        0x18);
PIN_FIELD(FILE_STANDARD_INFORMATION, AllocationSize,                        0x00, 8,     0x00, 8);
PIN_FIELD(FILE_STANDARD_INFORMATION, EndOfFile,                             0x08, 8,     0x08, 8);
PIN_FIELD(FILE_STANDARD_INFORMATION, NumberOfLinks,                         0x10, 4,     0x10, 4);
PIN_FIELD(FILE_STANDARD_INFORMATION, DeletePending,                         0x14, 1,     0x14, 1);
PIN_FIELD(FILE_STANDARD_INFORMATION, Directory,                             0x15, 1,     0x15, 1);
PIN_SIZE (FILE_POSITION_INFORMATION,                                        8,           8);
PIN_FIELD(FILE_POSITION_INFORMATION, CurrentByteOffset,                     0x00, 8,     0x00, 8);
PIN_SIZE (FILE_END_OF_FILE_INFORMATION,                                     8,           8);
PIN_FIELD(FILE_END_OF_FILE_INFORMATION, EndOfFile,                          0x00, 8,     0x00, 8);
PIN_SIZE (FILE_ALLOCATION_INFORMATION,                                      8,           8);
PIN_FIELD(FILE_ALLOCATION_INFORMATION, AllocationSize,                      0x00, 8,     0x00, 8);

// ================================================================= registry
PIN_SIZE (RTL_QUERY_REGISTRY_TABLE,                                         0x1C,        0x38);
PIN_FIELD(RTL_QUERY_REGISTRY_TABLE,  QueryRoutine,                          0x00, 4,     0x00, 8);
PIN_FIELD(RTL_QUERY_REGISTRY_TABLE,  Flags,                                 0x04, 4,     0x08, 4);
PIN_FIELD(RTL_QUERY_REGISTRY_TABLE,  Name,                                  0x08, 4,     0x10, 8);
PIN_FIELD(RTL_QUERY_REGISTRY_TABLE,  EntryContext,                          0x0C, 4,     0x18, 8);
PIN_FIELD(RTL_QUERY_REGISTRY_TABLE,  DefaultType,                           0x10, 4,     0x20, 4);
PIN_FIELD(RTL_QUERY_REGISTRY_TABLE,  DefaultData,                           0x14, 4,     0x28, 8);
PIN_FIELD(RTL_QUERY_REGISTRY_TABLE,  DefaultLength,                         0x18, 4,     0x30, 4);

PIN_SIZE (KEY_VALUE_BASIC_INFORMATION,                                      0x10,        0x10);
PIN_FIELD(KEY_VALUE_BASIC_INFORMATION, TitleIndex,                          0x00, 4,     0x00, 4);
PIN_FIELD(KEY_VALUE_BASIC_INFORMATION, Type,                                0x04, 4,     0x04, 4);
PIN_FIELD(KEY_VALUE_BASIC_INFORMATION, NameLength,                          0x08, 4,     0x08, 4);
PIN_FIELD(KEY_VALUE_BASIC_INFORMATION, Name,                                0x0C, 2,     0x0C, 2);
PIN_SIZE (KEY_VALUE_FULL_INFORMATION,                                       0x18,        0x18);
PIN_FIELD(KEY_VALUE_FULL_INFORMATION, TitleIndex,                           0x00, 4,     0x00, 4);
PIN_FIELD(KEY_VALUE_FULL_INFORMATION, Type,                                 0x04, 4,     0x04, 4);
PIN_FIELD(KEY_VALUE_FULL_INFORMATION, DataOffset,                           0x08, 4,     0x08, 4);
PIN_FIELD(KEY_VALUE_FULL_INFORMATION, DataLength,                           0x0C, 4,     0x0C, 4);
PIN_FIELD(KEY_VALUE_FULL_INFORMATION, NameLength,                           0x10, 4,     0x10, 4);
PIN_FIELD(KEY_VALUE_FULL_INFORMATION, Name,                                 0x14, 2,     0x14, 2);
PIN_SIZE (KEY_VALUE_PARTIAL_INFORMATION,                                    0x10,        0x10);
PIN_FIELD(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex,                        0x00, 4,     0x00, 4);
PIN_FIELD(KEY_VALUE_PARTIAL_INFORMATION, Type,                              0x04, 4,     0x04, 4);
PIN_FIELD(KEY_VALUE_PARTIAL_INFORMATION, DataLength,                        0x08, 4,     0x08, 4);
PIN_FIELD(KEY_VALUE_PARTIAL_INFORMATION, Data,                              0x0C, 1,     0x0C, 1);

// ============================================================ serial port records
// They cross the user/kernel boundary byte for byte, and the driver's
// buffer-length checks compare against their sizes. Same on both
// processors: no pointers, no 64-bit fields.
PIN_SIZE (SERIAL_BAUD_RATE,                                                 4,           4);
PIN_FIELD(SERIAL_BAUD_RATE,          BaudRate,                              0x00, 4,     0x00, 4);
PIN_SIZE (SERIAL_LINE_CONTROL,                                              3,           3);
PIN_FIELD(SERIAL_LINE_CONTROL,       StopBits,                              0x00, 1,     0x00, 1);
PIN_FIELD(SERIAL_LINE_CONTROL,       Parity,                                0x01, 1,     0x01, 1);
PIN_FIELD(SERIAL_LINE_CONTROL,       WordLength,                            0x02, 1,     0x02, 1);
PIN_SIZE (SERIAL_TIMEOUTS,                                                  0x14,        0x14);
PIN_FIELD(SERIAL_TIMEOUTS,           ReadIntervalTimeout,                   0x00, 4,     0x00, 4);
PIN_FIELD(SERIAL_TIMEOUTS,           ReadTotalTimeoutMultiplier,            0x04, 4,     0x04, 4);
PIN_FIELD(SERIAL_TIMEOUTS,           ReadTotalTimeoutConstant,              0x08, 4,     0x08, 4);
PIN_FIELD(SERIAL_TIMEOUTS,           WriteTotalTimeoutMultiplier,           0x0C, 4,     0x0C, 4);
PIN_FIELD(SERIAL_TIMEOUTS,           WriteTotalTimeoutConstant,             0x10, 4,     0x10, 4);
PIN_SIZE (SERIAL_QUEUE_SIZE,                                                8,           8);
PIN_FIELD(SERIAL_QUEUE_SIZE,         InSize,                                0x00, 4,     0x00, 4);
PIN_FIELD(SERIAL_QUEUE_SIZE,         OutSize,                               0x04, 4,     0x04, 4);
PIN_SIZE (SERIAL_CHARS,                                                     6,           6);
PIN_FIELD(SERIAL_CHARS,              EofChar,                               0x00, 1,     0x00, 1);
PIN_FIELD(SERIAL_CHARS,              ErrorChar,                             0x01, 1,     0x01, 1);
PIN_FIELD(SERIAL_CHARS,              BreakChar,                             0x02, 1,     0x02, 1);
PIN_FIELD(SERIAL_CHARS,              EventChar,                             0x03, 1,     0x03, 1);
PIN_FIELD(SERIAL_CHARS,              XonChar,                               0x04, 1,     0x04, 1);
PIN_FIELD(SERIAL_CHARS,              XoffChar,                              0x05, 1,     0x05, 1);
PIN_SIZE (SERIAL_HANDFLOW,                                                  0x10,        0x10);
PIN_FIELD(SERIAL_HANDFLOW,           ControlHandShake,                      0x00, 4,     0x00, 4);
PIN_FIELD(SERIAL_HANDFLOW,           FlowReplace,                           0x04, 4,     0x04, 4);
PIN_FIELD(SERIAL_HANDFLOW,           XonLimit,                              0x08, 4,     0x08, 4);
PIN_FIELD(SERIAL_HANDFLOW,           XoffLimit,                             0x0C, 4,     0x0C, 4);
PIN_SIZE (SERIAL_STATUS,                                                    0x14,        0x14);
PIN_FIELD(SERIAL_STATUS,             Errors,                                0x00, 4,     0x00, 4);
PIN_FIELD(SERIAL_STATUS,             HoldReasons,                           0x04, 4,     0x04, 4);
PIN_FIELD(SERIAL_STATUS,             AmountInInQueue,                       0x08, 4,     0x08, 4);
PIN_FIELD(SERIAL_STATUS,             AmountInOutQueue,                      0x0C, 4,     0x0C, 4);
PIN_FIELD(SERIAL_STATUS,             EofReceived,                           0x10, 1,     0x10, 1);
PIN_FIELD(SERIAL_STATUS,             WaitForImmediate,                      0x11, 1,     0x11, 1);
PIN_SIZE (SERIAL_XOFF_COUNTER,                                              0x0C,        0x0C);
PIN_FIELD(SERIAL_XOFF_COUNTER,       Timeout,                               0x00, 4,     0x00, 4);
PIN_FIELD(SERIAL_XOFF_COUNTER,       Counter,                               0x04, 4,     0x04, 4);
PIN_FIELD(SERIAL_XOFF_COUNTER,       XoffChar,                              0x08, 1,     0x08, 1);
PIN_SIZE (SERIALPERF_STATS,                                                 0x18,        0x18);
PIN_FIELD(SERIALPERF_STATS,          ReceivedCount,                         0x00, 4,     0x00, 4);
PIN_FIELD(SERIALPERF_STATS,          TransmittedCount,                      0x04, 4,     0x04, 4);
PIN_FIELD(SERIALPERF_STATS,          FrameErrorCount,                       0x08, 4,     0x08, 4);
PIN_FIELD(SERIALPERF_STATS,          SerialOverrunErrorCount,               0x0C, 4,     0x0C, 4);
PIN_FIELD(SERIALPERF_STATS,          BufferOverrunErrorCount,               0x10, 4,     0x10, 4);
PIN_FIELD(SERIALPERF_STATS,          ParityErrorCount,                      0x14, 4,     0x14, 4);
PIN_SIZE (SERIAL_COMMPROP,                                                  0x40,        0x40);
PIN_FIELD(SERIAL_COMMPROP,           PacketLength,                          0x00, 2,     0x00, 2);
PIN_FIELD(SERIAL_COMMPROP,           PacketVersion,                         0x02, 2,     0x02, 2);
PIN_FIELD(SERIAL_COMMPROP,           ServiceMask,                           0x04, 4,     0x04, 4);
PIN_FIELD(SERIAL_COMMPROP,           Reserved1,                             0x08, 4,     0x08, 4);
PIN_FIELD(SERIAL_COMMPROP,           MaxTxQueue,                            0x0C, 4,     0x0C, 4);
PIN_FIELD(SERIAL_COMMPROP,           MaxRxQueue,                            0x10, 4,     0x10, 4);
PIN_FIELD(SERIAL_COMMPROP,           MaxBaud,                               0x14, 4,     0x14, 4);
PIN_FIELD(SERIAL_COMMPROP,           ProvSubType,                           0x18, 4,     0x18, 4);
PIN_FIELD(SERIAL_COMMPROP,           ProvCapabilities,                      0x1C, 4,     0x1C, 4);
PIN_FIELD(SERIAL_COMMPROP,           SettableParams,                        0x20, 4,     0x20, 4);
PIN_FIELD(SERIAL_COMMPROP,           SettableBaud,                          0x24, 4,     0x24, 4);
PIN_FIELD(SERIAL_COMMPROP,           SettableData,                          0x28, 2,     0x28, 2);
PIN_FIELD(SERIAL_COMMPROP,           SettableStopParity,                    0x2A, 2,     0x2A, 2);
PIN_FIELD(SERIAL_COMMPROP,           CurrentTxQueue,                        0x2C, 4,     0x2C, 4);
PIN_FIELD(SERIAL_COMMPROP,           CurrentRxQueue,                        0x30, 4,     0x30, 4);
PIN_FIELD(SERIAL_COMMPROP,           ProvSpec1,                             0x34, 4,     0x34, 4);
PIN_FIELD(SERIAL_COMMPROP,           ProvSpec2,                             0x38, 4,     0x38, 4);
PIN_FIELD(SERIAL_COMMPROP,           ProvChar,                              0x3C, 2,     0x3C, 2);
PIN_SIZE (SERIAL_BASIC_SETTINGS,                                            0x2C,        0x2C);
PIN_FIELD(SERIAL_BASIC_SETTINGS,     Timeouts,                              0x00, 0x14,  0x00, 0x14);
PIN_FIELD(SERIAL_BASIC_SETTINGS,     HandFlow,                              0x14, 0x10,  0x14, 0x10);
PIN_FIELD(SERIAL_BASIC_SETTINGS,     RxFifo,                                0x24, 4,     0x24, 4);
PIN_FIELD(SERIAL_BASIC_SETTINGS,     TxFifo,                                0x28, 4,     0x28, 4);

// ====================================================================== USB
// Descriptors are byte-packed, as on the wire.
PIN_SIZE (USB_COMMON_DESCRIPTOR,                                            2,           2);
PIN_SIZE (USB_DEFAULT_PIPE_SETUP_PACKET,                                    8,           8);
PIN_FIELD(USB_DEFAULT_PIPE_SETUP_PACKET, bmRequestType,                     0x00, 1,     0x00, 1);
PIN_FIELD(USB_DEFAULT_PIPE_SETUP_PACKET, bRequest,                          0x01, 1,     0x01, 1);
PIN_FIELD(USB_DEFAULT_PIPE_SETUP_PACKET, wValue,                            0x02, 2,     0x02, 2);
PIN_FIELD(USB_DEFAULT_PIPE_SETUP_PACKET, wIndex,                            0x04, 2,     0x04, 2);
PIN_FIELD(USB_DEFAULT_PIPE_SETUP_PACKET, wLength,                           0x06, 2,     0x06, 2);
PIN_SIZE (USB_DEVICE_DESCRIPTOR,                                            0x12,        0x12);
PIN_FIELD(USB_DEVICE_DESCRIPTOR,     bcdUSB,                                0x02, 2,     0x02, 2);
PIN_FIELD(USB_DEVICE_DESCRIPTOR,     bDeviceClass,                          0x04, 1,     0x04, 1);
PIN_FIELD(USB_DEVICE_DESCRIPTOR,     bMaxPacketSize0,                       0x07, 1,     0x07, 1);
PIN_FIELD(USB_DEVICE_DESCRIPTOR,     idVendor,                              0x08, 2,     0x08, 2);
PIN_FIELD(USB_DEVICE_DESCRIPTOR,     idProduct,                             0x0A, 2,     0x0A, 2);
PIN_FIELD(USB_DEVICE_DESCRIPTOR,     bcdDevice,                             0x0C, 2,     0x0C, 2);
PIN_FIELD(USB_DEVICE_DESCRIPTOR,     iManufacturer,                         0x0E, 1,     0x0E, 1);
PIN_FIELD(USB_DEVICE_DESCRIPTOR,     bNumConfigurations,                    0x11, 1,     0x11, 1);
PIN_SIZE (USB_CONFIGURATION_DESCRIPTOR,                                     9,           9);
PIN_FIELD(USB_CONFIGURATION_DESCRIPTOR, wTotalLength,                       0x02, 2,     0x02, 2);
PIN_FIELD(USB_CONFIGURATION_DESCRIPTOR, bNumInterfaces,                     0x04, 1,     0x04, 1);
PIN_FIELD(USB_CONFIGURATION_DESCRIPTOR, bConfigurationValue,                0x05, 1,     0x05, 1);
PIN_FIELD(USB_CONFIGURATION_DESCRIPTOR, bmAttributes,                       0x07, 1,     0x07, 1);
PIN_FIELD(USB_CONFIGURATION_DESCRIPTOR, MaxPower,                           0x08, 1,     0x08, 1);
PIN_SIZE (USB_INTERFACE_DESCRIPTOR,                                         9,           9);
PIN_FIELD(USB_INTERFACE_DESCRIPTOR,  bInterfaceNumber,                      0x02, 1,     0x02, 1);
PIN_FIELD(USB_INTERFACE_DESCRIPTOR,  bAlternateSetting,                     0x03, 1,     0x03, 1);
PIN_FIELD(USB_INTERFACE_DESCRIPTOR,  bNumEndpoints,                         0x04, 1,     0x04, 1);
PIN_FIELD(USB_INTERFACE_DESCRIPTOR,  bInterfaceClass,                       0x05, 1,     0x05, 1);
PIN_FIELD(USB_INTERFACE_DESCRIPTOR,  bInterfaceSubClass,                    0x06, 1,     0x06, 1);
PIN_FIELD(USB_INTERFACE_DESCRIPTOR,  bInterfaceProtocol,                    0x07, 1,     0x07, 1);
PIN_SIZE (USB_ENDPOINT_DESCRIPTOR,                                          7,           7);
PIN_FIELD(USB_ENDPOINT_DESCRIPTOR,   bEndpointAddress,                      0x02, 1,     0x02, 1);
PIN_FIELD(USB_ENDPOINT_DESCRIPTOR,   bmAttributes,                          0x03, 1,     0x03, 1);
PIN_FIELD(USB_ENDPOINT_DESCRIPTOR,   wMaxPacketSize,                        0x04, 2,     0x04, 2);
PIN_FIELD(USB_ENDPOINT_DESCRIPTOR,   bInterval,                             0x06, 1,     0x06, 1);
PIN_FIELD(USB_STRING_DESCRIPTOR,     bString,                               0x02, 2,     0x02, 2);

// Pipe and interface information of a select-configuration request.
PIN_SIZE (USBD_PIPE_INFORMATION,                                            0x14,        0x18);
PIN_FIELD(USBD_PIPE_INFORMATION,     MaximumPacketSize,                     0x00, 2,     0x00, 2);
PIN_FIELD(USBD_PIPE_INFORMATION,     EndpointAddress,                       0x02, 1,     0x02, 1);
PIN_FIELD(USBD_PIPE_INFORMATION,     Interval,                              0x03, 1,     0x03, 1);
PIN_FIELD(USBD_PIPE_INFORMATION,     PipeType,                              0x04, 4,     0x04, 4);
PIN_FIELD(USBD_PIPE_INFORMATION,     PipeHandle,                            0x08, 4,     0x08, 8);
PIN_FIELD(USBD_PIPE_INFORMATION,     MaximumTransferSize,                   0x0C, 4,     0x10, 4);
PIN_FIELD(USBD_PIPE_INFORMATION,     PipeFlags,                             0x10, 4,     0x14, 4);
PIN_SIZE (USBD_INTERFACE_INFORMATION,                                       0x24,        0x30);
PIN_FIELD(USBD_INTERFACE_INFORMATION, Length,                               0x00, 2,     0x00, 2);
PIN_FIELD(USBD_INTERFACE_INFORMATION, InterfaceNumber,                      0x02, 1,     0x02, 1);
PIN_FIELD(USBD_INTERFACE_INFORMATION, AlternateSetting,                     0x03, 1,     0x03, 1);
PIN_FIELD(USBD_INTERFACE_INFORMATION, Class,                                0x04, 1,     0x04, 1);
PIN_FIELD(USBD_INTERFACE_INFORMATION, SubClass,                             0x05, 1,     0x05, 1);
PIN_FIELD(USBD_INTERFACE_INFORMATION, Protocol,                             0x06, 1,     0x06, 1);
PIN_FIELD(USBD_INTERFACE_INFORMATION, InterfaceHandle,                      0x08, 4,     0x08, 8);
PIN_FIELD(USBD_INTERFACE_INFORMATION, NumberOfPipes,                        0x0C, 4,     0x10, 4);
PIN_FIELD(USBD_INTERFACE_INFORMATION, Pipes,                                0x10, 0x14,  0x18, 0x18);
PIN_SIZE (USBD_INTERFACE_LIST_ENTRY,                                        0x08,        0x10);
PIN_FIELD(USBD_INTERFACE_LIST_ENTRY, InterfaceDescriptor,                   0x00, 4,     0x00, 8);
PIN_FIELD(USBD_INTERFACE_LIST_ENTRY, Interface,                             0x04, 4,     0x08, 8);

// URBs. Every transfer URB has the same head (header, pipe handle, flags,
// length, buffer, MDL, link) and the host controller's scratch area; the
// control requests put their setup fields after it.
PIN_SIZE (struct _URB_HCD_AREA,                                             0x20,        0x40);
PIN_SIZE (struct _URB_HEADER,                                               0x10,        0x18);
PIN_FIELD(struct _URB_HEADER,        Length,                                0x00, 2,     0x00, 2);
PIN_FIELD(struct _URB_HEADER,        Function,                              0x02, 2,     0x02, 2);
PIN_FIELD(struct _URB_HEADER,        Status,                                0x04, 4,     0x04, 4);
PIN_FIELD(struct _URB_HEADER,        UsbdDeviceHandle,                      0x08, 4,     0x08, 8);
PIN_FIELD(struct _URB_HEADER,        UsbdFlags,                             0x0C, 4,     0x10, 4);

PIN_SIZE (struct _URB_SELECT_CONFIGURATION,                                 0x3C,        0x58);
PIN_FIELD(struct _URB_SELECT_CONFIGURATION, ConfigurationDescriptor,        0x10, 4,     0x18, 8);
PIN_FIELD(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle,            0x14, 4,     0x20, 8);
PIN_FIELD(struct _URB_SELECT_CONFIGURATION, Interface,                      0x18, 0x24,  0x28, 0x30);
PIN_SIZE (struct _URB_SELECT_INTERFACE,                                     0x38,        0x50);
PIN_FIELD(struct _URB_SELECT_INTERFACE, ConfigurationHandle,                0x10, 4,     0x18, 8);
PIN_FIELD(struct _URB_SELECT_INTERFACE, Interface,                          0x14, 0x24,  0x20, 0x30);

PIN_SIZE (struct _URB_PIPE_REQUEST,                                         0x18,        0x28);
PIN_FIELD(struct _URB_PIPE_REQUEST,  PipeHandle,                            0x10, 4,     0x18, 8);
PIN_FIELD(struct _URB_PIPE_REQUEST,  Reserved,                              0x14, 4,     0x20, 4);

PIN_SIZE (struct _URB_BULK_OR_INTERRUPT_TRANSFER,                           0x48,        0x80);
PIN_FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle,               0x10, 4,     0x18, 8);
PIN_FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags,            0x14, 4,     0x20, 4);
PIN_FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength,     0x18, 4,     0x24, 4);
PIN_FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer,           0x1C, 4,     0x28, 8);
PIN_FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL,        0x20, 4,     0x30, 8);
PIN_FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink,                  0x24, 4,     0x38, 8);
PIN_FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, hca,                      0x28, 0x20,  0x40, 0x40);

PIN_SIZE (struct _URB_CONTROL_TRANSFER,                                     0x50,        0x88);
PIN_FIELD(struct _URB_CONTROL_TRANSFER, PipeHandle,                         0x10, 4,     0x18, 8);
PIN_FIELD(struct _URB_CONTROL_TRANSFER, TransferFlags,                      0x14, 4,     0x20, 4);
PIN_FIELD(struct _URB_CONTROL_TRANSFER, TransferBufferLength,               0x18, 4,     0x24, 4);
PIN_FIELD(struct _URB_CONTROL_TRANSFER, TransferBuffer,                     0x1C, 4,     0x28, 8);
PIN_FIELD(struct _URB_CONTROL_TRANSFER, TransferBufferMDL,                  0x20, 4,     0x30, 8);
PIN_FIELD(struct _URB_CONTROL_TRANSFER, UrbLink,                            0x24, 4,     0x38, 8);
PIN_FIELD(struct _URB_CONTROL_TRANSFER, SetupPacket,                        0x48, 8,     0x80, 8);

// Timeout takes UrbLink's place; x64 pads it to the scratch area's alignment.
PIN_SIZE (struct _URB_CONTROL_TRANSFER_EX,                                  0x50,        0x88);
PIN_FIELD(struct _URB_CONTROL_TRANSFER_EX, TransferBufferLength,            0x18, 4,     0x24, 4);
PIN_FIELD(struct _URB_CONTROL_TRANSFER_EX, TransferBuffer,                  0x1C, 4,     0x28, 8);
PIN_FIELD(struct _URB_CONTROL_TRANSFER_EX, Timeout,                         0x24, 4,     0x38, 4);
PIN_FIELD(struct _URB_CONTROL_TRANSFER_EX, hca,                             0x28, 0x20,  0x40, 0x40);
PIN_FIELD(struct _URB_CONTROL_TRANSFER_EX, SetupPacket,                     0x48, 8,     0x80, 8);

PIN_SIZE (struct _URB_CONTROL_DESCRIPTOR_REQUEST,                           0x50,        0x88);
PIN_FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength,     0x18, 4,     0x24, 4);
PIN_FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer,           0x1C, 4,     0x28, 8);
PIN_FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferMDL,        0x20, 4,     0x30, 8);
PIN_FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, UrbLink,                  0x24, 4,     0x38, 8);
PIN_FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index,                    0x4A, 1,     0x82, 1);
PIN_FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType,           0x4B, 1,     0x83, 1);
PIN_FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId,               0x4C, 2,     0x84, 2);

PIN_SIZE (struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST,                      0x50,        0x88);
PIN_FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags,       0x14, 4,     0x20, 4);
PIN_FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength, 0x18, 4,    0x24, 4);
PIN_FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer,      0x1C, 4,     0x28, 8);
PIN_FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferMDL,   0x20, 4,     0x30, 8);
PIN_FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, UrbLink,             0x24, 4,     0x38, 8);
PIN_FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits, 0x48, 1, 0x80, 1);
PIN_FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request,             0x49, 1,     0x81, 1);
PIN_FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value,               0x4A, 2,     0x82, 2);
PIN_FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index,               0x4C, 2,     0x84, 2);

PIN_SIZE (struct _URB_CONTROL_FEATURE_REQUEST,                              0x50,        0x88);
PIN_FIELD(struct _URB_CONTROL_FEATURE_REQUEST, UrbLink,                     0x24, 4,     0x38, 8);
PIN_FIELD(struct _URB_CONTROL_FEATURE_REQUEST, FeatureSelector,             0x4A, 2,     0x82, 2);
PIN_FIELD(struct _URB_CONTROL_FEATURE_REQUEST, Index,                       0x4C, 2,     0x84, 2);

PIN_SIZE (struct _URB_CONTROL_GET_STATUS_REQUEST,                           0x50,        0x88);
PIN_FIELD(struct _URB_CONTROL_GET_STATUS_REQUEST, TransferBufferLength,     0x18, 4,     0x24, 4);
PIN_FIELD(struct _URB_CONTROL_GET_STATUS_REQUEST, TransferBuffer,           0x1C, 4,     0x28, 8);
PIN_FIELD(struct _URB_CONTROL_GET_STATUS_REQUEST, Index,                    0x4C, 2,     0x84, 2);

PIN_SIZE (struct _URB_ISOCH_TRANSFER,                                       0x60,        0x98);
PIN_SIZE (URB,                                                              0x60,        0x98);

// The size macros of usbdlib.h, as the USB library and the driver size a
// select-configuration request and a copy of an interface's information.
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2) == RECORD_LAYOUT_PICK(0x50, 0x70),
              "GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2)");
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3) == RECORD_LAYOUT_PICK(0x74, 0xA0),
              "GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3)");
static_assert(GET_USBD_INTERFACE_SIZE(2) == RECORD_LAYOUT_PICK(0x38, 0x48), "GET_USBD_INTERFACE_SIZE(2)");

// ====================================================================== WMI
// As in platform/platform_names_check.cpp: the host build pins these once
// its kernel has the WMI library.
#if defined(_WIN32) || __has_include("harness/km/wmilib.h")
PIN_SIZE (WMIGUIDREGINFO,                                                   0x0C,        0x10);
PIN_FIELD(WMIGUIDREGINFO,            Guid,                                  0x00, 4,     0x00, 8);
PIN_FIELD(WMIGUIDREGINFO,            InstanceCount,                         0x04, 4,     0x08, 4);
PIN_FIELD(WMIGUIDREGINFO,            Flags,                                 0x08, 4,     0x0C, 4);
PIN_SIZE (WMILIB_CONTEXT,                                                   0x20,        0x40);
PIN_FIELD(WMILIB_CONTEXT,            GuidCount,                             0x00, 4,     0x00, 4);
PIN_FIELD(WMILIB_CONTEXT,            GuidList,                              0x04, 4,     0x08, 8);
PIN_FIELD(WMILIB_CONTEXT,            QueryWmiRegInfo,                       0x08, 4,     0x10, 8);
PIN_FIELD(WMILIB_CONTEXT,            QueryWmiDataBlock,                     0x0C, 4,     0x18, 8);
PIN_FIELD(WMILIB_CONTEXT,            SetWmiDataBlock,                       0x10, 4,     0x20, 8);
PIN_FIELD(WMILIB_CONTEXT,            SetWmiDataItem,                        0x14, 4,     0x28, 8);
PIN_FIELD(WMILIB_CONTEXT,            ExecuteWmiMethod,                      0x18, 4,     0x30, 8);
PIN_FIELD(WMILIB_CONTEXT,            WmiFunctionControl,                    0x1C, 4,     0x38, 8);

// The serial port's WMI data blocks, as WMI hands them to its consumers.
PIN_SIZE (SERIAL_WMI_COMM_DATA,                                             0x40,        0x40);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      BaudRate,                              0x00, 4,     0x00, 4);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      BitsPerByte,                           0x04, 4,     0x04, 4);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      Parity,                                0x08, 4,     0x08, 4);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      ParityCheckEnable,                     0x0C, 1,     0x0C, 1);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      StopBits,                              0x10, 4,     0x10, 4);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      XoffCharacter,                         0x14, 4,     0x14, 4);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      XoffXmitThreshold,                     0x18, 4,     0x18, 4);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      XonCharacter,                          0x1C, 4,     0x1C, 4);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      XonXmitThreshold,                      0x20, 4,     0x20, 4);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      MaximumBaudRate,                       0x24, 4,     0x24, 4);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      MaximumOutputBufferSize,               0x28, 4,     0x28, 4);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      MaximumInputBufferSize,                0x2C, 4,     0x2C, 4);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      Support16BitMode,                      0x30, 1,     0x30, 1);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      SupportDTRDSR,                         0x31, 1,     0x31, 1);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      SupportIntervalTimeouts,               0x32, 1,     0x32, 1);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      SupportParityCheck,                    0x33, 1,     0x33, 1);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      SupportRTSCTS,                         0x34, 1,     0x34, 1);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      SupportXonXoff,                        0x35, 1,     0x35, 1);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      SettableBaudRate,                      0x36, 1,     0x36, 1);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      SettableDataBits,                      0x37, 1,     0x37, 1);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      SettableFlowControl,                   0x38, 1,     0x38, 1);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      SettableParity,                        0x39, 1,     0x39, 1);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      SettableParityCheck,                   0x3A, 1,     0x3A, 1);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      SettableStopBits,                      0x3B, 1,     0x3B, 1);
PIN_FIELD(SERIAL_WMI_COMM_DATA,      IsBusy,                                0x3C, 1,     0x3C, 1);
// IrqAffinityMask and BaseIOAddress are 64-bit and 8-aligned on both.
PIN_SIZE (SERIAL_WMI_HW_DATA,                                               0x28,        0x28);
PIN_FIELD(SERIAL_WMI_HW_DATA,        IrqNumber,                             0x00, 4,     0x00, 4);
PIN_FIELD(SERIAL_WMI_HW_DATA,        IrqVector,                             0x04, 4,     0x04, 4);
PIN_FIELD(SERIAL_WMI_HW_DATA,        IrqLevel,                              0x08, 4,     0x08, 4);
PIN_FIELD(SERIAL_WMI_HW_DATA,        IrqAffinityMask,                       0x10, 8,     0x10, 8);
PIN_FIELD(SERIAL_WMI_HW_DATA,        InterruptType,                         0x18, 4,     0x18, 4);
PIN_FIELD(SERIAL_WMI_HW_DATA,        BaseIOAddress,                         0x20, 8,     0x20, 8);
PIN_SIZE (SERIAL_WMI_PERF_DATA,                                             0x18,        0x18);
PIN_FIELD(SERIAL_WMI_PERF_DATA,      ReceivedCount,                         0x00, 4,     0x00, 4);
PIN_FIELD(SERIAL_WMI_PERF_DATA,      TransmittedCount,                      0x04, 4,     0x04, 4);
PIN_FIELD(SERIAL_WMI_PERF_DATA,      FrameErrorCount,                       0x08, 4,     0x08, 4);
PIN_FIELD(SERIAL_WMI_PERF_DATA,      SerialOverrunErrorCount,               0x0C, 4,     0x0C, 4);
PIN_FIELD(SERIAL_WMI_PERF_DATA,      BufferOverrunErrorCount,               0x10, 4,     0x10, 4);
PIN_FIELD(SERIAL_WMI_PERF_DATA,      ParityErrorCount,                      0x14, 4,     0x14, 4);
PIN_FIELD(SERIAL_WMI_COMMPROP,       wPacketLength,                         0x00, 2,     0x00, 2);
PIN_FIELD(SERIAL_WMI_COMMPROP,       dwProvCharSize,                        0x3C, 4,     0x3C, 4);
PIN_FIELD(SERIAL_WMI_COMMPROP,       wcProvChar,                            0x40, 1,     0x40, 1);
PIN_SIZE (SERIAL_WMI_COMMPROP,                                              0x44,        0x44);

// The WMI service's request records: the WNODEs a provider's data goes
// into and the registration record of IRP_MN_REGINFO.
PIN_SIZE (WNODE_HEADER,                                                     0x30,        0x30);
PIN_FIELD(WNODE_HEADER,              BufferSize,                            0x00, 4,     0x00, 4);
PIN_FIELD(WNODE_HEADER,              ProviderId,                            0x04, 4,     0x04, 4);
PIN_FIELD(WNODE_HEADER,              HistoricalContext,                     0x08, 8,     0x08, 8);
PIN_FIELD(WNODE_HEADER,              TimeStamp,                             0x10, 8,     0x10, 8);
PIN_FIELD(WNODE_HEADER,              Guid,                                  0x18, 16,    0x18, 16);
PIN_FIELD(WNODE_HEADER,              ClientContext,                         0x28, 4,     0x28, 4);
PIN_FIELD(WNODE_HEADER,              Flags,                                 0x2C, 4,     0x2C, 4);
PIN_FIELD(WNODE_ALL_DATA,            DataBlockOffset,                       0x30, 4,     0x30, 4);
PIN_FIELD(WNODE_ALL_DATA,            InstanceCount,                         0x34, 4,     0x34, 4);
PIN_FIELD(WNODE_ALL_DATA,            OffsetInstanceNameOffsets,             0x38, 4,     0x38, 4);
PIN_FIELD(WNODE_ALL_DATA,            FixedInstanceSize,                     0x3C, 4,     0x3C, 4);
PIN_FIELD(WNODE_ALL_DATA,            OffsetInstanceDataAndLength,           0x3C, 8,     0x3C, 8);
PIN_FIELD(WNODE_SINGLE_INSTANCE,     OffsetInstanceName,                    0x30, 4,     0x30, 4);
PIN_FIELD(WNODE_SINGLE_INSTANCE,     InstanceIndex,                         0x34, 4,     0x34, 4);
PIN_FIELD(WNODE_SINGLE_INSTANCE,     DataBlockOffset,                       0x38, 4,     0x38, 4);
PIN_FIELD(WNODE_SINGLE_INSTANCE,     SizeDataBlock,                         0x3C, 4,     0x3C, 4);
PIN_FIELD(WNODE_SINGLE_ITEM,         ItemId,                                0x38, 4,     0x38, 4);
PIN_FIELD(WNODE_SINGLE_ITEM,         DataBlockOffset,                       0x3C, 4,     0x3C, 4);
PIN_FIELD(WNODE_SINGLE_ITEM,         SizeDataItem,                          0x40, 4,     0x40, 4);
PIN_FIELD(WNODE_METHOD_ITEM,         MethodId,                              0x38, 4,     0x38, 4);
PIN_FIELD(WNODE_METHOD_ITEM,         DataBlockOffset,                       0x3C, 4,     0x3C, 4);
PIN_FIELD(WNODE_METHOD_ITEM,         SizeDataBlock,                         0x40, 4,     0x40, 4);
PIN_SIZE (WNODE_TOO_SMALL,                                                  0x38,        0x38);
PIN_FIELD(WNODE_TOO_SMALL,           SizeNeeded,                            0x30, 4,     0x30, 4);
PIN_SIZE (WMIREGGUIDW,                                                      0x1C,        0x20);
PIN_FIELD(WMIREGGUIDW,               Guid,                                  0x00, 16,    0x00, 16);
PIN_FIELD(WMIREGGUIDW,               Flags,                                 0x10, 4,     0x10, 4);
PIN_FIELD(WMIREGGUIDW,               InstanceCount,                         0x14, 4,     0x14, 4);
PIN_FIELD(WMIREGGUIDW,               Pdo,                                   0x18, 4,     0x18, 8);
PIN_FIELD(WMIREGINFOW,               BufferSize,                            0x00, 4,     0x00, 4);
PIN_FIELD(WMIREGINFOW,               NextWmiRegInfo,                        0x04, 4,     0x04, 4);
PIN_FIELD(WMIREGINFOW,               RegistryPath,                          0x08, 4,     0x08, 4);
PIN_FIELD(WMIREGINFOW,               MofResourceName,                       0x0C, 4,     0x0C, 4);
PIN_FIELD(WMIREGINFOW,               GuidCount,                             0x10, 4,     0x10, 4);
static_assert(__builtin_offsetof(WMIREGINFOW, WmiRegGuid) == RECORD_LAYOUT_PICK(0x14, 0x18),
              "WMIREGINFOW::WmiRegGuid is not at 0x14 (x86) / 0x18 (x64)");
#endif

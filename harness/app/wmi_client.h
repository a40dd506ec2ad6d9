// The WMI service's side of a provider: what a management application's
// query becomes on its way to a driver. Requests are IRP_MJ_SYSTEM_CONTROL
// IRPs as WMI builds them: sent at PASSIVE_LEVEL to the top of the stack
// the registered device object is in, Parameters.WMI.ProviderId naming
// that device object, DataPath the GUID, and a kernel-mode WNODE buffer of
// BufferSize bytes in Parameters.WMI.Buffer (METHOD_NEITHER style: the
// driver writes straight into it).
//
//   for (PDEVICE_OBJECT provider : harness::app::wmi::Providers()) ...
//   auto answer = harness::app::wmi::QuerySingleInstance(provider, kCommGuid);
//   // answer.status, answer.Data() (the instance's bytes)
//
// Like WMI, the client sends nothing to a device object that is not
// registered (STATUS_WMI_GUID_NOT_FOUND, no request), and after a
// WNODE_TOO_SMALL answer sends the request again with the size it names.
// A request the driver neither completes nor passes on is reported as a
// hang (WAIT_HANG); bytes written past the WNODE buffer as
// WMI_BUFFER_OVERRUN.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "harness/km/wdm.h"

namespace harness::app::wmi {

// Registered WMI providers, in registration order.
std::vector<PDEVICE_OBJECT> Providers();

struct RegisteredGuid {
    GUID guid{};
    ULONG flags = 0;
    ULONG instanceCount = 0;
    PDEVICE_OBJECT pdo = nullptr;  // with WMIREG_FLAG_INSTANCE_PDO
};
struct Registration {
    NTSTATUS status = STATUS_PENDING;
    std::u16string registryPath;
    std::u16string mofResourceName;
    std::vector<RegisteredGuid> guids;
    int requests = 0;  // IRPs sent (2 after a too-small answer)
};
// IRP_MN_REGINFO, as WMI asks a provider that has just registered.
Registration QueryRegistration(PDEVICE_OBJECT provider);

struct Answer {
    NTSTATUS status = STATUS_PENDING;  // IoStatus.Status of the last request
    ULONG_PTR information = 0;
    bool tooSmall = false;             // the last answer was a WNODE_TOO_SMALL
    ULONG sizeNeeded = 0;              // ... and the WNODE size it asked for
    ULONG dataOffset = 0;              // where the data starts in the WNODE
    std::vector<std::vector<uint8_t>> instances;  // the data, one entry per instance
    int requests = 0;                  // IRPs sent
    // The first instance's data (empty when there is none).
    const std::vector<uint8_t>& Data() const;
};
// With `wnodeSize` exactly one request with a WNODE of that size (no retry);
// without it, a small WNODE first and a retry with the size asked for.
Answer QuerySingleInstance(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex = 0,
                           std::optional<ULONG> wnodeSize = std::nullopt);
Answer QueryAllData(PDEVICE_OBJECT provider, const GUID& guid, std::optional<ULONG> wnodeSize = std::nullopt);
// The single-instance WNODE size that leaves exactly `dataBytes` for the data.
ULONG SingleInstanceWnodeSize(ULONG dataBytes);

// IRP_MN_CHANGE_SINGLE_INSTANCE and IRP_MN_CHANGE_SINGLE_ITEM; the status.
NTSTATUS SetSingleInstance(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex,
                           std::span<const uint8_t> data);
NTSTATUS SetSingleItem(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex, ULONG itemId,
                       std::span<const uint8_t> data);

// One system-control request to the top of `device`'s stack whatever its
// registration, as a sender other than WMI might: `buffer` is the WNODE
// and comes back as the driver left it.
struct Outcome {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    NTSTATUS dispatched = STATUS_PENDING;  // what the top driver's dispatch routine returned
};
Outcome Send(PDEVICE_OBJECT device, ULONG_PTR providerId, UCHAR minor, PVOID dataPath, std::vector<uint8_t>& buffer);

}  // namespace harness::app::wmi

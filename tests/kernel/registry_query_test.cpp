// RtlQueryRegistryValues: direct reads, defaults, type checks, query
// routines, subkeys and optional keys.
#include <cstring>
#include <string>
#include <vector>

#include "harness/kernel/pool.h"
#include "harness/kernel/registry.h"
#include "support/kernel_test.h"

namespace registry = harness::registry;

namespace {

const std::u16string kService = registry::ServiceKeyPath(u"tarnlink");

RTL_QUERY_REGISTRY_TABLE Direct(const char16_t* name, void* destination, ULONG flags = 0) {
    RTL_QUERY_REGISTRY_TABLE entry{};
    entry.Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
    entry.Name = const_cast<PWSTR>(name);
    entry.EntryContext = destination;
    return entry;
}

NTSTATUS QueryOne(RTL_QUERY_REGISTRY_TABLE entry, ULONG relativeTo = RTL_REGISTRY_SERVICES,
                  const char16_t* path = u"tarnlink") {
    RTL_QUERY_REGISTRY_TABLE table[2] = {entry, {}};
    return RtlQueryRegistryValues(relativeTo, path, table, nullptr, nullptr);
}

struct Seen {
    std::u16string name;
    ULONG type;
    std::vector<UCHAR> data;
};

NTSTATUS NTAPI Collect(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID) {
    auto* seen = static_cast<std::vector<Seen>*>(context);
    const auto* bytes = static_cast<const UCHAR*>(data);
    seen->push_back({name ? std::u16string(name) : u"<none>", type, std::vector<UCHAR>(bytes, bytes + length)});
    return STATUS_SUCCESS;
}

class RegistryQuery : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        registry::SetString(kService, "PortName", u"COM7");
        registry::SetDword(kService, "Timeout", 250);
    }
};

TEST_F(RegistryQuery, StringIntoNullBufferIsAllocatedFromPagedPool) {
    UNICODE_STRING name{};
    ASSERT_EQ(QueryOne(Direct(u"PortName", &name)), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name.Buffer, name.Length / 2), u"COM7");
    EXPECT_EQ(name.MaximumLength, 10);
    EXPECT_EQ(name.Buffer[4], 0);
    harness::pool::BlockInfo block;
    ASSERT_TRUE(harness::pool::FindBlock(name.Buffer, &block));
    EXPECT_TRUE(block.paged);
    RtlFreeUnicodeString(&name);
    EXPECT_EQ(name.Buffer, nullptr);
}

TEST_F(RegistryQuery, StringIntoCallersBufferMustFitWithTerminator) {
    WCHAR storage[5];
    UNICODE_STRING name{0, 8, storage};  // room for "COM7" but not its terminator
    EXPECT_EQ(QueryOne(Direct(u"PortName", &name)), STATUS_BUFFER_TOO_SMALL);
    name.MaximumLength = sizeof storage;
    ASSERT_EQ(QueryOne(Direct(u"PortName", &name)), STATUS_SUCCESS);
    EXPECT_EQ(name.Length, 8);
    EXPECT_EQ(std::u16string(storage), u"COM7");
}

TEST_F(RegistryQuery, DwordIsCopiedRawEvenOverAStringDestination) {
    ULONG timeout = 0;
    ASSERT_EQ(QueryOne(Direct(u"Timeout", &timeout)), STATUS_SUCCESS);
    EXPECT_EQ(timeout, 250u);

    // What happens to a driver that expects a string where the registry
    // holds a number: the first four bytes of its UNICODE_STRING are
    // overwritten and Buffer is left alone.
    UNICODE_STRING wrong{};
    ASSERT_EQ(QueryOne(Direct(u"Timeout", &wrong)), STATUS_SUCCESS);
    EXPECT_EQ(wrong.Length, 250);
    EXPECT_EQ(wrong.MaximumLength, 0);
    EXPECT_EQ(wrong.Buffer, nullptr);
}

TEST_F(RegistryQuery, TypeCheckMismatchWritesNothing) {
    UNICODE_STRING name{};
    RTL_QUERY_REGISTRY_TABLE entry = Direct(u"Timeout", &name, RTL_QUERY_REGISTRY_TYPECHECK);
    entry.DefaultType = (REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
    EXPECT_EQ(QueryOne(entry), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(name.Length, 0);

    ULONG timeout = 1;
    entry = Direct(u"Timeout", &timeout, RTL_QUERY_REGISTRY_TYPECHECK);
    entry.DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
    EXPECT_EQ(QueryOne(entry), STATUS_SUCCESS);
    EXPECT_EQ(timeout, 250u);
}

TEST_F(RegistryQuery, MissingValuesTakeTheDefaultOrFailWhenRequired) {
    ULONG fallback = 9600;
    ULONG speed = 0;
    RTL_QUERY_REGISTRY_TABLE entry = Direct(u"Speed", &speed);
    entry.DefaultType = REG_DWORD;
    entry.DefaultData = &fallback;
    entry.DefaultLength = sizeof fallback;
    ASSERT_EQ(QueryOne(entry), STATUS_SUCCESS);
    EXPECT_EQ(speed, 9600u);

    UNICODE_STRING text{};
    entry = Direct(u"Missing", &text);
    entry.DefaultType = REG_SZ;
    entry.DefaultData = const_cast<char16_t*>(u"none");
    entry.DefaultLength = 0;  // a zero-terminated string
    ASSERT_EQ(QueryOne(entry), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text.Buffer, text.Length / 2), u"none");
    RtlFreeUnicodeString(&text);

    speed = 7;
    EXPECT_EQ(QueryOne(Direct(u"Speed", &speed)), STATUS_SUCCESS);  // no default: untouched
    EXPECT_EQ(speed, 7u);
    entry.Flags |= RTL_QUERY_REGISTRY_REQUIRED;
    EXPECT_EQ(QueryOne(entry), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryQuery, LargeBinaryNeedsASizedBuffer) {
    const std::vector<std::uint8_t> blob = {1, 2, 3, 4, 5, 6};
    registry::SetValue(kService, "Blob", REG_BINARY, blob);
    LONG buffer[4] = {-6, 0, 0, 0};
    ASSERT_EQ(QueryOne(Direct(u"Blob", buffer)), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(buffer, blob.data(), 6), 0);

    LONG small[2] = {-5, 0};
    EXPECT_EQ(QueryOne(Direct(u"Blob", small)), STATUS_BUFFER_TOO_SMALL);

    ULONG described[4] = {16, 0, 0, 0};  // positive: length and type first
    ASSERT_EQ(QueryOne(Direct(u"Blob", described)), STATUS_SUCCESS);
    EXPECT_EQ(described[0], 6u);
    EXPECT_EQ(described[1], static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(std::memcmp(&described[2], blob.data(), 6), 0);
}

TEST_F(RegistryQuery, RoutinesSeeEveryValueMultiStringsOneByOne) {
    registry::SetMultiString(kService + u"\\Parameters", "Ports", {u"COM1", u"COM2"});
    std::vector<Seen> seen;
    RTL_QUERY_REGISTRY_TABLE table[4] = {};
    table[0].QueryRoutine = Collect;  // all values of the service key
    table[1].QueryRoutine = Collect;
    table[1].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    table[1].Name = const_cast<PWSTR>(u"Parameters");
    table[2].QueryRoutine = Collect;
    table[2].Flags = RTL_QUERY_REGISTRY_TOPKEY;
    table[2].Name = const_cast<PWSTR>(u"timeout");  // names ignore case
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"tarnlink", table, &seen, nullptr), STATUS_SUCCESS);

    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].name, u"PortName");
    EXPECT_EQ(seen[1].name, u"Timeout");
    EXPECT_EQ(seen[2].name, u"Ports");
    EXPECT_EQ(seen[2].type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(seen[2].data.size(), 10u);  // "COM1" and its terminator
    EXPECT_EQ(seen[3].type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(seen[4].name, u"Timeout");
}

TEST_F(RegistryQuery, DeleteFlagRemovesTheValueAfterReadingIt) {
    ULONG timeout = 0;
    ASSERT_EQ(QueryOne(Direct(u"Timeout", &timeout, RTL_QUERY_REGISTRY_DELETE)), STATUS_SUCCESS);
    EXPECT_EQ(timeout, 250u);
    EXPECT_FALSE(registry::GetValue(kService, "Timeout").has_value());
}

TEST_F(RegistryQuery, MissingKeyFailsUnlessOptional) {
    ULONG fallback = 5;
    ULONG value = 0;
    RTL_QUERY_REGISTRY_TABLE entry = Direct(u"Anything", &value);
    entry.DefaultType = REG_DWORD;
    entry.DefaultData = &fallback;
    entry.DefaultLength = sizeof fallback;
    EXPECT_EQ(QueryOne(entry, RTL_REGISTRY_SERVICES, u"nosuch"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(QueryOne(entry, RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, u"nosuch"), STATUS_SUCCESS);
    EXPECT_EQ(value, 5u);

    RTL_QUERY_REGISTRY_TABLE subkey{};
    subkey.Flags = RTL_QUERY_REGISTRY_SUBKEY;
    subkey.Name = const_cast<PWSTR>(u"Parameters");
    subkey.QueryRoutine = Collect;
    std::vector<Seen> seen;
    RTL_QUERY_REGISTRY_TABLE table[2] = {subkey, {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"tarnlink", table, &seen, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryQuery, OnlyAtPassiveLevel) {
    ULONG timeout = 0;
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    QueryOne(Direct(u"Timeout", &timeout));
    KeLowerIrql(old);
    EXPECT_EQ(TakeViolations("IRQL_NOT_LESS_OR_EQUAL"), 1);
}

}  // namespace

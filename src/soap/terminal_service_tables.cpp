// Compile-time checks of the terminal service's tables: every stored hash is
// the NameHash of its name, and the two tables run parallel.
#include "soap/terminal_service_tables.h"

namespace corvel::soap::terminal_service {
namespace {

constexpr bool HashMatches(const TypeDescriptor& descriptor)
{
    return descriptor.hash == NameHash(descriptor.wideName, static_cast<std::size_t>(descriptor.wideNameLength));
}

constexpr bool FieldsHashMatch(const FieldDescriptor* fields)
{
    for (; fields->hash != 0; ++fields) {
        if (fields->hash != NameHash(fields->wideName, static_cast<std::size_t>(fields->nameLength))) {
            return false;
        }
    }
    return true;
}

constexpr bool TablesAreSound()
{
    for (std::size_t i = 0; i < kOperationCount; ++i) {
        const TypeDescriptor& operation = *OperationTable[i];
        const TypeDescriptor& headers = *HeaderTable[i];
        if (!HashMatches(operation) || !HashMatches(headers) || operation.hash != headers.hash ||
            !FieldsHashMatch(operation.fields) || headers.fields->hash != 0 || headers.recordSize != 0 ||
            headers.outCount != 0 || operation.kind != DescriptorKind::Operation ||
            headers.kind != DescriptorKind::HeaderSet || operation.namespaceHash != MessageNamespaceHash) {
            return false;
        }
    }
    return OperationTable[kOperationCount] == nullptr && HeaderTable[kOperationCount] == nullptr;
}

static_assert(TablesAreSound());
static_assert(OperationTable[kTestOperationIndex]->hash == 0x002FCCC0);
static_assert(NameHash(OLESTR("pStrIP")) == 0x0B6142E2);
static_assert(NameHash(OLESTR("Result")) == 0xC6ABBE1F);
static_assert(NameHash(OLESTR("GetSubnet")) == 0x2FF8D931);
static_assert(NameHash(OLESTR("GetIpType")) == 0x18434B3B);
static_assert(NameHash(OLESTR("GetGateway")) == 0x65F30DF2);
static_assert(NameHash(OLESTR("GetPassword")) == 0x714DB193);
static_assert(NameHash(OLESTR("GetName")) == 0x4D5F6C21);
static_assert(NameHash(OLESTR("GetVersion")) == 0xF1D48246);
static_assert(NameHash(OLESTR("GetMac")) == 0xAD02DFF1);
static_assert(kMemberFlagsIn == 0x5401 && kMemberFlagsOut == 0x5402);
static_assert(MessageNamespaceLength == 30);  // "http://corvel.example/message/"
static_assert(TestOperation.recordSize == sizeof(TestParameters) && TestOperation.fields[0].offset == 0);
static_assert(GetMacOperation.fields[1].offset == sizeof(BSTR));

}  // namespace
}  // namespace corvel::soap::terminal_service

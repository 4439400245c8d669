// The description tables: name hashes, the simple-type table, the terminal
// service's operation and header tables, and the release rule of one value.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "soap/soap_tables.h"
#include "soap/terminal_service_tables.h"
#include "soap/test_service.h"

namespace corvel::soap {
namespace {

TEST(NameHash, StatedValuesAndCollisionsNeedTextComparison)
{
    EXPECT_EQ(NameHash(OLESTR("Test")), 0x002FCCC0u);
    EXPECT_EQ(NameHash(OLESTR("Envelope")), 0xDBE6009Eu);
    EXPECT_EQ(NameHash(OLESTR("")), 0u);
    // Two different names with one hash: 65 * 33 + 98 == 66 * 33 + 65.
    const OLECHAR first[] = {'A', 'b'};
    const OLECHAR second[] = {'B', 'A'};
    EXPECT_EQ(NameHash(first, 2), NameHash(second, 2));
    EXPECT_NE(std::u16string(first, first + 2), std::u16string(second, second + 2));
}

TEST(XsdTypeTable, NamesAndElementSizes)
{
    for (std::int32_t code = 0; code < kXsdTypeCount; ++code) {
        const XsdTypeInfo* info = XsdTypeInfoOf(code);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(static_cast<std::size_t>(info->nameLength), std::strlen(info->name)) << code;
        for (std::int32_t i = 0; i < info->nameLength; ++i) {
            EXPECT_EQ(info->wideName[i], static_cast<OLECHAR>(info->name[i])) << code;
        }
    }
    EXPECT_STREQ(XsdTypeInfoOf(XsdAnyUri)->name, "anyURI");
    EXPECT_STREQ(XsdTypeInfoOf(XsdNcName)->name, "NCName");
    EXPECT_EQ(XsdElementSize(XsdBoolean), 1u);
    EXPECT_EQ(XsdElementSize(XsdUnsignedShort), 2u);
    EXPECT_EQ(XsdElementSize(XsdFloat), 4u);
    EXPECT_EQ(XsdElementSize(XsdDecimal), 8u);
    EXPECT_EQ(XsdElementSize(XsdPositiveInteger), 8u);
    EXPECT_EQ(XsdElementSize(XsdGDay), sizeof(BSTR));
    EXPECT_EQ(XsdElementSize(XsdBase64Binary), sizeof(BinaryValue));
    for (std::int32_t code : {-1, -2, 0x1000, 44}) {
        EXPECT_EQ(XsdTypeInfoOf(code), nullptr);
        EXPECT_EQ(XsdElementSize(code), 0u);
    }
}

TEST(TerminalServiceTables, OperationsAndHeadersRunParallel)
{
    using namespace terminal_service;
    const char* names[] = {"GetSubnet", "Test", "GetIpType", "GetGateway",
                           "GetPassword", "GetName", "GetVersion", "GetMac"};
    for (std::size_t i = 0; i < kOperationCount; ++i) {
        const TypeDescriptor* operation = OperationTable[i];
        const TypeDescriptor* headers = HeaderTable[i];
        ASSERT_NE(operation, nullptr);
        ASSERT_NE(headers, nullptr);
        EXPECT_STREQ(operation->name, names[i]);
        EXPECT_STREQ(headers->name, names[i]);
        EXPECT_EQ(operation->callFlags, 0x5000u);
        EXPECT_EQ(operation->returnIndex, -1);
        EXPECT_EQ(operation->outCount, 1u);
        EXPECT_STREQ(operation->namespaceUri, "http://corvel.example/message/");
        EXPECT_EQ(headers->fields[0].hash, 0u);
    }
    EXPECT_EQ(OperationTable[8], nullptr);
    EXPECT_EQ(HeaderTable[8], nullptr);
    EXPECT_STREQ(ServiceNamespace, "http://corvel.example/wsdl/");
    EXPECT_STREQ(TestActionLine, "SOAPAction: \"http://corvel.example/action/Tamsvald.Test\"\r\n");
    EXPECT_EQ(std::strlen(TestActionLine), TestActionLineLength);
    const FieldDescriptor& result = OperationTable[kTestOperationIndex]->fields[0];
    EXPECT_STREQ(result.name, "Result");
    EXPECT_EQ(result.flags, 0x5402u);
    EXPECT_EQ(OperationTable[kTestOperationIndex]->fields[1].hash, 0u);
    EXPECT_EQ(OperationTable[7]->fields[0].flags, 0x5401u);
    EXPECT_EQ(OperationTable[7]->fields[1].offset, offsetof(AddressParameters, Result));
}

TEST(ReleaseSimpleValue, FreesStringsAndBlobsLeavesNumbers)
{
    BSTR text = SysAllocString(OLESTR("abc"));
    ReleaseSimpleValue(&text, XsdDateTime, DefaultMemoryManager());
    EXPECT_EQ(text, nullptr);

    BinaryValue blob{3, static_cast<unsigned char*>(DefaultMemoryManager()->Allocate(3))};
    ReleaseSimpleValue(&blob, XsdHexBinary, DefaultMemoryManager());
    EXPECT_EQ(blob.data, nullptr);
    EXPECT_EQ(blob.size, 0);

    std::int64_t number = 42;
    ReleaseSimpleValue(&number, XsdLong, DefaultMemoryManager());
    EXPECT_EQ(number, 42);
}

}  // namespace
}  // namespace corvel::soap

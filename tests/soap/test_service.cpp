// Compile-time checks of the test service's tables.
#include "soap/test_service.h"

namespace corvel::soap::test_service {
namespace {

static_assert(ArraysOperation.fields[4].typeCode == XsdLong && ArraysOperation.fields[3].sizeFieldIndex == 4);
static_assert(ScalarsOperation.fields[ScalarsOperation.returnIndex].flags & ReturnValue);
static_assert(ColorEnumeration.fields[2].typeCode == Blue);
static_assert(OperationTable[kOperationCount] == nullptr && HeaderTable[kOperationCount] == nullptr);
static_assert(offsetof(ChainedParameters, result) == 0);
static_assert(offsetof(ChainedLateParameters, result) != 0, "the out member of ChainedLate is not first");
// Two names that only the length-and-text comparison tells apart.
static_assert(CatalogOperation.fields[8].hash == CatalogOperation.fields[9].hash);
static_assert((CatalogOperation.fields[7].flags & IgnoreText) != 0);

}  // namespace
}  // namespace corvel::soap::test_service

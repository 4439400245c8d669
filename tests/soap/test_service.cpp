// Compile-time checks of the test service's tables.
#include "soap/test_service.h"

namespace corvel::soap::test_service {
namespace {

static_assert(ArraysOperation.fields[4].typeCode == XsdLong && ArraysOperation.fields[3].sizeFieldIndex == 4);
static_assert(ScalarsOperation.fields[ScalarsOperation.returnIndex].flags & ReturnValue);
static_assert(ColorEnumeration.fields[2].typeCode == Blue);
static_assert(OperationTable[kOperationCount] == nullptr && HeaderTable[kOperationCount] == nullptr);
static_assert(offsetof(ChainedParameters, result) == 0);

}  // namespace
}  // namespace corvel::soap::test_service

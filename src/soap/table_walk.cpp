// The table rules the request writer and the response reader share.
#include "soap/table_walk.h"

#include <cstring>
#include <limits>

namespace corvel::soap {

std::size_t InlineCount(const std::int32_t* dimensions)
{
    if (dimensions == nullptr || dimensions[0] <= 0) {
        return 0;
    }
    std::size_t count = 1;
    for (std::int32_t i = 1; i <= dimensions[0]; ++i) {
        count *= dimensions[i] < 0 ? 0 : static_cast<std::size_t>(dimensions[i]);
    }
    return count;
}

bool IsCountMember(const TypeDescriptor& descriptor, std::size_t index)
{
    if (descriptor.fields == nullptr || !IsIntegerTypeCode(descriptor.fields[index].typeCode)) {
        return false;
    }
    for (std::size_t i = 0; descriptor.fields[i].hash != 0; ++i) {
        if ((descriptor.fields[i].flags & PointerArray) != 0 &&
            descriptor.fields[i].sizeFieldIndex == static_cast<std::int32_t>(index)) {
            return true;
        }
    }
    return false;
}

namespace {

template <typename T>
std::int64_t Load(const void* address)
{
    T value;
    std::memcpy(&value, address, sizeof(value));
    return static_cast<std::int64_t>(value);
}

}  // namespace

std::uint64_t ReadCount(const void* address, std::int32_t typeCode)
{
    std::int64_t value = 0;
    switch (typeCode) {
    case XsdByte:
        value = Load<std::int8_t>(address);
        break;
    case XsdUnsignedByte:
        value = Load<std::uint8_t>(address);
        break;
    case XsdShort:
        value = Load<std::int16_t>(address);
        break;
    case XsdUnsignedShort:
        value = Load<std::uint16_t>(address);
        break;
    case XsdInt:
        value = Load<std::int32_t>(address);
        break;
    case XsdUnsignedInt:
        value = Load<std::uint32_t>(address);
        break;
    default:
        value = Load<std::int64_t>(address);  // the 64-bit integer types
        break;
    }
    return value < 0 ? 0 : static_cast<std::uint64_t>(value);
}


std::size_t CountLimit(std::int32_t typeCode)
{
    switch (typeCode) {
    case XsdByte:
        return std::numeric_limits<std::int8_t>::max();
    case XsdUnsignedByte:
        return std::numeric_limits<std::uint8_t>::max();
    case XsdShort:
        return std::numeric_limits<std::int16_t>::max();
    case XsdUnsignedShort:
        return std::numeric_limits<std::uint16_t>::max();
    default:
        return std::numeric_limits<std::int32_t>::max();
    }
}

}  // namespace corvel::soap

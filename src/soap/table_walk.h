// The rules both halves of the engine apply to the description tables: the
// request writer and the response reader ask these, and nothing else, what an
// item of an array occupies, whether a member is an array, which member
// counts a pointer array and what it holds, and which members travel from
// which side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "soap/soap_tables.h"

namespace corvel::soap {

// Bytes one item of member occupies in an array (or the value itself in a
// record): the simple type's size, or the record size of a UserType; 0 when
// neither is known.
inline std::size_t ItemSize(const FieldDescriptor& member)
{
    if (member.typeCode == UserType) {
        return member.typeDescriptor != nullptr ? member.typeDescriptor->recordSize : 0;
    }
    return XsdElementSize(member.typeCode);
}

// Whether member holds an array: a pointer or inline array, or any member
// described with dimensions (which only an inline array may carry).
inline bool IsArrayMember(const FieldDescriptor& member)
{
    return member.dimensions != nullptr || (member.flags & kArrayFlags) != 0;
}

// The items an inline array holds: the product of its extents, 0 without
// dimensions or with a negative extent.
std::size_t InlineCount(const std::int32_t* dimensions);

// The count member of a pointer array inside its record's fields: the
// integer member sizeFieldIndex names, or null when the index lies outside
// the fields or names no integer.
inline const FieldDescriptor* CountMember(const TypeDescriptor* record, const FieldDescriptor& member)
{
    if (record == nullptr || record->fields == nullptr || member.sizeFieldIndex < 0) {
        return nullptr;
    }
    for (std::int32_t i = 0; i <= member.sizeFieldIndex; ++i) {
        if (record->fields[i].hash == 0) {
            return nullptr;  // the index lies past the end of the fields
        }
    }
    const FieldDescriptor* count = &record->fields[member.sizeFieldIndex];
    return IsIntegerTypeCode(count->typeCode) ? count : nullptr;
}
// Whether fields[index] of descriptor counts one of its pointer arrays.
bool IsCountMember(const TypeDescriptor& descriptor, std::size_t index);

// A count member's value, read by its own type: any width, signed or not; a
// negative value counts no items. Whole 64 bits even where a size has 32, so
// that a count past CountLimit is seen as one.
std::uint64_t ReadCount(const void* address, std::int32_t typeCode);
// Stores value into a count member of the given type.
inline void WriteCount(void* address, std::int32_t typeCode, std::size_t value)
{
    switch (XsdElementSize(typeCode)) {
    case 1: {
        auto narrow = static_cast<std::uint8_t>(value);
        std::memcpy(address, &narrow, sizeof(narrow));
        break;
    }
    case 2: {
        auto narrow = static_cast<std::uint16_t>(value);
        std::memcpy(address, &narrow, sizeof(narrow));
        break;
    }
    case 8: {
        auto wide = static_cast<std::uint64_t>(value);
        std::memcpy(address, &wide, sizeof(wide));
        break;
    }
    default: {
        auto narrow = static_cast<std::uint32_t>(value);
        std::memcpy(address, &narrow, sizeof(narrow));
        break;
    }
    }
}
// The largest item count a count member of this type may hold: its type's
// maximum, and never more than a 32-bit signed number.
std::size_t CountLimit(std::int32_t typeCode);

// The two sides of a call: the client sends the request, the server the response.
enum class Side { Client, Server };

// Whether member travels in the message side sends: from the client an
// in member, from the server an out member; a member marked neither way
// travels both ways. NotSerialized members are not asked about here.
inline bool TravelsFrom(const FieldDescriptor& member, Side side)
{
    bool in = (member.flags & InParam) != 0;
    bool out = (member.flags & OutParam) != 0;
    return side == Side::Client ? in || !out : out || !in;
}

// What the side of role writes: the members that travel from it, less the
// NotSerialized ones.
inline bool IsWrittenBy(const FieldDescriptor& member, Side role)
{
    return (member.flags & NotSerialized) == 0 && TravelsFrom(member, role);
}
// What the side of role reads: the members that travel from the other side.
inline bool IsReadBy(const FieldDescriptor& member, Side role)
{
    return TravelsFrom(member, role == Side::Client ? Side::Server : Side::Client);
}

inline Side SideOf(bool clientRole)
{
    return clientRole ? Side::Client : Side::Server;
}

}  // namespace corvel::soap

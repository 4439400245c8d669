// The rules both halves of the engine apply to the description tables: the
// request writer and the response reader ask these, and nothing else, what an
// item of an array occupies, whether a member is an array, which member
// counts a pointer array and what it holds, and which members travel from
// which side.
#pragma once

#include <cstddef>
#include <cstdint>

#include "soap/soap_tables.h"

namespace corvel::soap {

// Bytes one item of member occupies in an array (or the value itself in a
// record): the simple type's size, or the record size of a UserType; 0 when
// neither is known.
std::size_t ItemSize(const FieldDescriptor& member);

// Whether member holds an array: a pointer or inline array, or any member
// described with dimensions (which only an inline array may carry).
bool IsArrayMember(const FieldDescriptor& member);

// The items an inline array holds: the product of its extents, 0 without
// dimensions or with a negative extent.
std::size_t InlineCount(const std::int32_t* dimensions);

// The count member of a pointer array inside its record's fields: the
// integer member sizeFieldIndex names, or null when the index lies outside
// the fields or names no integer.
const FieldDescriptor* CountMember(const TypeDescriptor* record, const FieldDescriptor& member);
// Whether fields[index] of descriptor counts one of its pointer arrays.
bool IsCountMember(const TypeDescriptor& descriptor, std::size_t index);

// A count member's value, read by its own type: any width, signed or not; a
// negative value counts no items.
std::size_t ReadCount(const void* address, std::int32_t typeCode);
// Stores value into a count member of the given type.
void WriteCount(void* address, std::int32_t typeCode, std::size_t value);
// The largest item count a count member of this type may hold: its type's
// maximum, and never more than a 32-bit signed number.
std::size_t CountLimit(std::int32_t typeCode);

// The two sides of a call: the client sends the request, the server the response.
enum class Side { Client, Server };

// Whether member travels in the message side sends: from the client an
// in member, from the server an out member; a member marked neither way
// travels both ways. NotSerialized members are not asked about here.
bool TravelsFrom(const FieldDescriptor& member, Side side);

// What the side of role writes: the members that travel from it, less the
// NotSerialized ones.
bool IsWrittenBy(const FieldDescriptor& member, Side role);
// What the side of role reads: the members that travel from the other side.
bool IsReadBy(const FieldDescriptor& member, Side role);

inline Side SideOf(bool clientRole)
{
    return clientRole ? Side::Client : Side::Server;
}

}  // namespace corvel::soap

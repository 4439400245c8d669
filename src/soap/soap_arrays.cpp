// Arrays and multi-reference values of the response reader: SOAP-encoded
// arrays announced by arrayType, fixed inline arrays, document-style arrays
// that grow as their items arrive, and href/id references that park a saved
// level until the element carrying the id arrives.
#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "soap/soap_root_handler.h"
#include "soap/table_walk.h"

namespace corvel::soap {
namespace {

constexpr std::size_t kFirstGrowSlots = 10;
// Announced sizes are read up to this and refused beyond it (no count member
// holds more). Nothing is allocated for an announcement alone: an announced
// array's block grows with the items that arrive, as a growing array's does,
// so what it costs follows the bytes that carried its items.
constexpr std::uint64_t kMaxAnnouncedItems = std::numeric_limits<std::int32_t>::max();
constexpr std::uint64_t kMaxBlockBytes = std::numeric_limits<std::uint32_t>::max();

using platform::IsXmlSpace;

enum class Announcement { Absent, Announced, Invalid };

// "xsd:int[2,3]" announces 6 items, "xsd:int[]" none; each number is read as
// a decimal prefix, a negative one ends the reading and a zero makes it 0.
Announcement ReadArrayType(const OLECHAR* text, int length, std::uint64_t* size)
{
    int i = 0;
    while (i < length && IsXmlSpace(text[i])) {
        ++i;
    }
    while (i < length && text[i] != u'[') {
        ++i;
    }
    if (i >= length) {
        return Announcement::Invalid;
    }
    ++i;
    if (i < length && text[i] == u']') {
        return Announcement::Absent;
    }
    std::uint64_t product = 1;
    for (;;) {
        while (i < length && IsXmlSpace(text[i])) {
            ++i;
        }
        bool negative = false;
        if (i < length && (text[i] == u'-' || text[i] == u'+')) {
            negative = text[i] == u'-';
            ++i;
        }
        std::uint64_t number = 0;
        while (i < length && text[i] >= u'0' && text[i] <= u'9') {
            number = number * 10 + static_cast<std::uint64_t>(text[i] - u'0');
            if (number > kMaxAnnouncedItems) {
                number = kMaxAnnouncedItems + 1;
            }
            ++i;
        }
        if (negative && number != 0) {
            break;
        }
        product *= number;
        if (product > kMaxAnnouncedItems) {
            product = kMaxAnnouncedItems + 1;
        }
        if (product == 0 || i >= length || text[i] != u',') {
            break;
        }
        ++i;
    }
    *size = product;
    return Announcement::Announced;
}

}  // namespace

HRESULT CSoapRootHandler::StartArray(const ParseLevel& enclosing, const FieldDescriptor* member,
                                     ISAXAttributes* attributes)
{
    void* recordAddress = enclosing.target;
    const TypeDescriptor* record = enclosing.descriptor;
    if (member == nullptr || recordAddress == nullptr) {
        return Fail(SoapReadFailure::badDescription);
    }
    bool rpcEncoded = IsRpcEncoded();
    if (rpcEncoded) {
        HRESULT result = ReadReference(member, recordAddress, attributes, 0, 0);
        if (result != S_FALSE) {
            return result;
        }
    }

    std::uint64_t announcedSize = 0;
    bool announced = false;
    const OLECHAR* arrayType = nullptr;
    int arrayTypeLength = 0;
    if (attributes != nullptr &&
        SUCCEEDED(AttributeValue(attributes, kWideSoapEncodingNamespace, OLESTR("arrayType"), &arrayType,
                                 &arrayTypeLength)) &&
        arrayType != nullptr) {
        Announcement announcement = ReadArrayType(arrayType, arrayTypeLength, &announcedSize);
        if (announcement == Announcement::Invalid) {
            return Fail(SoapReadFailure::badArrayType);
        }
        announced = announcement == Announcement::Announced;
    }
    if (announced && announcedSize > kMaxAnnouncedItems) {
        return Fail(SoapReadFailure::arrayTooLarge);
    }

    std::uint32_t levelFlags = member->flags & ~ValuePending;
    std::size_t capacity = 0;
    std::size_t expected = 0;
    void* arrayAddress = static_cast<char*>(recordAddress) + member->offset;

    if ((member->flags & PointerArray) != 0) {
        const FieldDescriptor* count = CountMember(record, *member);
        if (count == nullptr) {
            return Fail(SoapReadFailure::badDescription);
        }
        void* countAddress = static_cast<char*>(recordAddress) + count->offset;
        std::size_t itemSize = ItemSize(*member);
        std::size_t slots = 0;
        if (!announced) {
            if (rpcEncoded) {
                return Fail(SoapReadFailure::badArrayType);  // encoded arrays announce their size
            }
            slots = kFirstGrowSlots;
            levelFlags |= GrowArray;
            expected = 0;
        } else {
            if (announcedSize > CountLimit(count->typeCode)) {
                return Fail(SoapReadFailure::arrayTooLarge);  // more items than the count member can hold
            }
            if (announcedSize > 0 && itemSize > 0 && announcedSize * itemSize > kMaxBlockBytes) {
                return Fail(SoapReadFailure::arrayTooLarge, E_INVALIDARG);
            }
            if (announcedSize == 0) {
                WriteCount(countAddress, count->typeCode, 0);
                noChildren = true;
                return PushLevel(nullptr, nullptr, nullptr, 0, 0, 0);
            }
            expected = static_cast<std::size_t>(announcedSize);
            slots = expected < kFirstGrowSlots ? expected : kFirstGrowSlots;
        }
        if (itemSize == 0) {
            return Fail(SoapReadFailure::badDescription);
        }
        void** pointer = static_cast<void**>(arrayAddress);
        if (*pointer != nullptr) {
            return Fail(SoapReadFailure::duplicateElement);  // the block is filled once per call
        }
        HRESULT charged = Charge(HeapBlockBytes(slots * itemSize));
        if (FAILED(charged)) {
            return charged;
        }
        void* block = memory->Allocate(slots * itemSize);
        if (block == nullptr) {
            return Fail(SoapReadFailure::outOfMemory, E_OUTOFMEMORY);
        }
        std::memset(block, 0, slots * itemSize);
        *pointer = block;
        // The count member counts the items as they arrive (Release frees
        // exactly those); it reaches the announced size with the last one.
        WriteCount(countAddress, count->typeCode, 0);
        capacity = slots;
    } else if ((member->flags & InlineArray) != 0) {
        std::size_t count = InlineCount(member->dimensions);
        if (announced && announcedSize != count) {
            return Fail(SoapReadFailure::arraySizeMismatch);
        }
        // The items live in the record itself, so an inline array never grows.
        expected = count;
    } else {
        return Fail(SoapReadFailure::badDescription);
    }
    return PushLevel(arrayAddress, record, member, levelFlags, capacity, expected);
}

HRESULT CSoapRootHandler::MakeRoomForItem(ParseLevel& level)
{
    bool growing = (level.levelFlags & GrowArray) != 0;
    if (level.received == level.expected && !growing) {
        return Fail(SoapReadFailure::arraySizeMismatch);  // more items than announced
    }
    if ((level.levelFlags & PointerArray) == 0) {
        // an inline array never grows
        return level.received < level.expected ? S_OK : Fail(SoapReadFailure::arraySizeMismatch);
    }
    if (level.field == nullptr) {
        return Fail(SoapReadFailure::badDescription);
    }
    if (level.received < level.capacity) {
        return S_OK;
    }
    const FieldDescriptor* count = CountMember(level.descriptor, *level.field);
    if (count == nullptr) {
        return Fail(SoapReadFailure::badDescription);
    }
    if (level.received >= CountLimit(count->typeCode)) {
        return Fail(SoapReadFailure::arrayTooLarge);  // the count member could not hold one more
    }
    std::size_t slots = level.received * 2 < kFirstGrowSlots ? kFirstGrowSlots : level.received * 2;
    if (!growing && slots > level.expected) {
        slots = level.expected;
    }
    std::size_t itemSize = ItemSize(*level.field);
    if (itemSize == 0) {
        return Fail(SoapReadFailure::badDescription);
    }
    if (static_cast<std::uint64_t>(slots) * itemSize > kMaxBlockBytes) {
        return Fail(SoapReadFailure::arrayTooLarge, E_INVALIDARG);
    }
    std::size_t oldBytes = level.capacity * itemSize;
    HRESULT charged = Charge(HeapBlockBytes(slots * itemSize) - HeapBlockBytes(oldBytes));
    if (FAILED(charged)) {
        return charged;
    }
    void** pointer = static_cast<void**>(level.target);
    char* oldBlock = static_cast<char*>(*pointer);
    void* block = memory->Reallocate(oldBlock, slots * itemSize);
    if (block == nullptr) {
        return Fail(SoapReadFailure::outOfMemory, E_OUTOFMEMORY);
    }
    std::memset(static_cast<char*>(block) + oldBytes, 0, slots * itemSize - oldBytes);
    if (block != oldBlock) {
        RebaseReferences(oldBlock, oldBytes, static_cast<char*>(block));
    }
    *pointer = block;
    level.capacity = slots;
    return S_OK;
}

void CSoapRootHandler::RebaseReferences(const char* oldBlock, std::size_t oldBytes, char* newBlock)
{
    // A pending reference may target an item of the block (or a record
    // inside one): it must follow the items to their new place.
    auto first = reinterpret_cast<std::uintptr_t>(oldBlock);
    for (auto& entry : references) {
        auto target = reinterpret_cast<std::uintptr_t>(entry.second.target);
        if (target >= first && target - first < oldBytes) {
            entry.second.target = newBlock + (target - first);
        }
    }
}

void* CSoapRootHandler::NextItemSlot(ParseLevel& level)
{
    if (level.field == nullptr) {
        return nullptr;
    }
    std::size_t itemSize = ItemSize(*level.field);
    char* base = (level.levelFlags & InlineArray) != 0 ? static_cast<char*>(level.target)
                                                       : *static_cast<char**>(level.target);
    if (base == nullptr) {
        return nullptr;
    }
    char* slot = base + itemSize * level.received;
    if ((level.levelFlags & PointerArray) != 0) {
        // The record holding the array starts member.offset before it.
        if (level.countMember == nullptr) {
            level.countMember = CountMember(level.descriptor, *level.field);
        }
        const FieldDescriptor* count = level.countMember;
        if (count != nullptr) {
            char* record = static_cast<char*>(level.target) - level.field->offset;
            WriteCount(record + count->offset, count->typeCode, level.received + 1);
        }
    }
    if ((level.levelFlags & GrowArray) != 0) {
        ++level.expected;
    }
    ++level.received;
    return slot;
}

HRESULT CSoapRootHandler::ReadReference(const FieldDescriptor* member, void* address, ISAXAttributes* attributes,
                                        std::uint32_t addFlags, std::uint32_t removeFlags)
{
    const OLECHAR* href = nullptr;
    int hrefLength = 0;
    if (attributes == nullptr || FAILED(AttributeValue(attributes, OLESTR("href"), &href, &hrefLength)) ||
        href == nullptr) {
        return S_FALSE;
    }
    bool memberIsArray = IsArrayMember(*member);
    bool isStructure = member->typeCode == UserType && member->typeDescriptor != nullptr &&
                       member->typeDescriptor->kind == DescriptorKind::Structure;
    bool itemOfArray = !levels.empty() && (Top().levelFlags & kArrayFlags) != 0;
    if ((!memberIsArray && !isStructure) || (itemOfArray && !isStructure)) {
        return Fail(SoapReadFailure::badReference);  // only records and arrays can be completed later
    }
    if (hrefLength > 0 && href[0] == u'#') {
        ++href;
        --hrefLength;
    }
    ParseLevel saved;
    saved.target = address;
    saved.levelFlags = ((member->flags | addFlags) & ~removeFlags) & ~ValuePending;
    if (itemOfArray) {
        // The saved value is one item. Whether it is one is the top level's
        // own form (an array level), not its field's: a structure that is an
        // item of an array has the array member as its field.
        saved.levelFlags &= ~kArrayFlags;
    }
    saved.descriptor = levels.empty() ? nullptr : Top().descriptor;
    saved.field = member;
    std::size_t idBytes = static_cast<std::size_t>(hrefLength) * sizeof(OLECHAR);
    HRESULT charged = Charge(HeapBlockBytes(sizeof(ParseLevel) + 2 * sizeof(void*) + sizeof(std::size_t)) +
                             (hrefLength > 7 ? HeapBlockBytes(idBytes + sizeof(OLECHAR)) : 0));
    if (FAILED(charged)) {
        return charged;
    }
    try {
        auto inserted = references.emplace(std::basic_string<OLECHAR>(href, static_cast<std::size_t>(hrefLength)),
                                           std::move(saved));
        if (!inserted.second) {
            return Fail(SoapReadFailure::badReference);  // the id is already pending
        }
    } catch (const std::bad_alloc&) {
        return Fail(SoapReadFailure::outOfMemory, E_OUTOFMEMORY);
    } catch (const std::length_error&) {
        return Fail(SoapReadFailure::outOfMemory, E_OUTOFMEMORY);
    }
    noChildren = true;
    return PushLevel(nullptr, nullptr, nullptr, 0, 0, 0);
}

HRESULT CSoapRootHandler::ResolveReference(ISAXAttributes* attributes)
{
    if (references.empty() || attributes == nullptr) {
        return S_FALSE;
    }
    const OLECHAR* id = nullptr;
    int idLength = 0;
    if (FAILED(AttributeValue(attributes, OLESTR("id"), &id, &idLength)) || id == nullptr) {
        return S_FALSE;
    }
    auto found = references.find(std::basic_string<OLECHAR>(id, static_cast<std::size_t>(idLength)));
    if (found == references.end()) {
        return S_FALSE;
    }
    const OLECHAR* href = nullptr;
    int hrefLength = 0;
    if (SUCCEEDED(AttributeValue(attributes, OLESTR("href"), &href, &hrefLength)) && href != nullptr) {
        return Fail(SoapReadFailure::badReference);  // a target that is itself a reference
    }
    ParseLevel saved = std::move(found->second);
    references.erase(found);
    if ((saved.levelFlags & kArrayFlags) != 0) {
        return StartArray(saved, saved.field, attributes);
    }
    const TypeDescriptor* type = saved.field != nullptr ? saved.field->typeDescriptor : nullptr;
    if (type == nullptr || saved.target == nullptr) {
        return Fail(SoapReadFailure::badDescription);
    }
    return PushLevel(saved.target, type, saved.field, saved.levelFlags, 0, type->outCount);
}

void CSoapRootHandler::ReleaseRecord(const TypeDescriptor* descriptor, void* record)
{
    if (descriptor == nullptr || descriptor->fields == nullptr || record == nullptr) {
        return;
    }
    for (std::size_t i = 0; descriptor->fields[i].hash != 0; ++i) {
        const FieldDescriptor& member = descriptor->fields[i];
        // Only what the reader may have filled: the caller owns the rest.
        if (!IsReadMember(member)) {
            continue;
        }
        char* address = static_cast<char*>(record) + member.offset;
        std::size_t count = 1;
        char* items = address;
        const FieldDescriptor* countMember = nullptr;
        if ((member.flags & PointerArray) != 0) {
            items = *reinterpret_cast<char**>(address);
            if (items == nullptr) {
                continue;
            }
            countMember = CountMember(descriptor, member);
            // What the reader counted, never more than the count may hold.
            count = countMember != nullptr
                        ? static_cast<std::size_t>(std::min<std::uint64_t>(
                              ReadCount(static_cast<char*>(record) + countMember->offset, countMember->typeCode),
                              CountLimit(countMember->typeCode)))
                        : 0;
        } else if ((member.flags & InlineArray) != 0) {
            count = InlineCount(member.dimensions);
        }
        std::size_t itemSize = ItemSize(member);
        for (std::size_t k = 0; k < count; ++k) {
            char* item = items + itemSize * k;
            if (member.typeCode == UserType) {
                if (member.typeDescriptor != nullptr && member.typeDescriptor->kind == DescriptorKind::Structure) {
                    ReleaseRecord(member.typeDescriptor, item);
                }
            } else {
                ReleaseSimpleValue(item, member.typeCode, memory);
            }
        }
        if ((member.flags & PointerArray) != 0) {
            memory->Free(items);
            *reinterpret_cast<char**>(address) = nullptr;
            if (countMember != nullptr) {
                WriteCount(static_cast<char*>(record) + countMember->offset, countMember->typeCode, 0);
            }
        }
    }
}

}  // namespace corvel::soap

// The request writer's walk over the description tables.
#include "soap/request_writer.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "soap/table_walk.h"
#include "soap/xsd_value.h"

namespace corvel::soap {
namespace {

HRESULT Put(IWriteStream* stream, std::string_view text)
{
    if (text.empty()) {
        return S_OK;
    }
    return stream->Write(text.data(), static_cast<int>(text.size()), nullptr);
}

std::string_view Text(const char* text, std::int32_t length)
{
    if (text == nullptr || length <= 0) {
        return {};
    }
    return {text, static_cast<std::size_t>(length)};
}

// Nil: a null pointer array, or a string or binary value without data (for an
// inline array, its first element decides).
bool IsNil(const FieldDescriptor& member, const void* data)
{
    if ((member.flags & PointerArray) != 0) {
        return *static_cast<void* const*>(data) == nullptr;
    }
    if (member.typeCode == XsdString) {
        return *static_cast<const BSTR*>(data) == nullptr;
    }
    if (IsBinaryTypeCode(member.typeCode)) {
        return static_cast<const BinaryValue*>(data)->data == nullptr;
    }
    return false;
}

bool IsNilItem(std::int32_t typeCode, const void* data)
{
    if (typeCode == XsdString) {
        return *static_cast<const BSTR*>(data) == nullptr;
    }
    if (IsBinaryTypeCode(typeCode)) {
        return static_cast<const BinaryValue*>(data)->data == nullptr;
    }
    return false;
}

constexpr int kMaxDimensions = 16;

// Counts, element size and the start of the elements of one array member.
struct ArrayShape {
    std::int32_t extents[kMaxDimensions];
    int dimensionCount;
    std::size_t count;
    std::size_t elementSize;
    const unsigned char* elements;
};

HRESULT MeasureArray(const TypeDescriptor* record, const FieldDescriptor& member, const unsigned char* recordData,
                     const unsigned char* memberData, ArrayShape* shape)
{
    shape->dimensionCount = 0;
    if ((member.flags & InlineArray) != 0) {
        const std::int32_t* dimensions = member.dimensions;
        if (dimensions == nullptr || dimensions[0] < 1 || dimensions[0] > kMaxDimensions) {
            return E_FAIL;
        }
        shape->dimensionCount = dimensions[0];
        for (int i = 0; i < shape->dimensionCount; ++i) {
            if (dimensions[i + 1] < 0) {
                return E_FAIL;
            }
            shape->extents[i] = dimensions[i + 1];
        }
        shape->elements = memberData;
    } else if ((member.flags & PointerArray) != 0) {
        // The count as the reader keeps it: by the count member's own type,
        // within what that type may count.
        const FieldDescriptor* countMember = CountMember(record, member);
        if (countMember == nullptr) {
            return E_FAIL;
        }
        std::uint64_t count = ReadCount(recordData + countMember->offset, countMember->typeCode);
        if (count == 0 || count > CountLimit(countMember->typeCode)) {
            return E_FAIL;
        }
        shape->dimensionCount = 1;
        shape->extents[0] = static_cast<std::int32_t>(count);
        shape->elements = *reinterpret_cast<const unsigned char* const*>(memberData);
    } else {
        return E_FAIL;  // dimensions without an array form
    }
    std::size_t total = 1;
    for (int i = 0; i < shape->dimensionCount; ++i) {
        auto extent = static_cast<std::size_t>(shape->extents[i]);
        if (extent != 0 && total > SIZE_MAX / extent) {
            return E_FAIL;
        }
        total *= extent;
    }
    shape->count = total;
    shape->elementSize = ItemSize(member);
    if (shape->elementSize == 0) {
        return E_FAIL;
    }
    return S_OK;
}

HRESULT WriteArrayType(const RequestWriterContext& context, const FieldDescriptor& member, const ArrayShape& shape,
                       IWriteStream* stream)
{
    HRESULT hr = S_OK;
    if (member.typeCode == UserType) {
        const TypeDescriptor* type = member.typeDescriptor;
        std::string_view uri = type->namespaceUri != nullptr
                                   ? Text(type->namespaceUri, type->namespaceLength)
                                   : Text(context.serviceNamespace, context.serviceNamespaceLength);
        for (std::string_view part : {std::string_view(" xmlns:q1=\""), uri, std::string_view("\""),
                                      std::string_view(" soapenc:arrayType=\"q1:"), Text(type->name, type->nameLength)}) {
            if (FAILED(hr = Put(stream, part))) {
                return hr;
            }
        }
    } else {
        const XsdTypeInfo* info = XsdTypeInfoOf(member.typeCode);
        if (FAILED(hr = Put(stream, " soapenc:arrayType=\"xsd:")) ||
            FAILED(hr = Put(stream, Text(info->name, info->nameLength)))) {
            return hr;
        }
    }
    if (FAILED(hr = Put(stream, "["))) {
        return hr;
    }
    for (int i = 0; i < shape.dimensionCount; ++i) {
        char digits[16];
        auto [end, error] = std::to_chars(digits, digits + sizeof(digits), shape.extents[i]);
        if (i > 0 && FAILED(hr = Put(stream, ", "))) {
            return hr;
        }
        if (FAILED(hr = Put(stream, std::string_view(digits, static_cast<std::size_t>(end - digits))))) {
            return hr;
        }
    }
    return Put(stream, "]\"");
}

HRESULT WriteEnumeration(const TypeDescriptor* enumeration, const void* data, bool inArray, IWriteStream* stream)
{
    if (enumeration->fields == nullptr) {
        return E_FAIL;
    }
    std::int32_t value = 0;
    std::memcpy(&value, data, sizeof(value));
    const FieldDescriptor* match = nullptr;
    for (const FieldDescriptor* candidate = enumeration->fields; candidate->hash != 0; ++candidate) {
        if (candidate->typeCode == value) {
            match = candidate;
            break;
        }
    }
    if (match == nullptr) {
        return E_FAIL;
    }
    std::string_view name = Text(enumeration->name, enumeration->nameLength);
    HRESULT hr = S_OK;
    if (inArray && (FAILED(hr = Put(stream, "<")) || FAILED(hr = Put(stream, name)) || FAILED(hr = Put(stream, ">")))) {
        return hr;
    }
    if (FAILED(hr = Put(stream, Text(match->name, match->nameLength)))) {
        return hr;
    }
    if (inArray && (FAILED(hr = Put(stream, "</")) || FAILED(hr = Put(stream, name)) || FAILED(hr = Put(stream, ">")))) {
        return hr;
    }
    return S_OK;
}

HRESULT WriteSimpleItem(const RequestWriterContext& context, std::int32_t typeCode, const void* data,
                        IWriteStream* stream)
{
    const XsdTypeInfo* info = XsdTypeInfoOf(typeCode);
    if (info == nullptr) {
        return E_FAIL;
    }
    std::string_view typeName = Text(info->name, info->nameLength);
    bool nil = IsNilItem(typeCode, data);
    HRESULT hr = S_OK;
    if (FAILED(hr = Put(stream, "<")) || FAILED(hr = Put(stream, typeName)) ||
        FAILED(hr = Put(stream, nil ? " xsi:nil=\"1\">" : ">"))) {
        return hr;
    }
    if (!nil && FAILED(hr = WriteXsdValue(data, stream, typeCode, context.memory))) {
        return hr;
    }
    if (FAILED(hr = Put(stream, "</")) || FAILED(hr = Put(stream, typeName)) || FAILED(hr = Put(stream, ">"))) {
        return hr;
    }
    return S_OK;
}

HRESULT WriteMember(const RequestWriterContext& context, CResponseGenerator* writer, const TypeDescriptor* record,
                    const FieldDescriptor& member, unsigned char* recordData, IWriteStream* stream)
{
    HRESULT hr = writer->WriteMemberStart(stream, record, &member);
    if (FAILED(hr)) {
        return hr;
    }
    unsigned char* memberData = recordData + member.offset;
    if (IsNil(member, memberData)) {
        return Put(stream, " xsi:nil=\"1\"/>");
    }
    bool array = IsArrayMember(member);
    ArrayShape shape{};
    if (array) {
        if (FAILED(hr = MeasureArray(record, member, recordData, memberData, &shape)) ||
            FAILED(hr = WriteArrayType(context, member, shape, stream))) {
            return hr;
        }
    } else {
        shape.count = 1;
        shape.elementSize = 0;
        shape.elements = memberData;
    }
    if (FAILED(hr = Put(stream, ">"))) {
        return hr;
    }
    for (std::size_t i = 0; i < shape.count; ++i) {
        const unsigned char* element = shape.elements + i * shape.elementSize;
        if (member.typeCode == UserType) {
            const TypeDescriptor* type = member.typeDescriptor;
            if (type == nullptr) {
                return E_FAIL;
            }
            if (type->kind == DescriptorKind::Enumeration) {
                hr = WriteEnumeration(type, element, array, stream);
            } else {
                hr = WriteMembers(context, writer, type, const_cast<unsigned char*>(element), stream, array);
            }
        } else if (array) {
            hr = WriteSimpleItem(context, member.typeCode, element, stream);
        } else {
            hr = WriteXsdValue(element, stream, member.typeCode, context.memory);
        }
        if (FAILED(hr)) {
            return hr;
        }
    }
    return writer->WriteMemberEnd(stream, record, &member);
}

}  // namespace

HRESULT WriteMembers(const RequestWriterContext& context, CResponseGenerator* writer, const TypeDescriptor* record,
                     void* recordData, IWriteStream* stream, bool withWrapper)
{
    if (writer == nullptr || record == nullptr || stream == nullptr) {
        return E_FAIL;
    }
    bool wrapped = withWrapper && (record->callFlags & PadStyle) == 0;
    HRESULT hr = S_OK;
    if (wrapped && FAILED(hr = writer->WriteWrapperStart(stream, record, context.clientRole))) {
        return hr;
    }
    if (record->fields == nullptr) {
        return E_FAIL;
    }
    for (const FieldDescriptor* member = record->fields; member->hash != 0; ++member) {
        if (!IsWrittenBy(*member, SideOf(context.clientRole))) {
            continue;
        }
        if (recordData == nullptr) {
            return E_FAIL;
        }
        hr = WriteMember(context, writer, record, *member, static_cast<unsigned char*>(recordData), stream);
        if (FAILED(hr)) {
            return hr;
        }
    }
    if (wrapped) {
        return writer->WriteWrapperEnd(stream, record, context.clientRole);
    }
    return S_OK;
}

HRESULT WriteEnvelope(const RequestWriterContext& context, const TypeDescriptor* headerDescriptor,
                      void* headerRecord, const TypeDescriptor* operation, void* parameterRecord,
                      IWriteStream* stream)
{
    if (operation == nullptr) {
        return E_FAIL;
    }
    CRpcEncodedGenerator rpcEncoded;
    CPIDGenerator parametersInDocument;
    CPADGenerator parametersAsDocument;
    CResponseGenerator* writer = &parametersAsDocument;
    if ((operation->callFlags & kRpcEncoded) == kRpcEncoded) {
        writer = &rpcEncoded;
    } else if ((operation->callFlags & PidStyle) != 0) {
        writer = &parametersInDocument;
    }
    if (stream == nullptr) {
        return E_FAIL;
    }
    HRESULT hr = Put(stream, std::string_view(kEnvelopeStart, sizeof(kEnvelopeStart) - 1));
    if (FAILED(hr)) {
        return hr;
    }

    if (headerDescriptor == nullptr) {
        return E_FAIL;
    }
    // The Header element stands when a header member is written, by the
    // rule that writes the members themselves.
    bool anyHeader = false;
    if (headerDescriptor->fields != nullptr) {
        for (const FieldDescriptor* member = headerDescriptor->fields; member->hash != 0; ++member) {
            if (IsWrittenBy(*member, SideOf(context.clientRole))) {
                anyHeader = true;
                break;
            }
        }
    }
    if (anyHeader) {
        if (FAILED(hr = writer->WriteHeaderStart(stream, headerDescriptor)) ||
            FAILED(hr = WriteMembers(context, writer, headerDescriptor, headerRecord, stream, false)) ||
            FAILED(hr = writer->WriteHeaderEnd(stream))) {
            return hr;
        }
    }

    if (FAILED(hr = writer->WriteBodyStart(stream)) ||
        FAILED(hr = WriteMembers(context, writer, operation, parameterRecord, stream, true)) ||
        FAILED(hr = writer->WriteBodyEnd(stream))) {
        return hr;
    }
    return writer->WriteEnvelopeEnd(stream);
}

}  // namespace corvel::soap

// A service description used only by the tests: what the terminal service does
// not use, so that the whole engine is exercised. Structures (one nested, one
// without a namespace, one holding an array of structures, a string and a
// binary value), an enumeration, pointer, inline and growing arrays (of simple
// values, structures and enumerations, and arrays of structures that hold
// arrays), headers with mustUnderstand, rpc/encoded, PAD and PID operations,
// ChainedOut with the out member first and not first, base64Binary and
// hexBinary results, IgnoreText, two member names with the same NameHash,
// nillable and NotSerialized members. The writer and reader tests and the
// response fuzzer use it; an operation is identified by its index in
// OperationTable/HeaderTable.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/compat.h"
#include "soap/soap_tables.h"

namespace corvel::soap::test_service {

inline constexpr char MessageNamespace[] = "http://test.corvel.example/message/";
inline constexpr OLECHAR WideMessageNamespace[] = OLESTR("http://test.corvel.example/message/");
inline constexpr char ServiceNamespace[] = "http://test.corvel.example/wsdl/";
inline constexpr OLECHAR WideServiceNamespace[] = OLESTR("http://test.corvel.example/wsdl/");
inline constexpr char TypesNamespace[] = "http://test.corvel.example/types/";
inline constexpr OLECHAR WideTypesNamespace[] = OLESTR("http://test.corvel.example/types/");
inline constexpr char HeaderNamespace[] = "http://test.corvel.example/headers/";
inline constexpr OLECHAR WideHeaderNamespace[] = OLESTR("http://test.corvel.example/headers/");

// Enumeration Color: the stored value is a 32-bit integer.
enum ColorValue : std::int32_t { Red = 0, Green = 1, Blue = 5 };

// Structure Point (namespace TypesNamespace).
struct Point {
    std::int32_t x;
    std::int32_t y;
    BSTR label;  // Nillable
};

// Structure Shape (namespace TypesNamespace): a nested structure and an enumeration.
struct Shape {
    Point origin;
    std::int32_t color;
};

// Structure Item: no namespace of its own, so an array of it is typed in ServiceNamespace.
struct Item {
    BSTR name;
    double price;
};

// Structure Entry: no namespace; a string, an array of structures and a binary value.
struct Entry {
    BSTR label;               // string, Nillable
    Point* points;            // PointerArray of Point, count in pointCount, Nillable
    std::int32_t pointCount;  // int, NotSerialized
    BinaryValue thumbnail;    // hexBinary, Nillable
};

// Operation 0, Scalars (rpc/encoded): one member of each kind of simple value.
struct ScalarsParameters {
    std::int32_t count;       // in int
    BSTR text;                // in string, Nillable
    bool flag;                // in boolean
    double ratio;             // in double
    BinaryValue data;         // in base64Binary, Nillable
    BinaryValue hex;          // in hexBinary, Nillable
    BSTR link;                // in anyURI
    BSTR when;                // in dateTime
    std::int32_t color;       // in Color
    std::int32_t internal;    // in int, NotSerialized
    std::uint64_t big;        // in unsignedLong
    float small;              // in float
    std::int32_t total;       // out int
    BSTR Result;              // out string, Nillable
    std::int8_t tiny;         // out byte, ReturnValue ("return")
};

// Operation 1, Arrays (rpc/encoded).
struct ArraysParameters {
    std::int32_t* numbers;       // in PointerArray of int, count in numberCount
    std::int32_t numberCount;    // in int, NotSerialized
    std::int32_t grid[6];        // in InlineArray of int {2, 2, 3}
    Point* points;               // in PointerArray of Point, count in pointCount
    std::int64_t pointCount;     // in long, NotSerialized
    Item* items;                 // in PointerArray of Item, count in itemCount
    std::int16_t itemCount;      // in short, NotSerialized
    BSTR names[2];               // in InlineArray of string {1, 2}
    std::int32_t colors[2];      // in InlineArray of Color {1, 2}
    BinaryValue blobs[2];        // in InlineArray of base64Binary {1, 2}
    std::int32_t* outNumbers;    // out PointerArray of int, count in outNumberCount
    std::int32_t outNumberCount; // out int, NotSerialized
    std::int32_t outGrid[6];     // out InlineArray of int {2, 2, 3}
    Point* outPoints;            // out PointerArray of Point, Nillable
    std::int32_t outPointCount;  // out int, NotSerialized
    BSTR* outNames;              // out PointerArray of string, Nillable
    std::int32_t outNameCount;   // out int, NotSerialized
};

// Operation 2, Structures (rpc/encoded).
struct StructuresParameters {
    Point point;         // in Point
    Shape shape;         // in Shape
    Point outPoint;      // out Point
    Shape outShape;      // out Shape, Nillable
    std::int32_t mode;   // in and out Color
};

// Operation 3, PadEcho (document/literal, parameters as document).
struct PadEchoParameters {
    BSTR text;    // in string
    BSTR Result;  // out string, Nillable
};

// Operation 4, PidEcho (document/literal, parameters in document).
struct PidEchoParameters {
    BSTR text;            // in string
    std::int32_t number;  // in int
    BSTR Result;          // out string, Nillable
};

// Operation 5, Chained (PAD, ChainedOut): the single out value is a Point whose
// fields are the children of the response wrapper; it starts the record.
struct ChainedParameters {
    Point result;  // out Point
    BSTR query;    // in string
};

// Operation 6, GrowList (document/literal, PID): out arrays whose length
// is only known at their end, one of them of structures holding arrays.
struct GrowListParameters {
    std::int32_t* values;      // out PointerArray of int
    std::int32_t valueCount;   // out int, NotSerialized
    Item* entries;             // out PointerArray of Item, Nillable
    std::int32_t entryCount;   // out int, NotSerialized
    Entry* groups;             // out PointerArray of Entry, Nillable
    std::int32_t groupCount;   // out int, NotSerialized
};

// Operation 7, Headed (rpc/encoded) with the header record TestHeaders.
struct HeadedParameters {
    BSTR text;    // in string
    BSTR Result;  // out string, Nillable
};

// Operation 8, OutHeaded (rpc/encoded) with the header record OutOnlyHeaders.
struct OutHeadedParameters {
    BSTR Result;  // out string, Nillable
};

// Operation 9, LiteralHeaded (PID) with the header record LiteralHeaders.
struct LiteralHeadedParameters {
    BSTR Result;  // out string, Nillable
};

// Operation 10, Catalog (rpc/encoded): every kind of out value together.
struct CatalogParameters {
    BSTR filter;              // in string, Nillable
    Entry* entries;           // out PointerArray of Entry, count in entryCount, Nillable
    std::uint8_t entryCount;  // out unsignedByte, NotSerialized: at most 255 entries
    Point corners[2];         // out InlineArray of Point {1, 2}
    std::int32_t shades[2];   // out InlineArray of Color {1, 2}
    BinaryValue picture;      // out base64Binary, Nillable
    BinaryValue digest;       // out hexBinary, Nillable
    BSTR remark;              // out string, IgnoreText, Nillable
    std::int32_t Az;          // out int: the same NameHash as BY
    std::int32_t BY;          // out int
};

// Operation 11, ChainedLate (PAD, ChainedOut): the out value, an Entry, is the
// record's second member, after the in member.
struct ChainedLateParameters {
    BSTR query;    // in string, Nillable
    Entry result;  // out Entry
};

// The header record of the tests (the proxy's "HeaderRecord"): the headers of
// every operation are members of this one record.
struct TestHeaderRecord {
    BSTR SessionId;           // Headed: in string, MustUnderstandHeader, own namespace
    Point Credentials;        // Headed: in Point (namespaced type: prefixed)
    BSTR ServerNote;          // Headed and OutHeaded: out string, Nillable
    std::int32_t Priority;    // Headed: in int, no namespace
    BSTR Trace;               // LiteralHeaded: in string
    std::int32_t Sequence;    // OutHeaded: out int, MustUnderstandHeader
};

namespace detail {

template <std::size_t N>
constexpr FieldDescriptor Member(const char (&name)[N], const OLECHAR (&wideName)[N], std::int32_t typeCode,
                                 std::uint32_t flags, std::size_t offset, const std::int32_t* dimensions = nullptr,
                                 const TypeDescriptor* typeDescriptor = nullptr, std::int32_t sizeFieldIndex = -1)
{
    return {NameHash(wideName), name, wideName, static_cast<std::int32_t>(N - 1), typeCode, flags, offset,
            dimensions, typeDescriptor, sizeFieldIndex, 0, nullptr, nullptr, 0};
}

template <std::size_t M>
constexpr FieldDescriptor WithNamespace(FieldDescriptor member, const char (&uri)[M], const OLECHAR (&wideUri)[M])
{
    member.namespaceHash = NameHash(wideUri);
    member.namespaceUri = uri;
    member.wideNamespaceUri = wideUri;
    member.namespaceLength = static_cast<std::int32_t>(M - 1);
    return member;
}

// An enumeration member: typeCode holds its value.
template <std::size_t N>
constexpr FieldDescriptor EnumMember(const char (&name)[N], const OLECHAR (&wideName)[N], std::int32_t value)
{
    return Member(name, wideName, value, 0, 0);
}

template <std::size_t N>
constexpr TypeDescriptor Descriptor(const char (&name)[N], const OLECHAR (&wideName)[N], DescriptorKind kind,
                                    const FieldDescriptor* fields, std::size_t recordSize, std::size_t outCount,
                                    std::uint32_t callFlags, std::int32_t returnIndex = -1)
{
    return {NameHash(wideName), name, wideName, static_cast<std::int32_t>(N - 1), static_cast<std::int32_t>(N - 1),
            kind, fields, recordSize, outCount, returnIndex, callFlags, 0, nullptr, nullptr, 0};
}

template <std::size_t M>
constexpr TypeDescriptor InNamespace(TypeDescriptor descriptor, const char (&uri)[M], const OLECHAR (&wideUri)[M])
{
    descriptor.namespaceHash = NameHash(wideUri);
    descriptor.namespaceUri = uri;
    descriptor.wideNamespaceUri = wideUri;
    descriptor.namespaceLength = static_cast<std::int32_t>(M - 1);
    return descriptor;
}

template <std::size_t N>
constexpr TypeDescriptor MessageDescriptor(const char (&name)[N], const OLECHAR (&wideName)[N], DescriptorKind kind,
                                           const FieldDescriptor* fields, std::size_t recordSize,
                                           std::size_t outCount, std::uint32_t callFlags, std::int32_t returnIndex = -1)
{
    return InNamespace(Descriptor(name, wideName, kind, fields, recordSize, outCount, callFlags, returnIndex),
                       MessageNamespace, WideMessageNamespace);
}

inline constexpr FieldDescriptor kEnd{};
inline constexpr std::uint32_t kIn = InParam;
inline constexpr std::uint32_t kOut = OutParam;
inline constexpr std::uint32_t kInOut = InParam | OutParam;
inline constexpr std::uint32_t kDocLiteralPad = PadStyle;
inline constexpr std::uint32_t kDocLiteralPid = PidStyle;

inline constexpr std::int32_t kGridDimensions[] = {2, 2, 3};
inline constexpr std::int32_t kPairDimensions[] = {1, 2};

// Color
inline constexpr FieldDescriptor kColorFields[] = {
    EnumMember("Red", OLESTR("Red"), Red),
    EnumMember("Green", OLESTR("Green"), Green),
    EnumMember("Blue", OLESTR("Blue"), Blue),
    kEnd,
};

}  // namespace detail

inline constexpr TypeDescriptor ColorEnumeration = detail::InNamespace(
    detail::Descriptor("Color", OLESTR("Color"), DescriptorKind::Enumeration, detail::kColorFields,
                       sizeof(std::int32_t), 1, 0),
    TypesNamespace, WideTypesNamespace);

namespace detail {

inline constexpr FieldDescriptor kPointFields[] = {
    Member("x", OLESTR("x"), XsdInt, 0, offsetof(Point, x)),
    Member("y", OLESTR("y"), XsdInt, 0, offsetof(Point, y)),
    Member("label", OLESTR("label"), XsdString, Nillable, offsetof(Point, label)),
    kEnd,
};

}  // namespace detail

inline constexpr TypeDescriptor PointStructure =
    detail::InNamespace(detail::Descriptor("Point", OLESTR("Point"), DescriptorKind::Structure, detail::kPointFields,
                                           sizeof(Point), 3, 0),
                        TypesNamespace, WideTypesNamespace);

namespace detail {

inline constexpr FieldDescriptor kShapeFields[] = {
    Member("origin", OLESTR("origin"), UserType, 0, offsetof(Shape, origin), nullptr, &PointStructure),
    Member("color", OLESTR("color"), UserType, 0, offsetof(Shape, color), nullptr, &ColorEnumeration),
    kEnd,
};

inline constexpr FieldDescriptor kItemFields[] = {
    Member("name", OLESTR("name"), XsdString, Nillable, offsetof(Item, name)),
    Member("price", OLESTR("price"), XsdDouble, 0, offsetof(Item, price)),
    kEnd,
};

}  // namespace detail

inline constexpr TypeDescriptor ShapeStructure =
    detail::InNamespace(detail::Descriptor("Shape", OLESTR("Shape"), DescriptorKind::Structure, detail::kShapeFields,
                                           sizeof(Shape), 2, 0),
                        TypesNamespace, WideTypesNamespace);

inline constexpr TypeDescriptor ItemStructure = detail::Descriptor(
    "Item", OLESTR("Item"), DescriptorKind::Structure, detail::kItemFields, sizeof(Item), 2, 0);

namespace detail {

inline constexpr FieldDescriptor kEntryFields[] = {
    Member("label", OLESTR("label"), XsdString, Nillable, offsetof(Entry, label)),
    Member("points", OLESTR("points"), UserType, PointerArray | Nillable, offsetof(Entry, points), nullptr,
           &PointStructure, 2),
    Member("pointCount", OLESTR("pointCount"), XsdInt, NotSerialized, offsetof(Entry, pointCount)),
    Member("thumbnail", OLESTR("thumbnail"), XsdHexBinary, Nillable, offsetof(Entry, thumbnail)),
    kEnd,
};

}  // namespace detail

inline constexpr TypeDescriptor EntryStructure = detail::Descriptor(
    "Entry", OLESTR("Entry"), DescriptorKind::Structure, detail::kEntryFields, sizeof(Entry), 3, 0);

namespace detail {

using S = ScalarsParameters;
inline constexpr FieldDescriptor kScalarsFields[] = {
    Member("count", OLESTR("count"), XsdInt, kIn | kRpcEncoded, offsetof(S, count)),
    Member("text", OLESTR("text"), XsdString, kIn | Nillable | kRpcEncoded, offsetof(S, text)),
    Member("flag", OLESTR("flag"), XsdBoolean, kIn | kRpcEncoded, offsetof(S, flag)),
    Member("ratio", OLESTR("ratio"), XsdDouble, kIn | kRpcEncoded, offsetof(S, ratio)),
    Member("data", OLESTR("data"), XsdBase64Binary, kIn | Nillable | kRpcEncoded, offsetof(S, data)),
    Member("hex", OLESTR("hex"), XsdHexBinary, kIn | Nillable | kRpcEncoded, offsetof(S, hex)),
    Member("link", OLESTR("link"), XsdAnyUri, kIn | kRpcEncoded, offsetof(S, link)),
    Member("when", OLESTR("when"), XsdDateTime, kIn | kRpcEncoded, offsetof(S, when)),
    Member("color", OLESTR("color"), UserType, kIn | kRpcEncoded, offsetof(S, color), nullptr, &ColorEnumeration),
    Member("internal", OLESTR("internal"), XsdInt, kIn | NotSerialized | kRpcEncoded, offsetof(S, internal)),
    Member("big", OLESTR("big"), XsdUnsignedLong, kIn | kRpcEncoded, offsetof(S, big)),
    Member("small", OLESTR("small"), XsdFloat, kIn | kRpcEncoded, offsetof(S, small)),
    Member("total", OLESTR("total"), XsdInt, kOut | kRpcEncoded, offsetof(S, total)),
    Member("Result", OLESTR("Result"), XsdString, kOut | Nillable | kRpcEncoded, offsetof(S, Result)),
    Member("tiny", OLESTR("tiny"), XsdByte, kOut | ReturnValue | Nillable | kRpcEncoded, offsetof(S, tiny)),
    kEnd,
};

using A = ArraysParameters;
inline constexpr FieldDescriptor kArraysFields[] = {
    /* 0 */ Member("numbers", OLESTR("numbers"), XsdInt, kIn | PointerArray | Nillable | kRpcEncoded,
                   offsetof(A, numbers), nullptr, nullptr, 1),
    /* 1 */ Member("numberCount", OLESTR("numberCount"), XsdInt, kIn | NotSerialized | kRpcEncoded,
                   offsetof(A, numberCount)),
    /* 2 */ Member("grid", OLESTR("grid"), XsdInt, kIn | InlineArray | kRpcEncoded, offsetof(A, grid),
                   kGridDimensions),
    /* 3 */ Member("points", OLESTR("points"), UserType, kIn | PointerArray | Nillable | kRpcEncoded,
                   offsetof(A, points), nullptr, &PointStructure, 4),
    /* 4 */ Member("pointCount", OLESTR("pointCount"), XsdLong, kIn | NotSerialized | kRpcEncoded,
                   offsetof(A, pointCount)),
    /* 5 */ Member("items", OLESTR("items"), UserType, kIn | PointerArray | Nillable | kRpcEncoded,
                   offsetof(A, items), nullptr, &ItemStructure, 6),
    /* 6 */ Member("itemCount", OLESTR("itemCount"), XsdShort, kIn | NotSerialized | kRpcEncoded,
                   offsetof(A, itemCount)),
    /* 7 */ Member("names", OLESTR("names"), XsdString, kIn | InlineArray | Nillable | kRpcEncoded,
                   offsetof(A, names), kPairDimensions),
    /* 8 */ Member("colors", OLESTR("colors"), UserType, kIn | InlineArray | kRpcEncoded, offsetof(A, colors),
                   kPairDimensions, &ColorEnumeration),
    /* 9 */ Member("blobs", OLESTR("blobs"), XsdBase64Binary, kIn | InlineArray | Nillable | kRpcEncoded,
                   offsetof(A, blobs), kPairDimensions),
    /* 10 */ Member("outNumbers", OLESTR("outNumbers"), XsdInt, kOut | PointerArray | kRpcEncoded,
                    offsetof(A, outNumbers), nullptr, nullptr, 11),
    /* 11 */ Member("outNumberCount", OLESTR("outNumberCount"), XsdInt, kOut | NotSerialized | kRpcEncoded,
                    offsetof(A, outNumberCount)),
    /* 12 */ Member("outGrid", OLESTR("outGrid"), XsdInt, kOut | InlineArray | kRpcEncoded, offsetof(A, outGrid),
                    kGridDimensions),
    /* 13 */ Member("outPoints", OLESTR("outPoints"), UserType, kOut | PointerArray | Nillable | kRpcEncoded,
                    offsetof(A, outPoints), nullptr, &PointStructure, 14),
    /* 14 */ Member("outPointCount", OLESTR("outPointCount"), XsdInt, kOut | NotSerialized | kRpcEncoded,
                    offsetof(A, outPointCount)),
    /* 15 */ Member("outNames", OLESTR("outNames"), XsdString, kOut | PointerArray | Nillable | kRpcEncoded,
                    offsetof(A, outNames), nullptr, nullptr, 16),
    /* 16 */ Member("outNameCount", OLESTR("outNameCount"), XsdInt, kOut | NotSerialized | kRpcEncoded,
                    offsetof(A, outNameCount)),
    kEnd,
};

using St = StructuresParameters;
inline constexpr FieldDescriptor kStructuresFields[] = {
    Member("point", OLESTR("point"), UserType, kIn | kRpcEncoded, offsetof(St, point), nullptr, &PointStructure),
    Member("shape", OLESTR("shape"), UserType, kIn | kRpcEncoded, offsetof(St, shape), nullptr, &ShapeStructure),
    Member("outPoint", OLESTR("outPoint"), UserType, kOut | kRpcEncoded, offsetof(St, outPoint), nullptr,
           &PointStructure),
    Member("outShape", OLESTR("outShape"), UserType, kOut | Nillable | kRpcEncoded, offsetof(St, outShape), nullptr,
           &ShapeStructure),
    Member("mode", OLESTR("mode"), UserType, kInOut | kRpcEncoded, offsetof(St, mode), nullptr, &ColorEnumeration),
    kEnd,
};

inline constexpr FieldDescriptor kPadEchoFields[] = {
    Member("text", OLESTR("text"), XsdString, kIn | kDocLiteralPad, offsetof(PadEchoParameters, text)),
    Member("Result", OLESTR("Result"), XsdString, kOut | Nillable | kDocLiteralPad,
           offsetof(PadEchoParameters, Result)),
    kEnd,
};

inline constexpr FieldDescriptor kPidEchoFields[] = {
    Member("text", OLESTR("text"), XsdString, kIn | kDocLiteralPid, offsetof(PidEchoParameters, text)),
    Member("number", OLESTR("number"), XsdInt, kIn | kDocLiteralPid, offsetof(PidEchoParameters, number)),
    Member("Result", OLESTR("Result"), XsdString, kOut | Nillable | kDocLiteralPid,
           offsetof(PidEchoParameters, Result)),
    kEnd,
};

inline constexpr FieldDescriptor kChainedFields[] = {
    Member("result", OLESTR("result"), UserType, kOut | kDocLiteralPad, offsetof(ChainedParameters, result), nullptr,
           &PointStructure),
    Member("query", OLESTR("query"), XsdString, kIn | Nillable | kDocLiteralPad, offsetof(ChainedParameters, query)),
    kEnd,
};

inline constexpr FieldDescriptor kGrowListFields[] = {
    Member("values", OLESTR("values"), XsdInt, kOut | PointerArray | Nillable | kDocLiteralPid,
           offsetof(GrowListParameters, values), nullptr, nullptr, 1),
    Member("valueCount", OLESTR("valueCount"), XsdInt, kOut | NotSerialized | kDocLiteralPid,
           offsetof(GrowListParameters, valueCount)),
    Member("entries", OLESTR("entries"), UserType, kOut | PointerArray | Nillable | kDocLiteralPid,
           offsetof(GrowListParameters, entries), nullptr, &ItemStructure, 3),
    Member("entryCount", OLESTR("entryCount"), XsdInt, kOut | NotSerialized | kDocLiteralPid,
           offsetof(GrowListParameters, entryCount)),
    Member("groups", OLESTR("groups"), UserType, kOut | PointerArray | Nillable | kDocLiteralPid,
           offsetof(GrowListParameters, groups), nullptr, &EntryStructure, 5),
    Member("groupCount", OLESTR("groupCount"), XsdInt, kOut | NotSerialized | kDocLiteralPid,
           offsetof(GrowListParameters, groupCount)),
    kEnd,
};

using C = CatalogParameters;
inline constexpr FieldDescriptor kCatalogFields[] = {
    /* 0 */ Member("filter", OLESTR("filter"), XsdString, kIn | Nillable | kRpcEncoded, offsetof(C, filter)),
    /* 1 */ Member("entries", OLESTR("entries"), UserType, kOut | PointerArray | Nillable | kRpcEncoded,
                   offsetof(C, entries), nullptr, &EntryStructure, 2),
    /* 2 */ Member("entryCount", OLESTR("entryCount"), XsdUnsignedByte, kOut | NotSerialized | kRpcEncoded,
                   offsetof(C, entryCount)),
    /* 3 */ Member("corners", OLESTR("corners"), UserType, kOut | InlineArray | kRpcEncoded, offsetof(C, corners),
                   kPairDimensions, &PointStructure),
    /* 4 */ Member("shades", OLESTR("shades"), UserType, kOut | InlineArray | kRpcEncoded, offsetof(C, shades),
                   kPairDimensions, &ColorEnumeration),
    /* 5 */ Member("picture", OLESTR("picture"), XsdBase64Binary, kOut | Nillable | kRpcEncoded,
                   offsetof(C, picture)),
    /* 6 */ Member("digest", OLESTR("digest"), XsdHexBinary, kOut | Nillable | kRpcEncoded, offsetof(C, digest)),
    /* 7 */ Member("remark", OLESTR("remark"), XsdString, kOut | IgnoreText | Nillable | kRpcEncoded,
                   offsetof(C, remark)),
    /* 8 */ Member("Az", OLESTR("Az"), XsdInt, kOut | kRpcEncoded, offsetof(C, Az)),
    /* 9 */ Member("BY", OLESTR("BY"), XsdInt, kOut | kRpcEncoded, offsetof(C, BY)),
    kEnd,
};

inline constexpr FieldDescriptor kChainedLateFields[] = {
    Member("query", OLESTR("query"), XsdString, kIn | Nillable | kDocLiteralPad,
           offsetof(ChainedLateParameters, query)),
    Member("result", OLESTR("result"), UserType, kOut | kDocLiteralPad, offsetof(ChainedLateParameters, result),
           nullptr, &EntryStructure),
    kEnd,
};

inline constexpr FieldDescriptor kHeadedFields[] = {
    Member("text", OLESTR("text"), XsdString, kIn | Nillable | kRpcEncoded, offsetof(HeadedParameters, text)),
    Member("Result", OLESTR("Result"), XsdString, kOut | Nillable | kRpcEncoded, offsetof(HeadedParameters, Result)),
    kEnd,
};

inline constexpr FieldDescriptor kResultOnlyFields[] = {
    Member("Result", OLESTR("Result"), XsdString, kOut | Nillable | kRpcEncoded,
           offsetof(OutHeadedParameters, Result)),
    kEnd,
};

inline constexpr FieldDescriptor kLiteralResultFields[] = {
    Member("Result", OLESTR("Result"), XsdString, kOut | Nillable | kDocLiteralPid,
           offsetof(LiteralHeadedParameters, Result)),
    kEnd,
};

using H = TestHeaderRecord;
inline constexpr FieldDescriptor kHeadedHeaderFields[] = {
    WithNamespace(Member("SessionId", OLESTR("SessionId"), XsdString,
                            kIn | MustUnderstandHeader | kRpcEncoded, offsetof(H, SessionId)),
                     HeaderNamespace, WideHeaderNamespace),
    Member("Credentials", OLESTR("Credentials"), UserType, kIn | kRpcEncoded, offsetof(H, Credentials), nullptr,
           &PointStructure),
    Member("ServerNote", OLESTR("ServerNote"), XsdString, kOut | Nillable | kRpcEncoded, offsetof(H, ServerNote)),
    Member("Priority", OLESTR("Priority"), XsdInt, kIn | kRpcEncoded, offsetof(H, Priority)),
    kEnd,
};

inline constexpr FieldDescriptor kOutOnlyHeaderFields[] = {
    Member("ServerNote", OLESTR("ServerNote"), XsdString, kOut | Nillable | kRpcEncoded, offsetof(H, ServerNote)),
    Member("Sequence", OLESTR("Sequence"), XsdInt, kOut | MustUnderstandHeader | kRpcEncoded, offsetof(H, Sequence)),
    kEnd,
};

inline constexpr FieldDescriptor kLiteralHeaderFields[] = {
    Member("Trace", OLESTR("Trace"), XsdString, kIn | Nillable | kDocLiteralPid, offsetof(H, Trace)),
    kEnd,
};

inline constexpr FieldDescriptor kNoHeaderFields[] = {kEnd};

}  // namespace detail

inline constexpr TypeDescriptor ScalarsOperation =
    detail::MessageDescriptor("Scalars", OLESTR("Scalars"), DescriptorKind::Operation, detail::kScalarsFields,
                              sizeof(ScalarsParameters), 3, kRpcEncoded, 14);
inline constexpr TypeDescriptor ArraysOperation =
    detail::MessageDescriptor("Arrays", OLESTR("Arrays"), DescriptorKind::Operation, detail::kArraysFields,
                              sizeof(ArraysParameters), 4, kRpcEncoded);
inline constexpr TypeDescriptor StructuresOperation =
    detail::MessageDescriptor("Structures", OLESTR("Structures"), DescriptorKind::Operation,
                              detail::kStructuresFields, sizeof(StructuresParameters), 3, kRpcEncoded);
inline constexpr TypeDescriptor PadEchoOperation =
    detail::MessageDescriptor("PadEcho", OLESTR("PadEcho"), DescriptorKind::Operation, detail::kPadEchoFields,
                              sizeof(PadEchoParameters), 1, PadStyle);
inline constexpr TypeDescriptor PidEchoOperation =
    detail::MessageDescriptor("PidEcho", OLESTR("PidEcho"), DescriptorKind::Operation, detail::kPidEchoFields,
                              sizeof(PidEchoParameters), 1, PidStyle);
inline constexpr TypeDescriptor ChainedOperation =
    detail::MessageDescriptor("Chained", OLESTR("Chained"), DescriptorKind::Operation, detail::kChainedFields,
                              sizeof(ChainedParameters), 1, PadStyle | ChainedOut);
inline constexpr TypeDescriptor GrowListOperation =
    detail::MessageDescriptor("GrowList", OLESTR("GrowList"), DescriptorKind::Operation, detail::kGrowListFields,
                              sizeof(GrowListParameters), 3, PidStyle);
inline constexpr TypeDescriptor HeadedOperation =
    detail::MessageDescriptor("Headed", OLESTR("Headed"), DescriptorKind::Operation, detail::kHeadedFields,
                              sizeof(HeadedParameters), 1, kRpcEncoded);
inline constexpr TypeDescriptor OutHeadedOperation =
    detail::MessageDescriptor("OutHeaded", OLESTR("OutHeaded"), DescriptorKind::Operation,
                              detail::kResultOnlyFields, sizeof(OutHeadedParameters), 1, kRpcEncoded);
inline constexpr TypeDescriptor LiteralHeadedOperation =
    detail::MessageDescriptor("LiteralHeaded", OLESTR("LiteralHeaded"), DescriptorKind::Operation,
                              detail::kLiteralResultFields, sizeof(LiteralHeadedParameters), 1, PidStyle);
inline constexpr TypeDescriptor CatalogOperation =
    detail::MessageDescriptor("Catalog", OLESTR("Catalog"), DescriptorKind::Operation, detail::kCatalogFields,
                              sizeof(CatalogParameters), 8, kRpcEncoded);
inline constexpr TypeDescriptor ChainedLateOperation =
    detail::MessageDescriptor("ChainedLate", OLESTR("ChainedLate"), DescriptorKind::Operation,
                              detail::kChainedLateFields, sizeof(ChainedLateParameters), 1, PadStyle | ChainedOut);

// Header sets: Headed has SessionId (mustUnderstand, own namespace),
// Credentials (a namespaced structure, so prefixed), Priority in, and
// ServerNote out; OutHeaded has only out headers; LiteralHeaded is literal.
inline constexpr TypeDescriptor HeadedHeaders =
    detail::MessageDescriptor("Headed", OLESTR("Headed"), DescriptorKind::HeaderSet, detail::kHeadedHeaderFields,
                              sizeof(TestHeaderRecord), 1, kRpcEncoded);
inline constexpr TypeDescriptor OutHeadedHeaders =
    detail::MessageDescriptor("OutHeaded", OLESTR("OutHeaded"), DescriptorKind::HeaderSet,
                              detail::kOutOnlyHeaderFields, sizeof(TestHeaderRecord), 2, kRpcEncoded);
inline constexpr TypeDescriptor LiteralHeadedHeaders =
    detail::MessageDescriptor("LiteralHeaded", OLESTR("LiteralHeaded"), DescriptorKind::HeaderSet,
                              detail::kLiteralHeaderFields, sizeof(TestHeaderRecord), 0, PidStyle);

// A header set without members, for the operations without headers.
template <const TypeDescriptor& Operation>
inline constexpr TypeDescriptor NoHeaders = detail::MessageDescriptor(
    "none", OLESTR("none"), DescriptorKind::HeaderSet, detail::kNoHeaderFields, 0, 0, Operation.callFlags);

enum OperationIndex : std::size_t {
    kScalars = 0,
    kArrays,
    kStructures,
    kPadEcho,
    kPidEcho,
    kChained,
    kGrowList,
    kHeaded,
    kOutHeaded,
    kLiteralHeaded,
    kCatalog,
    kChainedLate,
    kOperationCount,
};

inline constexpr const TypeDescriptor* OperationTable[kOperationCount + 1] = {
    &ScalarsOperation, &ArraysOperation, &StructuresOperation, &PadEchoOperation, &PidEchoOperation,
    &ChainedOperation, &GrowListOperation, &HeadedOperation, &OutHeadedOperation, &LiteralHeadedOperation,
    &CatalogOperation, &ChainedLateOperation, nullptr,
};

inline constexpr const TypeDescriptor* HeaderTable[kOperationCount + 1] = {
    &NoHeaders<ScalarsOperation>, &NoHeaders<ArraysOperation>, &NoHeaders<StructuresOperation>,
    &NoHeaders<PadEchoOperation>, &NoHeaders<PidEchoOperation>, &NoHeaders<ChainedOperation>,
    &NoHeaders<GrowListOperation>, &HeadedHeaders, &OutHeadedHeaders, &LiteralHeadedHeaders,
    &NoHeaders<CatalogOperation>, &NoHeaders<ChainedLateOperation>, nullptr,
};

}  // namespace corvel::soap::test_service

// The constant description tables that drive the SOAP engine: a TypeDescriptor
// per record type (an operation's parameters, its headers, a structure or an
// enumeration) and a FieldDescriptor per member. The request writer and the
// response reader walk these tables; only the proxy knows a particular service.
// Also here: the XML Schema simple-type codes with their names and in-memory
// sizes, the element-name hash, and the release rule for one simple value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/compat.h"
#include "soap/memory_manager.h"

namespace corvel::soap {

enum class DescriptorKind : std::int32_t {
    Enumeration = 1,
    Operation = 2,
    Structure = 3,
    HeaderSet = 5,
};

// One bit set shared by FieldDescriptor::flags and TypeDescriptor::callFlags.
// Unscoped so that the bits combine with | and test with & as plain integers.
enum DescriptorFlags : std::uint32_t {
    InParam = 0x1,
    OutParam = 0x2,
    ReturnValue = 0x4,  // the element is named "return"
    PointerArray = 0x8,
    InlineArray = 0x10,
    MustUnderstandHeader = 0x20,
    GrowArray = 0x40,
    ValuePending = 0x80,  // never stored in a table: set by the reader on its own levels
    NotSerialized = 0x200,
    Nillable = 0x400,
    RpcStyle = 0x1000,
    EncodedUse = 0x4000,
    PidStyle = 0x8000,
    PadStyle = 0x10000,
    ChainedOut = 0x20000,
    IgnoreText = 0x40000,
};

inline constexpr std::uint32_t kRpcEncoded = RpcStyle | EncodedUse;
// A member (or level) that holds an array of either kind.
inline constexpr std::uint32_t kArrayFlags = PointerArray | InlineArray;

// XML Schema built-in simple types. The value also fixes the in-memory form of
// a member of that type (see XsdTypeInfo::elementSize and BinaryValue).
enum XsdTypeCode : std::int32_t {
    XsdString = 0,
    XsdBoolean = 1,
    XsdFloat = 2,
    XsdDouble = 3,
    XsdDecimal = 4,
    XsdDuration = 5,
    XsdHexBinary = 6,
    XsdBase64Binary = 7,
    XsdAnyUri = 8,
    XsdId = 9,
    XsdIdRef = 10,
    XsdEntity = 11,
    XsdNotation = 12,
    XsdQName = 13,
    XsdNormalizedString = 14,
    XsdToken = 15,
    XsdLanguage = 16,
    XsdIdRefs = 17,
    XsdEntities = 18,
    XsdNmToken = 19,
    XsdNmTokens = 20,
    XsdName = 21,
    XsdNcName = 22,
    XsdInteger = 23,
    XsdNonPositiveInteger = 24,
    XsdNegativeInteger = 25,
    XsdLong = 26,
    XsdInt = 27,
    XsdShort = 28,
    XsdByte = 29,
    XsdNonNegativeInteger = 30,
    XsdUnsignedLong = 31,
    XsdUnsignedInt = 32,
    XsdUnsignedShort = 33,
    XsdUnsignedByte = 34,
    XsdPositiveInteger = 35,
    XsdDateTime = 36,
    XsdTime = 37,
    XsdDate = 38,
    XsdGMonth = 39,
    XsdGYearMonth = 40,
    XsdGYear = 41,
    XsdGMonthDay = 42,
    XsdGDay = 43,
    // Not simple types: the value is described by the member's typeDescriptor,
    // or the code is unknown. Simple-value readers and writers fail on them.
    UserType = -1,
    XsdUnknownType = -2,
    XsdErrorType = 0x1000,
};

inline constexpr std::int32_t kXsdTypeCount = 44;

// In-memory form of hexBinary and base64Binary. data is allocated through the
// client's IMemoryManager; null means no value.
struct BinaryValue {
    std::int32_t size;
    unsigned char* data;
};

struct FieldDescriptor;

struct TypeDescriptor {
    std::uint32_t hash;  // NameHash of wideName
    const char* name;
    const OLECHAR* wideName;
    std::int32_t nameLength;
    std::int32_t wideNameLength;
    DescriptorKind kind;
    const FieldDescriptor* fields;  // ends with an all-zero record
    std::size_t recordSize;
    std::size_t outCount;  // child elements the response reader expects
    std::int32_t returnIndex;  // -1: none
    std::uint32_t callFlags;
    std::uint32_t namespaceHash;  // 0: no namespace
    const char* namespaceUri;
    const OLECHAR* wideNamespaceUri;
    std::int32_t namespaceLength;
};

struct FieldDescriptor {
    std::uint32_t hash;  // 0 ends a fields array
    const char* name;
    const OLECHAR* wideName;
    std::int32_t nameLength;
    // An XsdTypeCode; UserType when typeDescriptor describes the value; for an
    // enumeration member, the member's numeric value.
    std::int32_t typeCode;
    std::uint32_t flags;
    std::size_t offset;
    // InlineArray: {n, extent 1, ..., extent n}.
    const std::int32_t* dimensions;
    const TypeDescriptor* typeDescriptor;
    // PointerArray: index in the same fields array of the integer count member.
    std::int32_t sizeFieldIndex;
    std::uint32_t namespaceHash;
    const char* namespaceUri;
    const OLECHAR* wideNamespaceUri;
    std::int32_t namespaceLength;
};

// h = h * 33 + c over the UTF-16 code units, modulo 2^32. The empty name hashes
// to 0, the value that ends a fields array. A hash match is always confirmed
// by length and text.
constexpr std::uint32_t NameHash(const OLECHAR* text, std::size_t length)
{
    std::uint32_t hash = 0;
    for (std::size_t i = 0; i < length; ++i) {
        hash = hash * 33u + static_cast<std::uint16_t>(text[i]);
    }
    return hash;
}

template <std::size_t N>
constexpr std::uint32_t NameHash(const OLECHAR (&text)[N])
{
    return NameHash(text, N - 1);
}

// Name and size of one simple type, indexed by its XsdTypeCode.
struct XsdTypeInfo {
    const char* name;
    const OLECHAR* wideName;
    std::int32_t nameLength;
    std::uint32_t elementSize;  // bytes one value occupies in a record or array
};

namespace detail {
template <std::size_t N>
constexpr XsdTypeInfo XsdType(const char (&name)[N], const OLECHAR (&wideName)[N], std::size_t elementSize)
{
    return {name, wideName, static_cast<std::int32_t>(N - 1), static_cast<std::uint32_t>(elementSize)};
}
}  // namespace detail

inline constexpr XsdTypeInfo kXsdTypeTable[kXsdTypeCount] = {
    detail::XsdType("string", OLESTR("string"), sizeof(BSTR)),
    detail::XsdType("boolean", OLESTR("boolean"), sizeof(bool)),
    detail::XsdType("float", OLESTR("float"), sizeof(float)),
    detail::XsdType("double", OLESTR("double"), sizeof(double)),
    detail::XsdType("decimal", OLESTR("decimal"), sizeof(double)),
    detail::XsdType("duration", OLESTR("duration"), sizeof(BSTR)),
    detail::XsdType("hexBinary", OLESTR("hexBinary"), sizeof(BinaryValue)),
    detail::XsdType("base64Binary", OLESTR("base64Binary"), sizeof(BinaryValue)),
    detail::XsdType("anyURI", OLESTR("anyURI"), sizeof(BSTR)),
    detail::XsdType("ID", OLESTR("ID"), sizeof(BSTR)),
    detail::XsdType("IDREF", OLESTR("IDREF"), sizeof(BSTR)),
    detail::XsdType("ENTITY", OLESTR("ENTITY"), sizeof(BSTR)),
    detail::XsdType("NOTATION", OLESTR("NOTATION"), sizeof(BSTR)),
    detail::XsdType("QName", OLESTR("QName"), sizeof(BSTR)),
    detail::XsdType("normalizedString", OLESTR("normalizedString"), sizeof(BSTR)),
    detail::XsdType("token", OLESTR("token"), sizeof(BSTR)),
    detail::XsdType("language", OLESTR("language"), sizeof(BSTR)),
    detail::XsdType("IDREFS", OLESTR("IDREFS"), sizeof(BSTR)),
    detail::XsdType("ENTITIES", OLESTR("ENTITIES"), sizeof(BSTR)),
    detail::XsdType("NMTOKEN", OLESTR("NMTOKEN"), sizeof(BSTR)),
    detail::XsdType("NMTOKENS", OLESTR("NMTOKENS"), sizeof(BSTR)),
    detail::XsdType("Name", OLESTR("Name"), sizeof(BSTR)),
    detail::XsdType("NCName", OLESTR("NCName"), sizeof(BSTR)),
    detail::XsdType("integer", OLESTR("integer"), sizeof(std::int64_t)),
    detail::XsdType("nonPositiveInteger", OLESTR("nonPositiveInteger"), sizeof(std::int64_t)),
    detail::XsdType("negativeInteger", OLESTR("negativeInteger"), sizeof(std::int64_t)),
    detail::XsdType("long", OLESTR("long"), sizeof(std::int64_t)),
    detail::XsdType("int", OLESTR("int"), sizeof(std::int32_t)),
    detail::XsdType("short", OLESTR("short"), sizeof(std::int16_t)),
    detail::XsdType("byte", OLESTR("byte"), sizeof(std::int8_t)),
    detail::XsdType("nonNegativeInteger", OLESTR("nonNegativeInteger"), sizeof(std::uint64_t)),
    detail::XsdType("unsignedLong", OLESTR("unsignedLong"), sizeof(std::uint64_t)),
    detail::XsdType("unsignedInt", OLESTR("unsignedInt"), sizeof(std::uint32_t)),
    detail::XsdType("unsignedShort", OLESTR("unsignedShort"), sizeof(std::uint16_t)),
    detail::XsdType("unsignedByte", OLESTR("unsignedByte"), sizeof(std::uint8_t)),
    detail::XsdType("positiveInteger", OLESTR("positiveInteger"), sizeof(std::uint64_t)),
    detail::XsdType("dateTime", OLESTR("dateTime"), sizeof(BSTR)),
    detail::XsdType("time", OLESTR("time"), sizeof(BSTR)),
    detail::XsdType("date", OLESTR("date"), sizeof(BSTR)),
    detail::XsdType("gMonth", OLESTR("gMonth"), sizeof(BSTR)),
    detail::XsdType("gYearMonth", OLESTR("gYearMonth"), sizeof(BSTR)),
    detail::XsdType("gYear", OLESTR("gYear"), sizeof(BSTR)),
    detail::XsdType("gMonthDay", OLESTR("gMonthDay"), sizeof(BSTR)),
    detail::XsdType("gDay", OLESTR("gDay"), sizeof(BSTR)),
};

static_assert(sizeof(bool) == 1, "a boolean member is one byte");
static_assert(kXsdTypeTable[XsdGDay].nameLength == 4);

constexpr bool IsSimpleTypeCode(std::int32_t typeCode)
{
    return typeCode >= 0 && typeCode < kXsdTypeCount;
}

// Null for the codes that are not simple types (UserType, -2, 0x1000, ...).
constexpr const XsdTypeInfo* XsdTypeInfoOf(std::int32_t typeCode)
{
    return IsSimpleTypeCode(typeCode) ? &kXsdTypeTable[typeCode] : nullptr;
}

// 0 for the codes that are not simple types.
constexpr std::size_t XsdElementSize(std::int32_t typeCode)
{
    return IsSimpleTypeCode(typeCode) ? kXsdTypeTable[typeCode].elementSize : 0;
}

constexpr bool IsBinaryTypeCode(std::int32_t typeCode)
{
    return typeCode == XsdHexBinary || typeCode == XsdBase64Binary;
}

// The codes 23 to 35: integers of every width and signedness.
constexpr bool IsIntegerTypeCode(std::int32_t typeCode)
{
    return typeCode >= XsdInteger && typeCode <= XsdPositiveInteger;
}

// Every code held as a counted string: string, duration, anyURI to NCName and
// dateTime to gDay.
namespace detail {
// Bits first to last set, for a set of type codes.
constexpr std::uint64_t TypeCodeRange(std::int32_t first, std::int32_t last)
{
    return ((std::uint64_t{2} << last) - 1) & ~((std::uint64_t{1} << first) - 1);
}
inline constexpr std::uint64_t kStringTypeCodes = TypeCodeRange(XsdString, XsdString) |
                                                  TypeCodeRange(XsdDuration, XsdDuration) |
                                                  TypeCodeRange(XsdAnyUri, XsdNcName) |
                                                  TypeCodeRange(XsdDateTime, XsdGDay);
static_assert(kXsdTypeCount <= 64);
}  // namespace detail

constexpr bool IsStringTypeCode(std::int32_t typeCode)
{
    return typeCode >= 0 && typeCode < kXsdTypeCount && ((detail::kStringTypeCodes >> typeCode) & 1u) != 0;
}

// Releases one simple value in place: a string is freed with the platform
// string allocator and nulled, a binary value's bytes are freed through memory
// and both its fields zeroed; numbers and booleans are left as they are.
void ReleaseSimpleValue(void* address, std::int32_t typeCode, IMemoryManager* memory);

// Namespaces of SOAP 1.1 and XML Schema 2001, narrow and wide.
inline constexpr char kSoapEnvelopeNamespace[] = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr OLECHAR kWideSoapEnvelopeNamespace[] = OLESTR("http://schemas.xmlsoap.org/soap/envelope/");
inline constexpr char kSoapEncodingNamespace[] = "http://schemas.xmlsoap.org/soap/encoding/";
inline constexpr OLECHAR kWideSoapEncodingNamespace[] = OLESTR("http://schemas.xmlsoap.org/soap/encoding/");
inline constexpr char kXsiNamespace[] = "http://www.w3.org/2001/XMLSchema-instance";
inline constexpr OLECHAR kWideXsiNamespace[] = OLESTR("http://www.w3.org/2001/XMLSchema-instance");
inline constexpr char kXsdNamespace[] = "http://www.w3.org/2001/XMLSchema";
inline constexpr OLECHAR kWideXsdNamespace[] = OLESTR("http://www.w3.org/2001/XMLSchema");

// Hashes the response reader compares first.
inline constexpr std::uint32_t kSoapEnvelopeNamespaceHash = 0x5D3574E2;
inline constexpr std::uint32_t kEnvelopeHash = 0xDBE6009E;
inline constexpr std::uint32_t kHeaderHash = 0xAF4DFFC9;
inline constexpr std::uint32_t kBodyHash = 0x0026168E;

static_assert(NameHash(kWideSoapEnvelopeNamespace) == kSoapEnvelopeNamespaceHash);
static_assert(sizeof(kSoapEnvelopeNamespace) - 1 == 41 && sizeof(kSoapEncodingNamespace) - 1 == 41 &&
              sizeof(kXsiNamespace) - 1 == 41);
static_assert(NameHash(OLESTR("Envelope")) == kEnvelopeHash);
static_assert(NameHash(OLESTR("Header")) == kHeaderHash);
static_assert(NameHash(OLESTR("Body")) == kBodyHash);
static_assert(NameHash(OLESTR("Test")) == 0x002FCCC0);
static_assert(NameHash(OLESTR("")) == 0);

}  // namespace corvel::soap

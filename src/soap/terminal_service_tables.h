// The description tables of the terminal's web service: eight rpc/encoded
// operations, each with a string Result and, for four of them, the string
// pStrIP; no headers. The proxy owns and exposes them; the request writer
// and the response reader walk them. All of it is constant data built at
// compile time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/compat.h"
#include "soap/soap_tables.h"

namespace corvel::soap::terminal_service {

namespace detail {

// Joins string literals at compile time into one NUL-terminated array.
template <std::size_t... N>
constexpr auto Concat(const char (&... parts)[N])
{
    std::array<char, (N + ...) - sizeof...(N) + 1> joined{};
    std::size_t position = 0;
    auto append = [&](const char* part, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) {
            joined[position++] = part[i];
        }
    };
    (append(parts, N - 1), ...);
    joined[position] = 0;
    return joined;
}

// The UTF-16 form of an ASCII text.
template <std::size_t N>
constexpr std::array<OLECHAR, N> Widen(const std::array<char, N>& text)
{
    std::array<OLECHAR, N> wide{};
    for (std::size_t i = 0; i < N; ++i) {
        wide[i] = static_cast<OLECHAR>(text[i]);
    }
    return wide;
}

}  // namespace detail

// The one place that names the host of the service's namespaces and action.
inline constexpr char ServiceNamespaceHost[] = "corvel.example";

inline constexpr auto MessageNamespaceText = detail::Concat("http://", ServiceNamespaceHost, "/message/");
inline constexpr auto WideMessageNamespaceText = detail::Widen(MessageNamespaceText);
inline constexpr auto ServiceNamespaceText = detail::Concat("http://", ServiceNamespaceHost, "/wsdl/");
inline constexpr auto WideServiceNamespaceText = detail::Widen(ServiceNamespaceText);
inline constexpr auto TestActionLineText =
    detail::Concat("SOAPAction: \"http://", ServiceNamespaceHost, "/action/Tamsvald.Test\"\r\n");

inline constexpr const char* MessageNamespace = MessageNamespaceText.data();
inline constexpr const OLECHAR* WideMessageNamespace = WideMessageNamespaceText.data();
inline constexpr std::int32_t MessageNamespaceLength = static_cast<std::int32_t>(MessageNamespaceText.size() - 1);
inline constexpr std::uint32_t MessageNamespaceHash =
    NameHash(WideMessageNamespaceText.data(), WideMessageNamespaceText.size() - 1);

inline constexpr const char* ServiceNamespace = ServiceNamespaceText.data();
inline constexpr const OLECHAR* WideServiceNamespace = WideServiceNamespaceText.data();
inline constexpr std::int32_t ServiceNamespaceLength = static_cast<std::int32_t>(ServiceNamespaceText.size() - 1);

// The HTTP header line naming the action of Test, CR LF included.
inline constexpr const char* TestActionLine = TestActionLineText.data();
inline constexpr std::size_t TestActionLineLength = TestActionLineText.size() - 1;

// Parameter records. Both members are counted strings, null before a call.
struct TestParameters {
    BSTR Result;
};
struct AddressParameters {
    BSTR pStrIP;
    BSTR Result;
};
using GetPasswordParameters = TestParameters;
using GetNameParameters = TestParameters;
using GetVersionParameters = TestParameters;
using GetSubnetParameters = AddressParameters;
using GetIpTypeParameters = AddressParameters;
using GetGatewayParameters = AddressParameters;
using GetMacParameters = AddressParameters;

inline constexpr std::uint32_t kMemberFlagsIn = InParam | Nillable | RpcStyle | EncodedUse;
inline constexpr std::uint32_t kMemberFlagsOut = OutParam | Nillable | RpcStyle | EncodedUse;

namespace detail {

constexpr FieldDescriptor StringMember(std::uint32_t hash, const char* name, const OLECHAR* wideName,
                                       std::uint32_t flags, std::size_t offset)
{
    return {hash, name, wideName, 6, XsdString, flags, offset, nullptr, nullptr, -1, 0, nullptr, nullptr, 0};
}

constexpr FieldDescriptor PStrIP(std::size_t offset)
{
    return StringMember(0x0B6142E2, "pStrIP", OLESTR("pStrIP"), kMemberFlagsIn, offset);
}

constexpr FieldDescriptor Result(std::size_t offset)
{
    return StringMember(0xC6ABBE1F, "Result", OLESTR("Result"), kMemberFlagsOut, offset);
}

inline constexpr FieldDescriptor kEndOfFields{};

inline constexpr FieldDescriptor kResultFields[] = {Result(offsetof(TestParameters, Result)), kEndOfFields};
inline constexpr FieldDescriptor kAddressFields[] = {PStrIP(offsetof(AddressParameters, pStrIP)),
                                                     Result(offsetof(AddressParameters, Result)), kEndOfFields};
inline constexpr FieldDescriptor kNoFields[] = {kEndOfFields};

template <std::size_t N>
constexpr TypeDescriptor Descriptor(std::uint32_t hash, const char (&name)[N], const OLECHAR (&wideName)[N],
                                    DescriptorKind kind, const FieldDescriptor* fields, std::size_t recordSize,
                                    std::size_t outCount)
{
    return {hash,        name,       wideName, static_cast<std::int32_t>(N - 1), static_cast<std::int32_t>(N - 1),
            kind,        fields,     recordSize, outCount, -1, kRpcEncoded, MessageNamespaceHash,
            MessageNamespace, WideMessageNamespace, MessageNamespaceLength};
}

template <std::size_t N>
constexpr TypeDescriptor Operation(std::uint32_t hash, const char (&name)[N], const OLECHAR (&wideName)[N],
                                   bool withAddress)
{
    return withAddress ? Descriptor(hash, name, wideName, DescriptorKind::Operation, kAddressFields,
                                    sizeof(AddressParameters), 1)
                       : Descriptor(hash, name, wideName, DescriptorKind::Operation, kResultFields,
                                    sizeof(TestParameters), 1);
}

template <std::size_t N>
constexpr TypeDescriptor Headers(std::uint32_t hash, const char (&name)[N], const OLECHAR (&wideName)[N])
{
    return Descriptor(hash, name, wideName, DescriptorKind::HeaderSet, kNoFields, 0, 0);
}

}  // namespace detail

inline constexpr TypeDescriptor GetSubnetOperation = detail::Operation(0x2FF8D931, "GetSubnet", OLESTR("GetSubnet"), true);
inline constexpr TypeDescriptor TestOperation = detail::Operation(0x002FCCC0, "Test", OLESTR("Test"), false);
inline constexpr TypeDescriptor GetIpTypeOperation = detail::Operation(0x18434B3B, "GetIpType", OLESTR("GetIpType"), true);
inline constexpr TypeDescriptor GetGatewayOperation =
    detail::Operation(0x65F30DF2, "GetGateway", OLESTR("GetGateway"), true);
inline constexpr TypeDescriptor GetPasswordOperation =
    detail::Operation(0x714DB193, "GetPassword", OLESTR("GetPassword"), false);
inline constexpr TypeDescriptor GetNameOperation = detail::Operation(0x4D5F6C21, "GetName", OLESTR("GetName"), false);
inline constexpr TypeDescriptor GetVersionOperation =
    detail::Operation(0xF1D48246, "GetVersion", OLESTR("GetVersion"), false);
inline constexpr TypeDescriptor GetMacOperation = detail::Operation(0xAD02DFF1, "GetMac", OLESTR("GetMac"), true);

inline constexpr TypeDescriptor GetSubnetHeaders = detail::Headers(0x2FF8D931, "GetSubnet", OLESTR("GetSubnet"));
inline constexpr TypeDescriptor TestHeaders = detail::Headers(0x002FCCC0, "Test", OLESTR("Test"));
inline constexpr TypeDescriptor GetIpTypeHeaders = detail::Headers(0x18434B3B, "GetIpType", OLESTR("GetIpType"));
inline constexpr TypeDescriptor GetGatewayHeaders = detail::Headers(0x65F30DF2, "GetGateway", OLESTR("GetGateway"));
inline constexpr TypeDescriptor GetPasswordHeaders =
    detail::Headers(0x714DB193, "GetPassword", OLESTR("GetPassword"));
inline constexpr TypeDescriptor GetNameHeaders = detail::Headers(0x4D5F6C21, "GetName", OLESTR("GetName"));
inline constexpr TypeDescriptor GetVersionHeaders = detail::Headers(0xF1D48246, "GetVersion", OLESTR("GetVersion"));
inline constexpr TypeDescriptor GetMacHeaders = detail::Headers(0xAD02DFF1, "GetMac", OLESTR("GetMac"));

inline constexpr std::size_t kOperationCount = 8;

// Null-terminated; an operation is identified by its index in both tables.
inline constexpr const TypeDescriptor* OperationTable[kOperationCount + 1] = {
    &GetSubnetOperation,   &TestOperation,    &GetIpTypeOperation,   &GetGatewayOperation,
    &GetPasswordOperation, &GetNameOperation, &GetVersionOperation, &GetMacOperation,
    nullptr,
};
inline constexpr const TypeDescriptor* HeaderTable[kOperationCount + 1] = {
    &GetSubnetHeaders,   &TestHeaders,    &GetIpTypeHeaders,   &GetGatewayHeaders,
    &GetPasswordHeaders, &GetNameHeaders, &GetVersionHeaders, &GetMacHeaders,
    nullptr,
};

// The proxy passes this index for Test.
inline constexpr std::size_t kTestOperationIndex = 1;

}  // namespace corvel::soap::terminal_service

// The style-dependent pieces of a SOAP 1.1 request envelope: CResponseGenerator
// and its three writers (rpc/encoded; document/literal with parameters as the
// document, PAD, or in a document, PID). The request writer picks one per
// operation and calls it for the body, the wrapper, each member and the
// header. Also the escaping of string values into printable ASCII.
#pragma once

#include <cstddef>

#include "platform/compat.h"
#include "soap/soap_tables.h"
#include "soap/write_stream.h"

namespace corvel::soap {

// Every operation takes the stream first, gives E_FAIL when the stream or a
// needed descriptor is null, and returns the first failing Write's result.
class CResponseGenerator {
public:
    virtual ~CResponseGenerator() = default;

    virtual HRESULT WriteBodyStart(IWriteStream* stream) = 0;
    virtual HRESULT WriteWrapperStart(IWriteStream* stream, const TypeDescriptor* record, bool clientRole) = 0;
    virtual HRESULT WriteWrapperEnd(IWriteStream* stream, const TypeDescriptor* record, bool clientRole) = 0;
    // Leaves the start tag open: the member writer closes it.
    virtual HRESULT WriteMemberStart(IWriteStream* stream, const TypeDescriptor* record,
                                     const FieldDescriptor* member);

    HRESULT WriteMemberEnd(IWriteStream* stream, const TypeDescriptor* record, const FieldDescriptor* member);
    HRESULT WriteHeaderStart(IWriteStream* stream, const TypeDescriptor* record);
    HRESULT WriteHeaderEnd(IWriteStream* stream);
    HRESULT WriteBodyEnd(IWriteStream* stream);
    HRESULT WriteEnvelopeEnd(IWriteStream* stream);

protected:
    CResponseGenerator() = default;
};

// rpc/encoded: the body declares the SOAP encoding, the operation wrapper is
// snp:-prefixed with its namespace declared on it.
class CRpcEncodedGenerator : public CResponseGenerator {
public:
    HRESULT WriteBodyStart(IWriteStream* stream) override;
    HRESULT WriteWrapperStart(IWriteStream* stream, const TypeDescriptor* record, bool clientRole) override;
    HRESULT WriteWrapperEnd(IWriteStream* stream, const TypeDescriptor* record, bool clientRole) override;
};

// document/literal: the operation namespace is the wrapper's default namespace.
class CDocLiteralGenerator : public CResponseGenerator {
public:
    HRESULT WriteBodyStart(IWriteStream* stream) override;
    HRESULT WriteWrapperStart(IWriteStream* stream, const TypeDescriptor* record, bool clientRole) override;
    HRESULT WriteWrapperEnd(IWriteStream* stream, const TypeDescriptor* record, bool clientRole) override;
};

// Parameters in document: a wrapper element named after the operation.
class CPIDGenerator : public CDocLiteralGenerator {};

// Parameters as document: no operation wrapper (the writer leaves it out); each
// member of a PAD record declares the record's namespace as its default.
class CPADGenerator : public CDocLiteralGenerator {
public:
    HRESULT WriteMemberStart(IWriteStream* stream, const TypeDescriptor* record,
                             const FieldDescriptor* member) override;
};

// Element content escapes &, < and >; attribute values also " and '.
enum class EscapeMode {
    Content,
    Attribute,
};

// Units of the escaped form: &amp; &lt; &gt; (&quot; &apos;), a surrogate pair
// as &#x%06X; of its code point, and any other unit outside 0x20..0x7E (tab,
// line ends, a lone surrogate) as &#x%04X;. The result is printable ASCII.
std::size_t EscapedXmlLength(const OLECHAR* text, std::size_t length, EscapeMode mode);
// out must hold EscapedXmlLength units; returns the units written.
std::size_t EscapeXmlText(const OLECHAR* text, std::size_t length, OLECHAR* out, EscapeMode mode);

// Writes a string value as escaped element content, one byte per unit, without
// building the escaped copy first. A null text is E_INVALIDARG; an empty one
// writes nothing.
HRESULT WriteEscapedString(IWriteStream* stream, const OLECHAR* text, std::size_t length);

}  // namespace corvel::soap

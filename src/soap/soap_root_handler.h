// CSoapRootHandler: the SAX2 content handler that reads a SOAP 1.1 response
// envelope into an operation's parameter record, driven by the description
// tables, and the entry to the request writer. The proxy derives from it and
// supplies the tables, the namespace and the header record. No document tree
// is built: a stack of ParseLevels, one per open element that fills a record,
// an array or one value, checks every element as it arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/compat.h"
#include "platform/ole_text.h"
#include "platform/sax.h"
#include "soap/memory_manager.h"
#include "soap/skip_handler.h"
#include "soap/soap_read_failure.h"
#include "soap/soap_tables.h"
#include "soap/table_walk.h"
#include "soap/string_builder.h"
#include "soap/write_stream.h"

namespace corvel::soap {

// An attribute's value by namespace and local name, names known when the
// program is built.
inline HRESULT AttributeValue(ISAXAttributes* attributes, platform::NameText uri, platform::NameText localName,
                              const OLECHAR** value, int* valueLength)
{
    return attributes->getValueFromName(uri.text, uri.length, localName.text, localName.length, value, valueLength);
}

// An attribute's value by its qualified name.
inline HRESULT AttributeValue(ISAXAttributes* attributes, platform::NameText qualifiedName, const OLECHAR** value,
                              int* valueLength)
{
    return attributes->getValueFromQName(qualifiedName.text, qualifiedName.length, value, valueLength);
}

// Thrown by WriteRequest when it is called without the bottom level pushed.
class SoapException : public std::exception {
public:
    explicit SoapException(HRESULT code) : code_(code) {}
    HRESULT Code() const { return code_; }
    const char* what() const noexcept override { return "SOAP request without an operation"; }

private:
    HRESULT code_;
};

// Members already read in a record, one bit per index of descriptor.fields.
// The first 64 members need no heap; longer records grow the set.
class SeenSet {
public:
    // False when the bit was already set.
    bool Insert(std::size_t index);
    bool Contains(std::size_t index) const;

private:
    std::uint64_t first_ = 0;
    std::vector<std::uint64_t> more_;
};

struct ParseLevel {
    void* target = nullptr;
    std::uint32_t levelFlags = 0;
    // Pointer array: item slots allocated.
    std::size_t capacity = 0;
    std::size_t expected = 0;
    std::size_t received = 0;
    const TypeDescriptor* descriptor = nullptr;
    const FieldDescriptor* field = nullptr;
    // Pointer array: its count member, once NextItemSlot has found it.
    const FieldDescriptor* countMember = nullptr;
    SeenSet seen;
    unsigned openDepth = 0;
};

enum class ReaderState {
    ReadStart,       // before Envelope
    ReadEnvelope,    // inside Envelope
    ReadHeader,      // inside Header
    ReadHeaderDone,  // Header has ended
    ReadBody,        // inside Body, before its first child
    ReadCall,        // inside the operation's wrapper, reading members
    ReadDone,        // Body has ended: nothing more is read into the record
};

// The MustUnderstand fault code, reported for an unknown header that must be understood.
inline constexpr unsigned kMustUnderstandFaultCode = 200;

// What one response may make the reader hold. Every value the reader keeps
// for the caller (strings, binary bytes, array blocks) and every pending
// reference is counted at what the heap takes for it, and a parse that would
// hold more than kHeldBytesPerResponseByte times the bytes read so far from
// the response, plus kHeldBytesAllowance, fails with E_OUTOFMEMORY. The
// rest is transient and follows from the document itself: the SAX reader's
// joined text and the text being gathered (each at most 2 bytes per response
// byte, released when large), the SAX reader's copy of the document and its
// parser (each about R, bounded by kMaxSaxParserBytes), and at most two levels
// per open element (the SAX reader bounds the nesting). So one response of R
// bytes costs the reader at most about 12 x R plus a constant
// (kReaderBytesPerResponseByte), which the reader tests check with the most
// expensive documents they can build. After the parse only the values stay,
// and the SAX reader's buffers of up to a few MiB, kept for its next parse
// until the proxy and its reader go.
inline constexpr std::size_t kHeldBytesPerResponseByte = 8;
inline constexpr std::size_t kHeldBytesAllowance = 64 * 1024;
inline constexpr std::size_t kReaderBytesPerResponseByte = 12;

class CSoapRootHandler : public ISAXContentHandlerImpl {
public:
    CSoapRootHandler();
    CSoapRootHandler(const CSoapRootHandler&) = delete;
    CSoapRootHandler& operator=(const CSoapRootHandler&) = delete;

    // SAX callbacks (the reader's content handler during ParseResponse).
    HRESULT STDMETHODCALLTYPE startDocument() override;
    HRESULT STDMETHODCALLTYPE startElement(const OLECHAR* namespaceUri, int namespaceUriLength,
                                           const OLECHAR* localName, int localNameLength,
                                           const OLECHAR* qualifiedName, int qualifiedNameLength,
                                           ISAXAttributes* attributes) override;
    HRESULT STDMETHODCALLTYPE endElement(const OLECHAR* namespaceUri, int namespaceUriLength,
                                         const OLECHAR* localName, int localNameLength,
                                         const OLECHAR* qualifiedName, int qualifiedNameLength) override;
    HRESULT STDMETHODCALLTYPE characters(const OLECHAR* text, int length) override;

    // Supplied by the proxy. Both tables are null-terminated and parallel:
    // entry i of each describes operation i.
    virtual const TypeDescriptor* const* OperationTable() = 0;
    virtual const TypeDescriptor* const* HeaderTable() = 0;
    virtual const OLECHAR* ServiceNamespace(int* length) = 0;
    // Not used by the reader; null by default.
    virtual const OLECHAR* ServiceName(int* length);
    virtual const char* ServiceNamespaceNarrow(int* length) = 0;
    // The server role's dispatch; the client has none.
    virtual HRESULT InvokeOperation(std::size_t operationIndex);
    virtual void* HeaderRecord() = 0;

    virtual ~CSoapRootHandler();

    // Called for an unknown header that must be understood (code 200, no text).
    virtual HRESULT OnMustUnderstandFault(unsigned code, const OLECHAR* text, int length);
    // Chooses the operation when the Body's first child starts.
    virtual HRESULT SelectOperation(const OLECHAR* namespaceUri, int namespaceUriLength, const OLECHAR* localName,
                                    int localNameLength);
    // Runs xmlReader over a response body; fails with the reader's code, or
    // E_FAIL when a reference was never resolved.
    virtual HRESULT ParseResponse(IStream* stream);
    // Writes the request envelope of the operation whose bottom level is
    // pushed. Throws SoapException(E_INVALIDARG) when no level is pushed;
    // E_FAIL when the tables lack the operation.
    virtual HRESULT WriteRequest(IWriteStream* stream);
    // Frees the values held by the parameter record and the header record,
    // leaving null or zero behind.
    virtual HRESULT ReleaseParameters();
    virtual HRESULT ReleaseHeaders();

    // Appends a level (received 0, nothing seen, openDepth = depth) and makes
    // it the top; E_OUTOFMEMORY when the stack cannot grow.
    HRESULT PushLevel(void* target, const TypeDescriptor* descriptor, const FieldDescriptor* field,
                      std::uint32_t levelFlags, std::size_t capacity, std::size_t expected);
    // The call's bottom level for operation index: the header record as
    // HeaderTable()[index] describes it; index becomes operationIndex.
    // E_FAIL when the table lacks it.
    HRESULT PushHeaderLevel(std::size_t index);
    // After a call: empties the levels, state ReadStart, no parameter record,
    // no failure recorded.
    void ResetParseState();
    bool HasLevels() const { return !levels.empty(); }

    // Records reason as the parse's failure unless one is recorded already,
    // and returns result: the HRESULT that travels up is the caller's own.
    HRESULT Fail(SoapReadFailure reason, HRESULT result = E_FAIL);

    // Members in the order the reader keeps them.
    std::vector<ParseLevel> levels;
    ReaderState state = ReaderState::ReadStart;
    // Why the last parse failed: its first rejection; none after a success.
    SoapReadFailure readFailure = SoapReadFailure::none;
    // The call's operation: the entry of OperationTable() and HeaderTable()
    // the bottom level was pushed for.
    std::size_t operationIndex = 0;
    platform::ComRef<ISAXXMLReader> xmlReader;
    CSAXStringBuilder textGatherer;
    CSkipHandler skipper;
    IMemoryManager* memory;
    bool clientRole = false;
    void* parameterRecord = nullptr;
    bool noChildren = false;
    bool textPending = false;
    unsigned depth = 0;
    std::unordered_map<std::basic_string<OLECHAR>, ParseLevel> references;

    // Bytes counted against the response's allowance in this parse, and the
    // bytes read from the response so far.
    std::size_t heldBytes = 0;
    std::size_t responseBytes = 0;
    // Counts bytes the reader is about to hold for this response; E_OUTOFMEMORY
    // when they exceed what the response's size allows.
    HRESULT Charge(std::size_t bytes);

    // Arrays and references (soap_arrays.cpp).
    HRESULT StartArray(const ParseLevel& enclosing, const FieldDescriptor* member, ISAXAttributes* attributes);
    // 1 when the element is not a reference, S_OK after recording it.
    HRESULT ReadReference(const FieldDescriptor* member, void* address, ISAXAttributes* attributes,
                          std::uint32_t addFlags, std::uint32_t removeFlags);
    // 1 when the element is not the target of a pending reference.
    HRESULT ResolveReference(ISAXAttributes* attributes);

protected:
    // The open level: the last of the stack, which is never empty when asked.
    ParseLevel& Top() { return levels.back(); }
    bool IsRpcEncoded() const;
    // Whether the reader takes member: one that travels from the other side.
    bool IsReadMember(const FieldDescriptor& member) const { return IsReadBy(member, SideOf(clientRole)); }
    // A start tag inside the header or the operation: finds the member it
    // names (StartMember), then opens its value (StartValue).
    HRESULT ReadMember(const OLECHAR* localName, int localNameLength, ISAXAttributes* attributes);
    // Which member the start tag names: S_OK with *member set, or a failure;
    // S_FALSE when the tag was handled whole (a chained structure or a
    // reference's target opened, an unknown header skipped).
    HRESULT StartMember(const OLECHAR* localName, int localNameLength, ISAXAttributes* attributes,
                        const FieldDescriptor** member);
    // Opens the value of member, an item of the open array when arrayItem:
    // a nil, an array, a reference, a structure or a simple value.
    HRESULT StartValue(const FieldDescriptor* member, bool arrayItem, ISAXAttributes* attributes);
    // An end tag inside the operation or the header: converts the value's
    // text, checks the level that ends and pops it.
    HRESULT EndMember(const OLECHAR* namespaceUri, int namespaceUriLength, const OLECHAR* localName,
                      int localNameLength);
    // The start tags of the envelope's own order, and those after the Body.
    HRESULT StartEnvelopeElement(const OLECHAR* namespaceUri, int namespaceUriLength, const OLECHAR* localName,
                                 int localNameLength);
    HRESULT StartAfterBody(const OLECHAR* namespaceUri, int namespaceUriLength, const OLECHAR* localName,
                           int localNameLength);
    // The open element is passed over whole by the skipper.
    HRESULT SkipElement();
    HRESULT UnknownHeader(ISAXAttributes* attributes);
    // The start tag inside a ChainedOut operation opens its out structure.
    HRESULT StartChainedOut(const OLECHAR* localName, int localNameLength, ISAXAttributes* attributes);
    // Whether the start tag carries a true xsi:nil.
    bool IsNil(ISAXAttributes* attributes) const;
    HRESULT CheckEnd(const ParseLevel& level);
    HRESULT CheckRequiredHeaders();
    void PopLevel();
    // Array helpers: room for one more item, and the next item's address.
    HRESULT MakeRoomForItem(ParseLevel& level);
    void* NextItemSlot(ParseLevel& level);
    void ReleaseRecord(const TypeDescriptor* descriptor, void* record);
    HRESULT ConvertText(const OLECHAR* text, int length);
    HRESULT ConvertValueText();
    // After an array block moved: pending references into it follow it.
    void RebaseReferences(const char* oldBlock, std::size_t oldBytes, char* newBlock);

private:
    // Text of the open simple value, converted whole at its end tag.
    std::basic_string<OLECHAR> valueText_;
    bool valueTextReceived_ = false;
    // depth at the Body's start tag, 0 before it.
    unsigned bodyDepth_ = 0;
};

// What the heap takes for a block of byteCount bytes: the bytes, the block's
// header, rounded up to the heap's granularity, never less than its smallest block.
constexpr std::size_t HeapBlockBytes(std::size_t byteCount)
{
    std::size_t rounded = (byteCount + 8 + 15) & ~std::size_t{15};
    return rounded < 32 ? 32 : rounded;
}

}  // namespace corvel::soap

// The response reader's envelope walk, members and simple values (arrays and
// references are in soap_arrays.cpp); the proxy's ParseResponse runs it as the
// SAX reader's content handler, one response at a time.
//
// The reader's state (ReaderState) and the callback that moves it:
//   ReadStart      -> ReadEnvelope     startElement: Envelope
//   ReadEnvelope   -> ReadHeader       startElement: Header
//   ReadEnvelope   -> ReadBody         startElement: Body (bodyDepth_ is set)
//   ReadHeader     -> ReadHeaderDone   endElement: Header, the bottom level alone left
//   ReadHeaderDone -> ReadBody         startElement: Body
//   ReadBody       -> ReadCall         startElement: the operation's wrapper (SelectOperation)
//   ReadBody, ReadCall -> ReadDone     endElement: the Body's own end tag
//   any            -> ReadStart        startDocument, ResetParseState
// Other envelope-level elements leave the state as it is; in ReadDone only
// namespace-qualified elements are taken, and skipped whole. Any element out
// of this order fails the parse (E_FAIL, unexpected element), and the SAX
// reader stops there.
//
// Flags beside the state:
//   noChildren   the open element is a simple value, a nil or an href: a
//                start tag inside it fails. Set by ReadMember (and the array
//                and reference readers); cleared by endElement.
//   textPending  the open simple or enumeration value has had no text yet:
//                an end tag now fails. Set by ReadMember with noChildren,
//                cleared by characters. textPending implies noChildren; a
//                gathered value (string, base64Binary) sets noChildren alone,
//                as CSAXStringBuilder delivers its text and end tag itself.
//   ValuePending on a level (levelFlags): the level is one value whose text
//                is converted at its end tag (ConvertValueText) or, when
//                gathered, at once (ConvertText). It stands beside the array
//                flags on the level of a simple array item; a structure's
//                level never carries it.
//   valueTextReceived_  text of the open value has been appended to valueText_.
// The levels stack (PushLevel, PopLevel) holds at the bottom the header
// record (PushHeaderLevel), then the operation's parameters (SelectOperation)
// and one level per open structure, array or value; the last one is the top.
// operationIndex names the call's entry of the tables.
//
// Every rejection records its reason (readFailure, the first one wins) through
// Fail, which returns the HRESULT the rejection has always returned.
#include "soap/soap_root_handler.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "soap/request_writer.h"
#include "soap/xsd_value.h"

namespace corvel::soap {
namespace {

constexpr std::size_t kLevelGrowth = 16;
constexpr std::size_t kReferenceBuckets = 17;
// A ReturnValue member's element is named "return", whatever the member's own name.
constexpr OLECHAR kReturnName[] = OLESTR("return");
constexpr std::uint32_t kReturnHash = NameHash(kReturnName);
// Text buffers kept from one value to the next up to this many code units;
// beyond it they are given back, so one large value is not held for the
// proxy's lifetime.
constexpr std::size_t kRetainedTextUnits = 32 * 1024;

using platform::SameText;

bool IsName(const OLECHAR* text, int length, platform::NameText name)
{
    return SameText(text, length, name);
}

bool IsEnvelopeNamespace(const OLECHAR* uri, int length)
{
    return IsName(uri, length, kWideSoapEnvelopeNamespace);
}

// Entry index of a null-terminated table, or null when the table ends before it.
const TypeDescriptor* TableEntry(const TypeDescriptor* const* table, std::size_t index)
{
    if (table == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; i <= index; ++i) {
        if (table[i] == nullptr) {
            return nullptr;
        }
    }
    return table[index];
}

void ReleaseText(std::basic_string<OLECHAR>& text)
{
    text.clear();
    if (text.capacity() > kRetainedTextUnits) {
        std::basic_string<OLECHAR>().swap(text);
    }
}

// The response stream as the SAX reader sees it: every read is passed on and
// its bytes counted, so that what the reader may hold follows the response's size.
class CountingStream final : public IStream {
public:
    CountingStream(IStream* inner, std::size_t* bytesRead) : inner_(inner), bytesRead_(bytesRead) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IStream) || IsEqualIID(iid, IID_ISequentialStream)) {
            *object = static_cast<IStream*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on ParseResponse's stack for one parse: counts nothing.
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE Read(void* destination, ULONG byteCount, ULONG* bytesRead) override
    {
        ULONG read = 0;
        HRESULT result = inner_->Read(destination, byteCount, &read);
        *bytesRead_ += read;
        if (bytesRead != nullptr) {
            *bytesRead = read;
        }
        return result;
    }
    HRESULT STDMETHODCALLTYPE Write(const void* source, ULONG byteCount, ULONG* written) override
    {
        return inner_->Write(source, byteCount, written);
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override
    {
        return inner_->Seek(move, origin, newPosition);
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override { return inner_->SetSize(size); }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER byteCount, ULARGE_INTEGER* read,
                                     ULARGE_INTEGER* written) override
    {
        return inner_->CopyTo(target, byteCount, read, written);
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override { return inner_->Commit(flags); }
    HRESULT STDMETHODCALLTYPE Revert() override { return inner_->Revert(); }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER byteCount, DWORD type) override
    {
        return inner_->LockRegion(offset, byteCount, type);
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER byteCount, DWORD type) override
    {
        return inner_->UnlockRegion(offset, byteCount, type);
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* statistics, DWORD flags) override
    {
        return inner_->Stat(statistics, flags);
    }
    HRESULT STDMETHODCALLTYPE Clone(IStream** copy) override { return inner_->Clone(copy); }

private:
    IStream* inner_;
    std::size_t* bytesRead_;
};

}  // namespace

bool SeenSet::Insert(std::size_t index)
{
    std::uint64_t bit = std::uint64_t{1} << (index % 64);
    std::uint64_t* word = &first_;
    if (index >= 64) {
        std::size_t slot = index / 64 - 1;
        if (slot >= more_.size()) {
            more_.resize(slot + 1, 0);
        }
        word = &more_[slot];
    }
    if ((*word & bit) != 0) {
        return false;
    }
    *word |= bit;
    return true;
}

bool SeenSet::Contains(std::size_t index) const
{
    std::uint64_t bit = std::uint64_t{1} << (index % 64);
    if (index < 64) {
        return (first_ & bit) != 0;
    }
    std::size_t slot = index / 64 - 1;
    return slot < more_.size() && (more_[slot] & bit) != 0;
}

CSoapRootHandler::CSoapRootHandler() : memory(DefaultMemoryManager()), references(kReferenceBuckets)
{
    skipper.nesting = 1;
}

CSoapRootHandler::~CSoapRootHandler() = default;

const OLECHAR* CSoapRootHandler::ServiceName(int* length)
{
    if (length != nullptr) {
        *length = 0;
    }
    return nullptr;
}

HRESULT CSoapRootHandler::InvokeOperation(std::size_t)
{
    return E_NOTIMPL;
}

HRESULT CSoapRootHandler::OnMustUnderstandFault(unsigned, const OLECHAR*, int)
{
    return clientRole ? S_OK : E_FAIL;
}

HRESULT CSoapRootHandler::Fail(SoapReadFailure reason, HRESULT result)
{
    if (readFailure == SoapReadFailure::none) {
        readFailure = reason;
    }
    return result;
}

HRESULT CSoapRootHandler::PushLevel(void* target, const TypeDescriptor* descriptor, const FieldDescriptor* field,
                                    std::uint32_t levelFlags, std::size_t capacity, std::size_t expected)
{
    try {
        if (levels.size() == levels.capacity()) {
            levels.reserve(levels.capacity() + kLevelGrowth);
        }
        levels.emplace_back();
    } catch (const std::bad_alloc&) {
        return Fail(SoapReadFailure::outOfMemory, E_OUTOFMEMORY);
    } catch (const std::length_error&) {
        return Fail(SoapReadFailure::outOfMemory, E_OUTOFMEMORY);
    }
    ParseLevel& level = levels.back();
    level.target = target;
    level.levelFlags = levelFlags;
    level.capacity = capacity;
    level.expected = expected;
    level.received = 0;
    level.descriptor = descriptor;
    level.field = field;
    level.openDepth = depth;
    return S_OK;
}

HRESULT CSoapRootHandler::PushHeaderLevel(std::size_t index)
{
    const TypeDescriptor* headers = TableEntry(HeaderTable(), index);
    if (headers == nullptr) {
        return E_FAIL;
    }
    operationIndex = index;
    return PushLevel(HeaderRecord(), headers, nullptr, 0, 0, headers->outCount);
}

void CSoapRootHandler::PopLevel()
{
    levels.pop_back();
}

void CSoapRootHandler::ResetParseState()
{
    levels.clear();
    state = ReaderState::ReadStart;
    readFailure = SoapReadFailure::none;
    parameterRecord = nullptr;
    noChildren = false;
    textPending = false;
    depth = 0;
    references.clear();
    ReleaseText(valueText_);
    valueTextReceived_ = false;
    bodyDepth_ = 0;
}

bool CSoapRootHandler::IsRpcEncoded() const
{
    return !levels.empty() && levels[0].descriptor != nullptr &&
           (levels[0].descriptor->callFlags & kRpcEncoded) == kRpcEncoded;
}

HRESULT STDMETHODCALLTYPE CSoapRootHandler::startDocument()
{
    noChildren = false;
    textPending = false;
    state = ReaderState::ReadStart;
    readFailure = SoapReadFailure::none;
    valueText_.clear();
    valueTextReceived_ = false;
    bodyDepth_ = 0;
    return S_OK;
}

HRESULT CSoapRootHandler::StartEnvelopeElement(const OLECHAR* namespaceUri, int namespaceUriLength,
                                               const OLECHAR* localName, int localNameLength)
{
    if (NameHash(namespaceUri, static_cast<std::size_t>(namespaceUriLength)) != kSoapEnvelopeNamespaceHash) {
        return Fail(SoapReadFailure::wrongNamespace);
    }
    bool inEnvelopeNamespace = IsEnvelopeNamespace(namespaceUri, namespaceUriLength);
    std::uint32_t hash = NameHash(localName, static_cast<std::size_t>(localNameLength));
    ReaderState previous = state;
    if (hash == kEnvelopeHash && inEnvelopeNamespace && IsName(localName, localNameLength, OLESTR("Envelope"))) {
        state = ReaderState::ReadEnvelope;
        return previous == ReaderState::ReadStart ? S_OK : Fail(SoapReadFailure::unexpectedElement);
    }
    if (hash == kHeaderHash && inEnvelopeNamespace && IsName(localName, localNameLength, OLESTR("Header"))) {
        state = ReaderState::ReadHeader;
        return previous == ReaderState::ReadEnvelope ? S_OK : Fail(SoapReadFailure::unexpectedElement);
    }
    if (hash == kBodyHash && inEnvelopeNamespace && IsName(localName, localNameLength, OLESTR("Body"))) {
        state = ReaderState::ReadBody;
        bodyDepth_ = depth;
        return previous == ReaderState::ReadStart ? Fail(SoapReadFailure::unexpectedElement) : S_OK;
    }
    return S_OK;  // another envelope-level element: ignored, its children examined alike
}

HRESULT CSoapRootHandler::StartAfterBody(const OLECHAR* namespaceUri, int namespaceUriLength,
                                         const OLECHAR* localName, int localNameLength)
{
    // SOAP lets namespace-qualified elements follow the Body; they carry
    // nothing for the call and are skipped whole. An unqualified element
    // there, or another Envelope, Header or Body, is out of place.
    if (namespaceUriLength == 0) {
        return Fail(SoapReadFailure::unexpectedElement);
    }
    if (IsEnvelopeNamespace(namespaceUri, namespaceUriLength) &&
        (IsName(localName, localNameLength, OLESTR("Envelope")) ||
         IsName(localName, localNameLength, OLESTR("Header")) || IsName(localName, localNameLength, OLESTR("Body")))) {
        return Fail(SoapReadFailure::unexpectedElement);
    }
    return SkipElement();
}

HRESULT CSoapRootHandler::SkipElement()
{
    if (!xmlReader) {
        return Fail(SoapReadFailure::readerFailed);
    }
    // The skipper consumes the element's end tag, so it is no longer counted as open.
    --depth;
    HRESULT result = skipper.Install(xmlReader.get(), this);
    return FAILED(result) ? Fail(SoapReadFailure::readerFailed, result) : result;
}

HRESULT STDMETHODCALLTYPE CSoapRootHandler::startElement(const OLECHAR* namespaceUri, int namespaceUriLength,
                                                         const OLECHAR* localName, int localNameLength,
                                                         const OLECHAR*, int, ISAXAttributes* attributes)
{
    if (noChildren || textPending) {
        // a simple value, a nil or an href element holds no elements
        return Fail(SoapReadFailure::unexpectedElement);
    }
    ++depth;
    switch (state) {
    case ReaderState::ReadStart:
    case ReaderState::ReadEnvelope:
    case ReaderState::ReadHeaderDone:
        return StartEnvelopeElement(namespaceUri, namespaceUriLength, localName, localNameLength);
    case ReaderState::ReadDone:
        return StartAfterBody(namespaceUri, namespaceUriLength, localName, localNameLength);
    case ReaderState::ReadHeader:
    case ReaderState::ReadCall:
        return ReadMember(localName, localNameLength, attributes);
    case ReaderState::ReadBody: {
        HRESULT result = SelectOperation(namespaceUri, namespaceUriLength, localName, localNameLength);
        state = ReaderState::ReadCall;
        if (SUCCEEDED(result) && !levels.empty() && Top().descriptor != nullptr &&
            (Top().descriptor->callFlags & PadStyle) != 0) {
            // In that style the Body's child is itself the first parameter.
            return ReadMember(localName, localNameLength, attributes);
        }
        return result;
    }
    }
    return Fail(SoapReadFailure::unexpectedElement);
}

HRESULT CSoapRootHandler::UnknownHeader(ISAXAttributes* attributes)
{
    const OLECHAR* value = nullptr;
    int valueLength = 0;
    if (attributes != nullptr &&
        SUCCEEDED(
            AttributeValue(attributes, kWideSoapEnvelopeNamespace, OLESTR("mustUnderstand"), &value, &valueLength)) &&
        value != nullptr) {
        bool mustUnderstand = false;
        if (FAILED(ReadXsdBoolean(value, valueLength, &mustUnderstand)) || mustUnderstand) {
            OnMustUnderstandFault(kMustUnderstandFaultCode, nullptr, 0);
            return Fail(SoapReadFailure::mustUnderstand);
        }
    }
    return SkipElement();
}

HRESULT CSoapRootHandler::ReadMember(const OLECHAR* localName, int localNameLength, ISAXAttributes* attributes)
{
    const FieldDescriptor* member = nullptr;
    HRESULT result = StartMember(localName, localNameLength, attributes, &member);
    if (result != S_OK) {
        return FAILED(result) ? result : S_OK;  // the reader is told of success as S_OK
    }
    return StartValue(member, (Top().levelFlags & kArrayFlags) != 0, attributes);
}

HRESULT CSoapRootHandler::StartChainedOut(const OLECHAR* localName, int localNameLength, ISAXAttributes* attributes)
{
    const TypeDescriptor* descriptor = Top().descriptor;
    if ((descriptor->callFlags & PadStyle) == 0 || descriptor->outCount != 1 || descriptor->fields == nullptr ||
        descriptor->fields[0].hash == 0) {
        return Fail(SoapReadFailure::badDescription);
    }
    const FieldDescriptor* chained =
        (descriptor->fields[0].flags & OutParam) != 0 ? &descriptor->fields[0] : &descriptor->fields[1];
    if (chained->hash == 0 || chained->typeDescriptor == nullptr ||
        chained->typeDescriptor->kind == DescriptorKind::Operation ||
        (chained->typeDescriptor->callFlags & ChainedOut) != 0) {
        return Fail(SoapReadFailure::badDescription);
    }
    // The chained structure is the out member itself, wherever it stands in
    // the parameter record.
    void* chainedTarget = static_cast<char*>(Top().target) + chained->offset;
    HRESULT result =
        PushLevel(chainedTarget, chained->typeDescriptor, chained, chained->flags, 0, chained->typeDescriptor->outCount);
    if (FAILED(result)) {
        return result;
    }
    result = ReadMember(localName, localNameLength, attributes);
    return FAILED(result) ? result : S_FALSE;
}

HRESULT CSoapRootHandler::StartMember(const OLECHAR* localName, int localNameLength, ISAXAttributes* attributes,
                                      const FieldDescriptor** member)
{
    if (levels.empty()) {
        if (state == ReaderState::ReadHeader) {
            HRESULT result = UnknownHeader(attributes);
            return FAILED(result) ? result : S_FALSE;
        }
        return Fail(SoapReadFailure::unexpectedElement);
    }
    if ((Top().levelFlags & kArrayFlags) != 0) {
        HRESULT result = MakeRoomForItem(Top());
        if (FAILED(result)) {
            return result;
        }
        *member = Top().field;
        return *member != nullptr ? S_OK : Fail(SoapReadFailure::badDescription);
    }
    const TypeDescriptor* descriptor = Top().descriptor;
    if (descriptor != nullptr && (descriptor->callFlags & ChainedOut) != 0) {
        return StartChainedOut(localName, localNameLength, attributes);
    }

    if (!references.empty()) {
        HRESULT result = ResolveReference(attributes);
        if (result != S_FALSE) {
            if (FAILED(result) && state == ReaderState::ReadHeader) {
                readFailure = SoapReadFailure::none;  // not a reference after all: an unknown header
                result = UnknownHeader(attributes);
            }
            return FAILED(result) ? result : S_FALSE;
        }
    }

    if (descriptor != nullptr && descriptor->fields != nullptr) {
        std::uint32_t hash = NameHash(localName, static_cast<std::size_t>(localNameLength));
        for (std::size_t i = 0; descriptor->fields[i].hash != 0; ++i) {
            const FieldDescriptor& candidate = descriptor->fields[i];
            // Read by the name it is written as.
            bool named = (candidate.flags & ReturnValue) != 0
                             ? hash == kReturnHash && IsName(localName, localNameLength, kReturnName)
                             : candidate.hash == hash &&
                                   SameText(candidate.wideName, candidate.nameLength, localName, localNameLength);
            if (named && IsReadMember(candidate)) {
                if (IsCountMember(*descriptor, i)) {
                    // A PointerArray's count is set by the array alone; a
                    // count element could make it exceed the item block.
                    return Fail(SoapReadFailure::unexpectedElement);
                }
                if (!Top().seen.Insert(i)) {
                    return Fail(SoapReadFailure::duplicateElement);  // a member may appear once
                }
                ++Top().received;
                *member = &candidate;
                return S_OK;
            }
        }
    }
    if (state == ReaderState::ReadHeader) {
        HRESULT result = UnknownHeader(attributes);
        return FAILED(result) ? result : S_FALSE;
    }
    return Fail(SoapReadFailure::unexpectedElement);
}

bool CSoapRootHandler::IsNil(ISAXAttributes* attributes) const
{
    const OLECHAR* nilText = nullptr;
    int nilLength = 0;
    if (attributes == nullptr ||
        FAILED(AttributeValue(attributes, kWideXsiNamespace, OLESTR("nil"), &nilText, &nilLength)) ||
        nilText == nullptr) {
        return false;
    }
    bool nil = false;
    return SUCCEEDED(ReadXsdBoolean(nilText, nilLength, &nil)) && nil;
}

HRESULT CSoapRootHandler::StartValue(const FieldDescriptor* member, bool arrayItem, ISAXAttributes* attributes)
{
    if (IsNil(attributes)) {
        if ((member->flags & Nillable) == 0) {
            return Fail(SoapReadFailure::nilNotAllowed);
        }
        if (arrayItem) {
            NextItemSlot(Top());  // a nil item still takes its slot, left empty
        }
        noChildren = true;
        return PushLevel(nullptr, nullptr, nullptr, 0, 0, 0);
    }

    // The value's address.
    void* address = nullptr;
    if (arrayItem) {
        address = NextItemSlot(Top());
    } else if (!IsArrayMember(*member)) {
        address = static_cast<char*>(Top().target) + member->offset;
    } else {
        ParseLevel enclosing;
        enclosing.target = Top().target;
        enclosing.descriptor = Top().descriptor;
        enclosing.levelFlags = Top().levelFlags;
        return StartArray(enclosing, member, attributes);
    }
    if (address == nullptr) {
        return Fail(SoapReadFailure::badDescription);
    }

    if (IsRpcEncoded()) {
        HRESULT result = ReadReference(member, address, attributes, 0, 0);
        if (result != S_FALSE) {
            return result;
        }
    }

    if (member->typeCode == UserType) {
        const TypeDescriptor* type = member->typeDescriptor;
        if (type == nullptr) {
            return Fail(SoapReadFailure::badDescription);
        }
        if (type->kind == DescriptorKind::Enumeration) {
            noChildren = true;
            textPending = true;
            return PushLevel(address, type, member, member->flags | ValuePending, 0, type->outCount);
        }
        return PushLevel(address, type, member, member->flags & ~kArrayFlags, 0, type->outCount);
    }
    if (!IsSimpleTypeCode(member->typeCode)) {
        return Fail(SoapReadFailure::badDescription);
    }
    noChildren = true;
    if (member->typeCode == XsdString || member->typeCode == XsdBase64Binary) {
        if (!xmlReader) {
            return Fail(SoapReadFailure::readerFailed);
        }
        HRESULT result = textGatherer.Install(xmlReader.get(), this);
        if (FAILED(result)) {
            return Fail(SoapReadFailure::readerFailed, result);
        }
        return PushLevel(address, nullptr, member, member->flags | ValuePending, 0, 0);
    }
    textPending = true;
    return PushLevel(address, nullptr, member, member->flags | ValuePending, 0, 0);
}

HRESULT CSoapRootHandler::ConvertValueText()
{
    if (!valueTextReceived_) {
        return S_OK;
    }
    valueTextReceived_ = false;
    HRESULT result = ConvertText(valueText_.data(), static_cast<int>(valueText_.size()));
    ReleaseText(valueText_);
    return result;
}

HRESULT CSoapRootHandler::Charge(std::size_t bytes)
{
    std::size_t allowed = kHeldBytesAllowance + kHeldBytesPerResponseByte * responseBytes;
    if (bytes > allowed || heldBytes > allowed - bytes) {
        return Fail(SoapReadFailure::outOfMemory, E_OUTOFMEMORY);
    }
    heldBytes += bytes;
    return S_OK;
}

HRESULT CSoapRootHandler::ConvertText(const OLECHAR* text, int length)
{
    ParseLevel& level = Top();
    if (level.descriptor != nullptr && level.descriptor->kind == DescriptorKind::Enumeration) {
        const FieldDescriptor* fields = level.descriptor->fields;
        std::uint32_t hash = NameHash(text, static_cast<std::size_t>(length));
        for (std::size_t i = 0; fields != nullptr && fields[i].hash != 0; ++i) {
            if (fields[i].hash == hash && SameText(fields[i].wideName, fields[i].nameLength, text, length)) {
                std::int32_t value = fields[i].typeCode;
                std::memcpy(level.target, &value, sizeof(value));
                ++level.received;
                return S_OK;
            }
        }
        return Fail(SoapReadFailure::badValue);
    }
    if (level.field == nullptr) {
        return Fail(SoapReadFailure::badDescription);
    }
    std::int32_t typeCode = level.field->typeCode;
    if (IsStringTypeCode(typeCode) || IsBinaryTypeCode(typeCode)) {
        // A string holds 2 bytes a unit; binary bytes are decoded into a block
        // as long as the text's UTF-8 form (at most 3 bytes a unit).
        std::size_t unitBytes = IsStringTypeCode(typeCode) ? sizeof(OLECHAR) : 3;
        HRESULT charged = Charge(HeapBlockBytes(static_cast<std::size_t>(length) * unitBytes + 6));
        if (FAILED(charged)) {
            return charged;
        }
    }
    if (typeCode == XsdString && level.target != nullptr) {
        // Gathered text that arrived in one piece is already a counted
        // string: it is taken over instead of copied.
        BSTR gathered = textGatherer.TakeGathered(text);
        if (gathered != nullptr) {
            *static_cast<BSTR*>(level.target) = gathered;
            return S_OK;
        }
    }
    HRESULT result = ReadXsdValue(text, length, level.target, typeCode, memory);
    if (FAILED(result)) {
        return Fail(result == E_OUTOFMEMORY ? SoapReadFailure::outOfMemory : SoapReadFailure::badValue, result);
    }
    return result;
}

HRESULT STDMETHODCALLTYPE CSoapRootHandler::characters(const OLECHAR* text, int length)
{
    textPending = false;
    if (levels.empty()) {
        return S_OK;
    }
    const ParseLevel& level = Top();
    if ((level.levelFlags & ValuePending) == 0 || (level.levelFlags & IgnoreText) != 0) {
        return S_OK;  // white space between elements
    }
    if (level.descriptor == nullptr && level.field != nullptr &&
        (level.field->typeCode == XsdString || level.field->typeCode == XsdBase64Binary)) {
        // Gathered content arrives in one piece.
        return ConvertText(text, length);
    }
    // Other simple values are converted at their end tag, so that a reader
    // that splits one text into several calls still converts it whole.
    try {
        valueText_.append(text, static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
        return Fail(SoapReadFailure::outOfMemory, E_OUTOFMEMORY);
    } catch (const std::length_error&) {
        return Fail(SoapReadFailure::outOfMemory, E_OUTOFMEMORY);
    }
    valueTextReceived_ = true;
    return S_OK;
}

HRESULT CSoapRootHandler::CheckEnd(const ParseLevel& level)
{
    if (level.received == level.expected) {
        return S_OK;
    }
    if ((level.levelFlags & InlineArray) != 0 ||
        ((level.levelFlags & PointerArray) != 0 && (level.levelFlags & GrowArray) == 0)) {
        return Fail(SoapReadFailure::arraySizeMismatch);
    }
    if (level.descriptor == nullptr || level.descriptor->fields == nullptr) {
        return S_OK;
    }
    for (std::size_t i = 0; level.descriptor->fields[i].hash != 0; ++i) {
        const FieldDescriptor& member = level.descriptor->fields[i];
        if (IsReadMember(member) && !level.seen.Contains(i) && (member.flags & (NotSerialized | Nillable)) == 0 &&
            member.typeCode != UserType) {
            return Fail(SoapReadFailure::missingElement);
        }
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CSoapRootHandler::endElement(const OLECHAR* namespaceUri, int namespaceUriLength,
                                                       const OLECHAR* localName, int localNameLength,
                                                       const OLECHAR*, int)
{
    if (textPending) {
        return Fail(SoapReadFailure::emptyValue);  // a simple or enumeration value ended without text
    }
    if (depth > 0) {
        --depth;
    }
    noChildren = false;
    if ((state == ReaderState::ReadBody || state == ReaderState::ReadCall) && depth + 1 == bodyDepth_) {
        // The Body's own end tag: what follows is not read into the record.
        state = ReaderState::ReadDone;
    }
    if (levels.empty()) {
        return S_OK;
    }
    return EndMember(namespaceUri, namespaceUriLength, localName, localNameLength);
}

HRESULT CSoapRootHandler::EndMember(const OLECHAR* namespaceUri, int namespaceUriLength, const OLECHAR* localName,
                                   int localNameLength)
{
    HRESULT result = ConvertValueText();
    if (FAILED(result)) {
        return result;
    }
    if (state == ReaderState::ReadHeader && levels.size() == 1) {
        if (!IsName(localName, localNameLength, OLESTR("Header")) ||
            !IsEnvelopeNamespace(namespaceUri, namespaceUriLength)) {
            return Fail(SoapReadFailure::unexpectedElement);
        }
        state = ReaderState::ReadHeaderDone;
        return S_OK;
    }
    if ((Top().levelFlags & kArrayFlags) != 0) {
        if ((Top().levelFlags & ValuePending) != 0 && levels.size() > 1) {
            PopLevel();  // a simple item ended
        }
        if (Top().field == nullptr) {
            return Fail(SoapReadFailure::badDescription);
        }
        if (Top().openDepth - 1 != depth) {
            return S_OK;  // an item ended, not the array
        }
    }
    result = CheckEnd(Top());
    if (FAILED(result)) {
        return result;
    }
    if (levels.size() > 1) {
        PopLevel();
    }
    return S_OK;
}

HRESULT CSoapRootHandler::CheckRequiredHeaders()
{
    const ParseLevel& bottom = levels[0];
    if (bottom.descriptor == nullptr || bottom.descriptor->kind != DescriptorKind::HeaderSet ||
        bottom.descriptor->fields == nullptr) {
        return S_OK;
    }
    for (std::size_t i = 0; bottom.descriptor->fields[i].hash != 0; ++i) {
        const FieldDescriptor& member = bottom.descriptor->fields[i];
        if (IsReadMember(member) && !bottom.seen.Contains(i) && (member.flags & (NotSerialized | Nillable)) == 0) {
            return Fail(SoapReadFailure::missingElement);
        }
    }
    return S_OK;
}

HRESULT CSoapRootHandler::SelectOperation(const OLECHAR* namespaceUri, int namespaceUriLength,
                                          const OLECHAR* localName, int localNameLength)
{
    const TypeDescriptor* const* operations = OperationTable();
    const TypeDescriptor* operation = nullptr;
    std::size_t index = 0;
    if (!levels.empty()) {
        HRESULT result = CheckRequiredHeaders();
        if (FAILED(result)) {
            return result;
        }
        index = operationIndex;
        operation = TableEntry(operations, index);
    } else if (operations != nullptr) {
        std::uint32_t hash = NameHash(localName, static_cast<std::size_t>(localNameLength));
        for (std::size_t i = 0; operations[i] != nullptr; ++i) {
            const TypeDescriptor* candidate = operations[i];
            if (candidate->hash == hash &&
                SameText(candidate->wideName, candidate->wideNameLength, localName, localNameLength) &&
                (namespaceUriLength == 0 || SameText(candidate->wideNamespaceUri, candidate->namespaceLength,
                                                     namespaceUri, namespaceUriLength))) {
                operation = candidate;
                index = i;
                break;
            }
        }
        const TypeDescriptor* headers = TableEntry(HeaderTable(), index);
        if (operation != nullptr && headers != nullptr) {
            // The server checks the headers that arrived against the found operation.
            HRESULT result = PushLevel(HeaderRecord(), headers, nullptr, 0, 0, headers->outCount);
            if (FAILED(result)) {
                return result;
            }
            result = CheckRequiredHeaders();
            levels.clear();
            if (FAILED(result)) {
                return result;
            }
        }
    }
    if (operation == nullptr) {
        return Fail(SoapReadFailure::unknownOperation);
    }

    void* record = parameterRecord;
    if (!clientRole) {
        record = memory->Allocate(operation->recordSize);
        if (record == nullptr) {
            return Fail(SoapReadFailure::outOfMemory, E_OUTOFMEMORY);
        }
        parameterRecord = record;
    }
    if (record == nullptr) {
        return Fail(SoapReadFailure::badDescription);  // the proxy has not set the parameter record
    }
    if (operation->recordSize > 0) {
        std::memset(record, 0, operation->recordSize);
    }
    levels.clear();
    operationIndex = index;
    HRESULT result = PushLevel(record, operation, nullptr, 0, 0, operation->outCount);
    if (FAILED(result) && !clientRole) {
        memory->Free(record);
        parameterRecord = nullptr;
    }
    return result;
}

HRESULT CSoapRootHandler::ParseResponse(IStream* stream)
{
    if (stream == nullptr) {
        return E_INVALIDARG;
    }
    readFailure = SoapReadFailure::none;
    if (!xmlReader) {
        return Fail(SoapReadFailure::readerFailed);
    }
    // A parse that failed inside an auxiliary handler left that handler installed.
    HRESULT result = xmlReader->putContentHandler(this);
    if (FAILED(result)) {
        return Fail(SoapReadFailure::readerFailed, result);
    }
    heldBytes = 0;
    responseBytes = 0;
    CountingStream counted(stream, &responseBytes);
    VARIANT input;
    VariantInit(&input);
    input.vt = VT_UNKNOWN;
    input.punkVal = &counted;
    counted.AddRef();
    result = xmlReader->parse(input);
    VariantClear(&input);
    if (SUCCEEDED(result) && !references.empty()) {
        result = Fail(SoapReadFailure::unresolvedReference);  // a reference whose target never arrived
    }
    if (FAILED(result)) {
        // A failure of the XML reader itself, or of a handler the reader ran for us.
        Fail(ReaderFailureOf(result));
    } else {
        readFailure = SoapReadFailure::none;
    }
    references.clear();
    ReleaseText(valueText_);
    valueTextReceived_ = false;
    textGatherer.ReleaseText();
    return result;
}

HRESULT CSoapRootHandler::WriteRequest(IWriteStream* stream)
{
    if (levels.empty()) {
        throw SoapException(E_INVALIDARG);
    }
    const TypeDescriptor* operation = TableEntry(OperationTable(), operationIndex);
    const TypeDescriptor* headers = TableEntry(HeaderTable(), operationIndex);
    if (operation == nullptr || headers == nullptr) {
        return E_FAIL;
    }
    int namespaceLength = 0;
    const char* serviceNamespace = ServiceNamespaceNarrow(&namespaceLength);
    RequestWriterContext context{clientRole, memory, serviceNamespace, namespaceLength};
    return WriteEnvelope(context, headers, HeaderRecord(), operation, parameterRecord, stream);
}

HRESULT CSoapRootHandler::ReleaseHeaders()
{
    if (levels.empty()) {
        return S_OK;
    }
    const TypeDescriptor* headers = TableEntry(HeaderTable(), operationIndex);
    if (headers == nullptr) {
        return E_FAIL;
    }
    void* record = HeaderRecord();
    if (record != nullptr) {
        ReleaseRecord(headers, record);
    }
    return S_OK;
}

HRESULT CSoapRootHandler::ReleaseParameters()
{
    HRESULT result = ReleaseHeaders();
    if (levels.empty() || parameterRecord == nullptr) {
        return result;
    }
    const TypeDescriptor* operation = TableEntry(OperationTable(), operationIndex);
    if (operation == nullptr) {
        return E_FAIL;
    }
    ReleaseRecord(operation, parameterRecord);
    if (!clientRole) {
        memory->Free(parameterRecord);
        parameterRecord = nullptr;
        levels.clear();
    }
    return result;
}

}  // namespace corvel::soap

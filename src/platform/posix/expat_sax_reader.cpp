// The SAX2 reader on Linux: Expat with namespace processing behind the
// ISAXXMLReader shape. Names arrive from Expat as "uri\x01local\x01prefix"
// (triplets) and are split and widened to UTF-16 into buffers that are reused
// from element to element, so a parse allocates only while its buffers grow.
// Adjacent character data is joined and delivered as one characters call just
// before the next event. A document type declaration is refused outright: no
// SOAP message carries one, and without it no entity can be declared, so no
// entity expansion can blow up.
//
// One Expat parser serves every parse of a reader (reset in between, with the
// reader's own hash salt, so no parse pays for a new parser or a system call).
// Its memory is counted and bounded by kMaxSaxParserBytes; after a parse that
// made it or the reader's buffers large, they are given back. Exceptions never
// cross Expat's C frames: every callback turns them into the parse's failure.
#include <expat.h>
#include <sys/random.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/com_ref.h"
#include "platform/ole_text.h"
#include "platform/sax.h"
#include "platform/unique_handle.h"

namespace corvel::platform {
namespace {

constexpr char kNameSeparator = '\x01';
constexpr ULONG kReadChunkBytes = 64 * 1024;
// Buffers and a parser holding more than this after a parse are given back;
// smaller ones are kept for the reader's next parse, so that a reader parsing
// responses of up to about a megabyte again and again touches no fresh memory.
constexpr std::size_t kRetainedBytes = 4 * 1024 * 1024;
// The reader's copy of a document, handed to Expat whole, is kept only when small.
constexpr std::size_t kRetainedDocumentBytes = 256 * 1024;

// A growable buffer that, unlike a vector, does not zero what it is about to
// overwrite. Growth failure throws std::bad_alloc.
template <typename Unit>
class GrowableBuffer {
public:
    GrowableBuffer() = default;
    GrowableBuffer(const GrowableBuffer&) = delete;
    GrowableBuffer& operator=(const GrowableBuffer&) = delete;
    ~GrowableBuffer() { std::free(data_); }

    Unit* data() { return data_; }
    const Unit* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() { size_ = 0; }
    Unit& operator[](std::size_t index) { return data_[index]; }
    const Unit& operator[](std::size_t index) const { return data_[index]; }

    // Room for count more units after size(); the caller writes them and
    // then calls Resize with the size reached.
    Unit* Reserve(std::size_t count)
    {
        if (count > capacity_ - size_) {
            std::size_t wanted = size_ + count;
            std::size_t grown = capacity_ * 2 > wanted ? capacity_ * 2 : wanted;
            if (grown < 64) {
                grown = 64;
            }
            auto* block = static_cast<Unit*>(std::realloc(data_, grown * sizeof(Unit)));
            if (block == nullptr) {
                throw std::bad_alloc();
            }
            data_ = block;
            capacity_ = grown;
        }
        return data_ + size_;
    }
    void Resize(std::size_t size) { size_ = size; }
    void push_back(Unit unit)
    {
        *Reserve(1) = unit;
        ++size_;
    }
    // Empties the buffer and gives its memory back when it has grown larger
    // than retainedBytes.
    void Trim(std::size_t retainedBytes = kRetainedBytes)
    {
        size_ = 0;
        if (capacity_ * sizeof(Unit) > retainedBytes) {
            std::free(data_);
            data_ = nullptr;
            capacity_ = 0;
        }
    }

private:
    Unit* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

using TextBuffer = GrowableBuffer<OLECHAR>;

// Appends the UTF-16 form of a UTF-8 text (Expat has checked it is well
// formed). No UTF-8 byte yields more than one UTF-16 unit, so room for length
// units is reserved once.
void AppendUtf16(TextBuffer& out, const char* text, std::size_t length)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    OLECHAR* wide = out.Reserve(length);
    OLECHAR* start = wide;
#if defined(__SSE2__)
    // A short ASCII text (a number, a line end, the white space between
    // elements) in two overlapping halves.
    if (length >= 4 && length < 16) {
        const __m128i zero = _mm_setzero_si128();
        if (length >= 8) {
            __m128i head = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes));
            __m128i tail = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes + length - 8));
            if (_mm_movemask_epi8(_mm_or_si128(head, tail)) == 0) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(wide), _mm_unpacklo_epi8(head, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(wide + length - 8), _mm_unpacklo_epi8(tail, zero));
                out.Resize(out.size() + length);
                return;
            }
        } else {
            std::uint32_t headBytes;
            std::uint32_t tailBytes;
            std::memcpy(&headBytes, bytes, sizeof(headBytes));
            std::memcpy(&tailBytes, bytes + length - 4, sizeof(tailBytes));
            if (((headBytes | tailBytes) & 0x80808080u) == 0) {
                __m128i head = _mm_cvtsi32_si128(static_cast<int>(headBytes));
                __m128i tail = _mm_cvtsi32_si128(static_cast<int>(tailBytes));
                _mm_storel_epi64(reinterpret_cast<__m128i*>(wide), _mm_unpacklo_epi8(head, zero));
                _mm_storel_epi64(reinterpret_cast<__m128i*>(wide + length - 4), _mm_unpacklo_epi8(tail, zero));
                out.Resize(out.size() + length);
                return;
            }
        }
    }
#endif
    std::size_t i = 0;
    while (i < length) {
        // ASCII, the bulk of every SOAP document, is widened sixteen or eight
        // bytes at a time for as long as no byte has its high bit set.
#if defined(__SSE2__)
        const __m128i zero = _mm_setzero_si128();
        std::size_t chunkStart = i;
        while (length - i >= 16) {
            __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
            if (_mm_movemask_epi8(chunk) != 0) {
                break;
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(wide), _mm_unpacklo_epi8(chunk, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(wide + 8), _mm_unpackhi_epi8(chunk, zero));
            wide += 16;
            i += 16;
        }
        if (i - chunkStart >= 16 && i < length && length - i < 16) {
            // Fewer than 16 bytes left after ASCII chunks: the last 16 bytes
            // of the text, overlapping what is done, in one go when ASCII.
            std::size_t back = 16 - (length - i);
            __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + length - 16));
            if (_mm_movemask_epi8(chunk) == 0) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(wide - back), _mm_unpacklo_epi8(chunk, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(wide - back + 8), _mm_unpackhi_epi8(chunk, zero));
                wide += 16 - back;
                break;
            }
        }
#endif
        while (length - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i, sizeof(word));
            if ((word & 0x8080808080808080ull) != 0) {
                break;
            }
            for (std::size_t k = 0; k < 8; ++k) {
                wide[k] = static_cast<OLECHAR>(bytes[i + k]);
            }
            wide += 8;
            i += 8;
        }
        while (i < length && bytes[i] < 0x80) {
            *wide++ = static_cast<OLECHAR>(bytes[i++]);
        }
        if (i >= length) {
            break;
        }
        unsigned char lead = bytes[i];
        std::uint32_t codePoint;
        std::size_t extra;
        if (lead >= 0xF0) {
            codePoint = lead & 0x07u;
            extra = 3;
        } else if (lead >= 0xE0) {
            codePoint = lead & 0x0Fu;
            extra = 2;
        } else {
            codePoint = lead & 0x1Fu;
            extra = 1;
        }
        ++i;
        for (std::size_t k = 0; k < extra && i < length; ++k, ++i) {
            codePoint = (codePoint << 6) | (bytes[i] & 0x3Fu);
        }
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            *wide++ = static_cast<OLECHAR>(0xD800 + (codePoint >> 10));
            *wide++ = static_cast<OLECHAR>(0xDC00 + (codePoint & 0x3FF));
        } else {
            *wide++ = static_cast<OLECHAR>(codePoint);
        }
    }
    out.Resize(out.size() + static_cast<std::size_t>(wide - start));
}

// Expat's memory, counted per parser: each block carries its size and the
// count it belongs to, and a block that would take the parser past its limit
// is refused (Expat then reports that it ran out of memory).
struct ParserMemory {
    std::size_t live = 0;
    std::size_t limit = kMaxSaxParserBytes;
};

// The count that new blocks go to: set around every call into Expat.
thread_local ParserMemory* currentParserMemory = nullptr;

struct alignas(16) BlockHeader {
    std::size_t size;
    ParserMemory* owner;
};

void* ParserMalloc(std::size_t size)
{
    ParserMemory* owner = currentParserMemory;
    if (owner != nullptr && size > owner->limit - owner->live) {
        return nullptr;
    }
    auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
    if (header == nullptr) {
        return nullptr;
    }
    header->size = size;
    header->owner = owner;
    if (owner != nullptr) {
        owner->live += size;
    }
    return header + 1;
}

void ParserFree(void* block)
{
    if (block == nullptr) {
        return;
    }
    BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
    if (header->owner != nullptr) {
        header->owner->live -= header->size;
    }
    std::free(header);
}

void* ParserRealloc(void* block, std::size_t size)
{
    if (block == nullptr) {
        return ParserMalloc(size);
    }
    BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
    ParserMemory* owner = header->owner;
    std::size_t oldSize = header->size;
    if (owner != nullptr && size > oldSize && size - oldSize > owner->limit - owner->live) {
        return nullptr;
    }
    auto* grown = static_cast<BlockHeader*>(std::realloc(header, sizeof(BlockHeader) + size));
    if (grown == nullptr) {
        return nullptr;
    }
    grown->size = size;
    if (owner != nullptr) {
        owner->live = owner->live - oldSize + size;
    }
    return grown + 1;
}

const XML_Memory_Handling_Suite kParserMemorySuite = {&ParserMalloc, &ParserRealloc, &ParserFree};

// Makes the parser's blocks count against memory for the scope's lifetime.
class ParserMemoryScope {
public:
    explicit ParserMemoryScope(ParserMemory* memory) : previous_(currentParserMemory)
    {
        currentParserMemory = memory;
    }
    ParserMemoryScope(const ParserMemoryScope&) = delete;
    ParserMemoryScope& operator=(const ParserMemoryScope&) = delete;
    ~ParserMemoryScope() { currentParserMemory = previous_; }

private:
    ParserMemory* previous_;
};

// Each kind of Expat failure as a result of its own.
HRESULT ExpatFailure(XML_Error error)
{
    switch (error) {
    case XML_ERROR_NO_MEMORY:
        return E_OUTOFMEMORY;
    case XML_ERROR_NO_ELEMENTS:
        return kSaxUnexpectedEnd;
    case XML_ERROR_UNBOUND_PREFIX:
        return kSaxUndeclaredPrefix;
    case XML_ERROR_UNKNOWN_ENCODING:
    case XML_ERROR_INCORRECT_ENCODING:
        return kSaxBadEncoding;
    case XML_ERROR_SUSPENDED:
    case XML_ERROR_NOT_SUSPENDED:
    case XML_ERROR_FINISHED:
    case XML_ERROR_SUSPEND_PE:
    case XML_ERROR_CANT_CHANGE_FEATURE_ONCE_PARSING:
        return E_UNEXPECTED;  // the reader drove Expat wrongly
    default:
        return kSaxNotWellFormed;
    }
}

// A salt for Expat's hash tables, drawn once per reader; never 0, which
// would make Expat draw one itself at every parse.
unsigned long NewHashSalt()
{
    unsigned long salt = 0;
    if (getrandom(&salt, sizeof(salt), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(salt))) {
        salt = static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(&salt)) ^ 0x9E3779B97F4A7C15ull;
    }
    return salt | 1u;
}

// Offsets of one split name inside a shared UTF-16 buffer.
struct NameSpan {
    std::size_t uri = 0;
    int uriLength = 0;
    std::size_t local = 0;
    int localLength = 0;
    std::size_t qualified = 0;
    int qualifiedLength = 0;
};

// Splits an Expat name ("uri\x01local\x01prefix", "uri\x01local" or "local")
// into the buffer: URI, local name, then the qualified name "prefix:local".
NameSpan SplitName(TextBuffer& buffer, const char* name)
{
    NameSpan span;
    const char* first = std::strchr(name, kNameSeparator);
    const char* uri = "";
    std::size_t uriLength = 0;
    const char* local = name;
    std::size_t localLength = std::strlen(name);
    const char* prefix = nullptr;
    std::size_t prefixLength = 0;
    if (first != nullptr) {
        uri = name;
        uriLength = static_cast<std::size_t>(first - name);
        local = first + 1;
        const char* second = std::strchr(local, kNameSeparator);
        if (second != nullptr) {
            localLength = static_cast<std::size_t>(second - local);
            prefix = second + 1;
            prefixLength = std::strlen(prefix);
        } else {
            localLength = std::strlen(local);
        }
    }
    span.uri = buffer.size();
    AppendUtf16(buffer, uri, uriLength);
    span.uriLength = static_cast<int>(buffer.size() - span.uri);
    span.local = buffer.size();
    AppendUtf16(buffer, local, localLength);
    span.localLength = static_cast<int>(buffer.size() - span.local);
    span.qualified = buffer.size();
    if (prefix != nullptr && prefixLength > 0) {
        AppendUtf16(buffer, prefix, prefixLength);
        buffer.push_back(u':');
    }
    AppendUtf16(buffer, local, localLength);
    span.qualifiedLength = static_cast<int>(buffer.size() - span.qualified);
    return span;
}

// The split, widened form of the element names seen last. A document repeats
// a few names, so each is converted once and found again by its raw bytes;
// an end tag takes its start tag's entry (OpenElements) without a search.
class NameCache {
public:
    struct Entry {
        std::string raw;
        TextBuffer wide;  // URI, local name, qualified name (as span says), then a 0
        NameSpan span;
        // Changes whenever the entry takes another name; 0: holds none.
        std::uint64_t generation = 0;
    };

    // The entry holding name, converted now when no entry holds it. The
    // entry keeps that name until its generation changes.
    const Entry& Lookup(const char* name)
    {
        if (SameName(entries_[last_], name)) {
            return entries_[last_];
        }
        for (std::size_t i = 0; i < kEntries; ++i) {
            if (SameName(entries_[i], name)) {
                last_ = i;
                return entries_[i];
            }
        }
        Entry& entry = entries_[next_];
        entry.generation = 0;  // until it holds the whole name
        entry.wide.clear();
        entry.raw.assign(name);
        entry.span = SplitName(entry.wide, name);
        entry.wide.push_back(0);
        entry.generation = ++generation_;
        last_ = next_;
        next_ = (next_ + 1) % kEntries;
        return entry;
    }

    // Forgets every name; gives back the memory of large ones.
    void Trim()
    {
        for (Entry& entry : entries_) {
            entry.generation = 0;
            entry.wide.Trim();
            entry.raw.clear();
            if (entry.raw.capacity() > kRetainedBytes) {
                std::string().swap(entry.raw);
            }
        }
    }

private:
    static constexpr std::size_t kEntries = 8;

    static bool SameName(const Entry& entry, const char* name)
    {
        if (entry.generation == 0) {
            return false;
        }
        const char* known = entry.raw.c_str();
        while (*known != '\0' && *known == *name) {
            ++known;
            ++name;
        }
        return *known == *name;
    }

    Entry entries_[kEntries];
    std::size_t last_ = 0;
    std::size_t next_ = 0;
    std::uint64_t generation_ = 0;
};

// The name entry of each open element, so that its end tag (which carries
// the same name) finds the converted name at once, unless the entry has
// taken another name meanwhile.
class OpenElements {
public:
    void Push(const NameCache::Entry* entry)
    {
        open_.push_back({entry, entry != nullptr ? entry->generation : 0});
    }

    // The entry of the element that ends, or null when it must be looked up.
    const NameCache::Entry* Pop()
    {
        if (open_.empty()) {
            return nullptr;
        }
        OpenName top = open_[open_.size() - 1];
        open_.Resize(open_.size() - 1);
        return top.entry != nullptr && top.entry->generation == top.generation ? top.entry : nullptr;
    }

    void Clear() { open_.clear(); }
    void Trim() { open_.Trim(); }

private:
    struct OpenName {
        const NameCache::Entry* entry;
        std::uint64_t generation;
    };
    GrowableBuffer<OpenName> open_;
};

// The attributes of the element being started; valid during startElement only.
class ExpatAttributes final : public ISAXAttributes {
public:
    struct Attribute {
        NameSpan name;
        std::size_t value;
        int valueLength;
    };

    // Gives back the buffers when an element made them large.
    void Trim()
    {
        text_.Trim();
        if (attributes_.capacity() * sizeof(Attribute) > kRetainedBytes) {
            std::vector<Attribute>().swap(attributes_);
        }
    }

    void Load(const char** expatAttributes)
    {
        text_.clear();
        attributes_.clear();
        for (const char** pair = expatAttributes; pair[0] != nullptr; pair += 2) {
            Attribute attribute;
            attribute.name = SplitName(text_, pair[0]);
            attribute.value = text_.size();
            AppendUtf16(text_, pair[1], std::strlen(pair[1]));
            attribute.valueLength = static_cast<int>(text_.size() - attribute.value);
            attributes_.push_back(attribute);
        }
        // One terminating unit so that an empty text still has a valid address.
        text_.push_back(0);
    }

    HRESULT QueryInterface(REFIID, void** object) override
    {
        if (object != nullptr) {
            *object = nullptr;
        }
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }

    HRESULT getLength(int* length) override
    {
        if (length == nullptr) {
            return E_POINTER;
        }
        *length = static_cast<int>(attributes_.size());
        return S_OK;
    }
    HRESULT getURI(int index, const OLECHAR** uri, int* uriLength) override
    {
        return Part(index, &NameSpan::uri, &NameSpan::uriLength, uri, uriLength);
    }
    HRESULT getLocalName(int index, const OLECHAR** localName, int* localNameLength) override
    {
        return Part(index, &NameSpan::local, &NameSpan::localLength, localName, localNameLength);
    }
    HRESULT getQName(int index, const OLECHAR** qualifiedName, int* qualifiedNameLength) override
    {
        return Part(index, &NameSpan::qualified, &NameSpan::qualifiedLength, qualifiedName, qualifiedNameLength);
    }
    HRESULT getName(int index, const OLECHAR** uri, int* uriLength, const OLECHAR** localName, int* localNameLength,
                    const OLECHAR** qualifiedName, int* qualifiedNameLength) override
    {
        HRESULT result = getURI(index, uri, uriLength);
        if (SUCCEEDED(result)) {
            result = getLocalName(index, localName, localNameLength);
        }
        if (SUCCEEDED(result)) {
            result = getQName(index, qualifiedName, qualifiedNameLength);
        }
        return result;
    }
    HRESULT getIndexFromName(const OLECHAR* uri, int uriLength, const OLECHAR* localName, int localNameLength,
                             int* index) override
    {
        if (index == nullptr || localName == nullptr || (uri == nullptr && uriLength > 0)) {
            return E_POINTER;
        }
        for (std::size_t i = 0; i < attributes_.size(); ++i) {
            const NameSpan& name = attributes_[i].name;
            if (SameText(&text_[name.uri], name.uriLength, uri, uriLength) &&
                SameText(&text_[name.local], name.localLength, localName, localNameLength)) {
                *index = static_cast<int>(i);
                return S_OK;
            }
        }
        return E_INVALIDARG;
    }
    HRESULT getIndexFromQName(const OLECHAR* qualifiedName, int qualifiedNameLength, int* index) override
    {
        if (index == nullptr || qualifiedName == nullptr) {
            return E_POINTER;
        }
        for (std::size_t i = 0; i < attributes_.size(); ++i) {
            const NameSpan& name = attributes_[i].name;
            if (SameText(&text_[name.qualified], name.qualifiedLength, qualifiedName, qualifiedNameLength)) {
                *index = static_cast<int>(i);
                return S_OK;
            }
        }
        return E_INVALIDARG;
    }
    HRESULT getType(int index, const OLECHAR** type, int* typeLength) override
    {
        static constexpr OLECHAR kCdata[] = OLESTR("CDATA");
        constexpr NameText kCdataName{kCdata};
        if (type == nullptr || typeLength == nullptr) {
            return E_POINTER;
        }
        if (index < 0 || static_cast<std::size_t>(index) >= attributes_.size()) {
            return E_INVALIDARG;
        }
        *type = kCdataName.text;
        *typeLength = kCdataName.length;
        return S_OK;
    }
    HRESULT getTypeFromName(const OLECHAR* uri, int uriLength, const OLECHAR* localName, int localNameLength,
                            const OLECHAR** type, int* typeLength) override
    {
        int index = 0;
        HRESULT result = getIndexFromName(uri, uriLength, localName, localNameLength, &index);
        return FAILED(result) ? result : getType(index, type, typeLength);
    }
    HRESULT getTypeFromQName(const OLECHAR* qualifiedName, int qualifiedNameLength, const OLECHAR** type,
                             int* typeLength) override
    {
        int index = 0;
        HRESULT result = getIndexFromQName(qualifiedName, qualifiedNameLength, &index);
        return FAILED(result) ? result : getType(index, type, typeLength);
    }
    HRESULT getValue(int index, const OLECHAR** value, int* valueLength) override
    {
        if (value == nullptr || valueLength == nullptr) {
            return E_POINTER;
        }
        if (index < 0 || static_cast<std::size_t>(index) >= attributes_.size()) {
            return E_INVALIDARG;
        }
        *value = &text_[attributes_[index].value];
        *valueLength = attributes_[index].valueLength;
        return S_OK;
    }
    HRESULT getValueFromName(const OLECHAR* uri, int uriLength, const OLECHAR* localName, int localNameLength,
                             const OLECHAR** value, int* valueLength) override
    {
        int index = 0;
        HRESULT result = getIndexFromName(uri, uriLength, localName, localNameLength, &index);
        return FAILED(result) ? result : getValue(index, value, valueLength);
    }
    HRESULT getValueFromQName(const OLECHAR* qualifiedName, int qualifiedNameLength, const OLECHAR** value,
                              int* valueLength) override
    {
        int index = 0;
        HRESULT result = getIndexFromQName(qualifiedName, qualifiedNameLength, &index);
        return FAILED(result) ? result : getValue(index, value, valueLength);
    }

private:
    HRESULT Part(int index, std::size_t NameSpan::*offset, int NameSpan::*length, const OLECHAR** text,
                 int* textLength)
    {
        if (text == nullptr || textLength == nullptr) {
            return E_POINTER;
        }
        if (index < 0 || static_cast<std::size_t>(index) >= attributes_.size()) {
            return E_INVALIDARG;
        }
        const NameSpan& name = attributes_[index].name;
        *text = &text_[name.*offset];
        *textLength = name.*length;
        return S_OK;
    }

    TextBuffer text_;
    std::vector<Attribute> attributes_;
};

class ExpatSaxReader final : public ISAXXMLReader {
public:
    explicit ExpatSaxReader(std::size_t textPieceUnits) : textPieceUnits_(textPieceUnits) {}

    HRESULT QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (iid == IID_IUnknown || iid == kIidSaxXmlReader) {
            *object = static_cast<ISAXXMLReader*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++references_; }
    ULONG Release() override
    {
        ULONG remaining = --references_;
        if (remaining == 0) {
            delete this;
        }
        return remaining;
    }

    HRESULT getFeature(const OLECHAR*, VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT putFeature(const OLECHAR*, VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT getProperty(const OLECHAR*, VARIANT*) override { return E_NOTIMPL; }
    HRESULT putProperty(const OLECHAR*, VARIANT) override { return E_NOTIMPL; }
    HRESULT getEntityResolver(ISAXEntityResolver**) override { return E_NOTIMPL; }
    HRESULT putEntityResolver(ISAXEntityResolver*) override { return E_NOTIMPL; }
    HRESULT getContentHandler(ISAXContentHandler** handler) override
    {
        if (handler == nullptr) {
            return E_POINTER;
        }
        *handler = handler_.get();
        if (handler_) {
            handler_->AddRef();
        }
        return S_OK;
    }
    HRESULT putContentHandler(ISAXContentHandler* handler) override
    {
        handler_.assign(handler);
        return S_OK;
    }
    HRESULT getDTDHandler(ISAXDTDHandler**) override { return E_NOTIMPL; }
    HRESULT putDTDHandler(ISAXDTDHandler*) override { return E_NOTIMPL; }
    HRESULT getErrorHandler(ISAXErrorHandler**) override { return E_NOTIMPL; }
    HRESULT putErrorHandler(ISAXErrorHandler*) override { return E_NOTIMPL; }
    HRESULT getBaseURL(const OLECHAR**) override { return E_NOTIMPL; }
    HRESULT putBaseURL(const OLECHAR*) override { return E_NOTIMPL; }
    HRESULT getSecureBaseURL(const OLECHAR**) override { return E_NOTIMPL; }
    HRESULT putSecureBaseURL(const OLECHAR*) override { return E_NOTIMPL; }
    HRESULT parseURL(const OLECHAR*) override { return E_NOTIMPL; }

    HRESULT parse(VARIANT input) override
    {
        if (input.vt != VT_UNKNOWN || input.punkVal == nullptr) {
            return E_INVALIDARG;
        }
        ComRef<ISequentialStream> stream;
        if (FAILED(input.punkVal->QueryInterface(IID_IStream, stream.outVoid())) &&
            FAILED(input.punkVal->QueryInterface(IID_ISequentialStream, stream.outVoid()))) {
            return E_INVALIDARG;
        }
        return Run(stream.get());
    }

    ~ExpatSaxReader() { FreeParser(); }

private:
    // A parser ready for a new document: the kept one reset, or a new one.
    bool PrepareParser()
    {
        ParserMemoryScope scope(&parserMemory_);
        if (parser_ && XML_ParserReset(parser_.get(), nullptr) != XML_TRUE) {
            FreeParser();
        }
        if (!parser_) {
            parser_.reset(XML_ParserCreate_MM(nullptr, &kParserMemorySuite, &kNameSeparator));
            if (!parser_) {
                return false;
            }
            XML_SetReturnNSTriplet(parser_.get(), 1);
        }
        // A reset clears the handlers and the salt.
        XML_SetUserData(parser_.get(), this);
        XML_SetElementHandler(parser_.get(), &OnStartElement, &OnEndElement);
        XML_SetCharacterDataHandler(parser_.get(), &OnCharacters);
        XML_SetNamespaceDeclHandler(parser_.get(), &OnStartNamespace, &OnEndNamespace);
        XML_SetProcessingInstructionHandler(parser_.get(), &OnProcessingInstruction);
        XML_SetStartDoctypeDeclHandler(parser_.get(), &OnDoctype);
        XML_SetParamEntityParsing(parser_.get(), XML_PARAM_ENTITY_PARSING_NEVER);
        XML_SetHashSalt(parser_.get(), hashSalt_);
        return true;
    }

    void FreeParser()
    {
        if (parser_) {
            ParserMemoryScope scope(&parserMemory_);  // Expat gives its memory back through the scope
            parser_.reset();
        }
    }

    // One parse over the stream: reads until a read of 0 bytes, then finishes.
    // Whatever happens, no exception leaves it and the parser is left either
    // ready for a reset or freed.
    HRESULT Run(ISequentialStream* stream)
    {
        HRESULT result = S_OK;
        try {
            result = RunParser(stream);
        } catch (const std::bad_alloc&) {
            result = E_OUTOFMEMORY;
        } catch (...) {
            result = E_UNEXPECTED;
        }
        documentBytes_.Trim();
        pendingText_.Trim();
        names_.Trim();
        elementNames_.Trim();
        openElements_.Trim();
        attributes_.Trim();
        if (FAILED(result) || parserMemory_.live > kRetainedBytes) {
            FreeParser();  // a failed or large parse leaves nothing behind
        }
        return result;
    }

    HRESULT RunParser(ISequentialStream* stream)
    {
        failure_ = S_OK;
        depth_ = 0;
        pendingText_.clear();
        openElements_.Clear();
        if (!PrepareParser()) {
            return E_OUTOFMEMORY;
        }
        HRESULT result = S_OK;
        if (handler_) {
            result = handler_->startDocument();
        }
        if (SUCCEEDED(result)) {
            // The whole document in one final buffer: Expat then skips the
            // line and column bookkeeping it does over every byte of a buffer
            // that is not the last, which costs as much as the parse itself.
            ParserMemoryScope scope(&parserMemory_);
            int length = 0;
            result = ReadIntoParser(stream, &length);
            if (SUCCEEDED(result) && XML_ParseBuffer(parser_.get(), length, XML_TRUE) != XML_STATUS_OK) {
                result = FAILED(failure_) ? failure_ : ExpatFailure(XML_GetErrorCode(parser_.get()));
            }
        }
        if (SUCCEEDED(result)) {
            result = FlushText();
        }
        if (SUCCEEDED(result) && handler_) {
            result = handler_->endDocument();
        }
        pendingText_.clear();
        return result;
    }

    // Reads the whole document into the parser's buffer (*length bytes):
    // straight into it when the document is no larger than the one before
    // (or kReadChunkBytes), as a reader that reads answers of one kind again
    // and again finds; a larger one is gathered in documentBytes_ first and
    // copied over. The caller holds a ParserMemoryScope.
    HRESULT ReadIntoParser(ISequentialStream* stream, int* length)
    {
        const std::size_t expected = std::max<std::size_t>(expectedDocumentBytes_, kReadChunkBytes);
        // One byte more than expected: a buffer read full holds a larger document.
        auto* direct = static_cast<char*>(XML_GetBuffer(parser_.get(), static_cast<int>(expected + 1)));
        if (direct == nullptr) {
            return ExpatFailure(XML_GetErrorCode(parser_.get()));
        }
        std::size_t size = 0;
        while (size <= expected) {
            const auto wanted = static_cast<ULONG>(std::min<std::size_t>(kReadChunkBytes, expected + 1 - size));
            ULONG bytesRead = 0;
            HRESULT readResult = stream->Read(direct + size, wanted, &bytesRead);
            if (FAILED(readResult)) {
                return readResult;
            }
            if (bytesRead == 0) {
                *length = static_cast<int>(size);
                return S_OK;
            }
            size += std::min(bytesRead, wanted);
        }
        documentBytes_.clear();
        std::memcpy(documentBytes_.Reserve(size), direct, size);
        documentBytes_.Resize(size);
        HRESULT result = ReadDocument(stream);
        if (FAILED(result)) {
            return result;
        }
        size = documentBytes_.size();
        void* buffer = XML_GetBuffer(parser_.get(), static_cast<int>(size));
        if (buffer == nullptr) {
            return ExpatFailure(XML_GetErrorCode(parser_.get()));
        }
        std::memcpy(buffer, documentBytes_.data(), size);
        // Expat holds the document now; a large copy of it goes at once.
        documentBytes_.Trim(kRetainedDocumentBytes);
        // The next document is read straight in when it is no larger, as long
        // as a parser of that size is kept between parses.
        expectedDocumentBytes_ = size <= kRetainedBytes / 2 ? size : 0;
        *length = static_cast<int>(size);
        return S_OK;
    }

    // Reads the rest of the stream (to a read of 0 bytes) into
    // documentBytes_, which may not grow past kMaxSaxParserBytes.
    HRESULT ReadDocument(ISequentialStream* stream)
    {
        for (;;) {
            std::size_t size = documentBytes_.size();
            if (size + kReadChunkBytes > kMaxSaxParserBytes) {
                return E_OUTOFMEMORY;
            }
            char* room = documentBytes_.Reserve(kReadChunkBytes);
            ULONG bytesRead = 0;
            HRESULT readResult = stream->Read(room, kReadChunkBytes, &bytesRead);
            if (FAILED(readResult)) {
                return readResult;
            }
            if (bytesRead == 0) {
                return S_OK;
            }
            documentBytes_.Resize(size + std::min<ULONG>(bytesRead, kReadChunkBytes));
        }
    }

    // Ends the parse with the first failure; later events are not delivered.
    void Fail(HRESULT result)
    {
        if (SUCCEEDED(failure_)) {
            failure_ = result;
            XML_StopParser(parser_.get(), XML_FALSE);
        }
    }

    bool Stopped() const { return FAILED(failure_); }

    // Runs one callback's work: an exception (a handler's, or a buffer that
    // cannot grow) becomes the parse's failure instead of unwinding through Expat.
    template <typename Work>
    static void Guarded(void* userData, Work work) noexcept
    {
        ExpatSaxReader* self = Self(userData);
        try {
            work(self);
        } catch (const std::bad_alloc&) {
            self->Fail(E_OUTOFMEMORY);
        } catch (...) {
            self->Fail(E_UNEXPECTED);
        }
    }

    HRESULT FlushText()
    {
        if (pendingText_.empty()) {
            return S_OK;
        }
        HRESULT result = S_OK;
        if (textPieceUnits_ != 0) {
            result = FlushTextInPieces();
        } else if (handler_) {
            result = handler_->characters(pendingText_.data(), static_cast<int>(pendingText_.size()));
        }
        pendingText_.clear();
        return result;
    }

    // The test mode: the joined text in pieces of textPieceUnits_, each to
    // the handler of the moment.
    HRESULT FlushTextInPieces()
    {
        for (std::size_t offset = 0; offset < pendingText_.size(); offset += textPieceUnits_) {
            if (!handler_) {
                return S_OK;
            }
            std::size_t count = std::min(textPieceUnits_, pendingText_.size() - offset);
            HRESULT result = handler_->characters(pendingText_.data() + offset, static_cast<int>(count));
            if (FAILED(result)) {
                return result;
            }
        }
        return S_OK;
    }

    // Delivers the joined text before another event; false when that failed.
    bool BeforeEvent()
    {
        if (Stopped()) {
            return false;
        }
        HRESULT result = FlushText();
        if (FAILED(result)) {
            Fail(result);
            return false;
        }
        return true;
    }

    static ExpatSaxReader* Self(void* userData) { return static_cast<ExpatSaxReader*>(userData); }

    static void XMLCALL OnStartElement(void* userData, const XML_Char* name, const XML_Char** attributes)
    {
        Guarded(userData, [&](ExpatSaxReader* self) {
            if (!self->BeforeEvent()) {
                return;
            }
            if (++self->depth_ > kMaxSaxElementDepth) {
                self->Fail(kSaxTooDeep);
                return;
            }
            if (!self->handler_) {
                self->openElements_.Push(nullptr);
                return;
            }
            const NameCache::Entry& entry = self->elementNames_.Lookup(name);
            self->openElements_.Push(&entry);
            const NameSpan& span = entry.span;
            const OLECHAR* names = entry.wide.data();
            self->attributes_.Load(attributes);
            HRESULT result = self->handler_->startElement(names + span.uri, span.uriLength, names + span.local,
                                                          span.localLength, names + span.qualified,
                                                          span.qualifiedLength, &self->attributes_);
            if (FAILED(result)) {
                self->Fail(result);
            }
        });
    }

    static void XMLCALL OnEndElement(void* userData, const XML_Char* name)
    {
        Guarded(userData, [&](ExpatSaxReader* self) {
            if (!self->BeforeEvent()) {
                return;
            }
            --self->depth_;
            const NameCache::Entry* entry = self->openElements_.Pop();
            if (!self->handler_) {
                return;
            }
            if (entry == nullptr) {
                entry = &self->elementNames_.Lookup(name);
            }
            const NameSpan& span = entry->span;
            const OLECHAR* names = entry->wide.data();
            HRESULT result = self->handler_->endElement(names + span.uri, span.uriLength, names + span.local,
                                                        span.localLength, names + span.qualified,
                                                        span.qualifiedLength);
            if (FAILED(result)) {
                self->Fail(result);
            }
        });
    }

    static void XMLCALL OnCharacters(void* userData, const XML_Char* text, int length)
    {
        Guarded(userData, [&](ExpatSaxReader* self) {
            if (self->Stopped()) {
                return;
            }
            if (length == 1 && static_cast<unsigned char>(text[0]) < 0x80) {
                self->pendingText_.push_back(static_cast<OLECHAR>(text[0]));  // a line end, mostly
            } else {
                AppendUtf16(self->pendingText_, text, static_cast<std::size_t>(length));
            }
        });
    }

    static void XMLCALL OnStartNamespace(void* userData, const XML_Char* prefix, const XML_Char* uri)
    {
        Guarded(userData, [&](ExpatSaxReader* self) {
            if (!self->BeforeEvent() || !self->handler_) {
                return;
            }
            self->names_.clear();
            if (prefix != nullptr) {
                AppendUtf16(self->names_, prefix, std::strlen(prefix));
            }
            std::size_t prefixLength = self->names_.size();
            if (uri != nullptr) {
                AppendUtf16(self->names_, uri, std::strlen(uri));
            }
            self->names_.push_back(0);
            const OLECHAR* names = self->names_.data();
            HRESULT result = self->handler_->startPrefixMapping(
                names, static_cast<int>(prefixLength), names + prefixLength,
                static_cast<int>(self->names_.size() - 1 - prefixLength));
            if (FAILED(result)) {
                self->Fail(result);
            }
        });
    }

    static void XMLCALL OnEndNamespace(void* userData, const XML_Char* prefix)
    {
        Guarded(userData, [&](ExpatSaxReader* self) {
            if (!self->BeforeEvent() || !self->handler_) {
                return;
            }
            self->names_.clear();
            if (prefix != nullptr) {
                AppendUtf16(self->names_, prefix, std::strlen(prefix));
            }
            int length = static_cast<int>(self->names_.size());
            self->names_.push_back(0);
            HRESULT result = self->handler_->endPrefixMapping(self->names_.data(), length);
            if (FAILED(result)) {
                self->Fail(result);
            }
        });
    }

    static void XMLCALL OnProcessingInstruction(void* userData, const XML_Char* target, const XML_Char* data)
    {
        Guarded(userData, [&](ExpatSaxReader* self) {
            if (!self->BeforeEvent() || !self->handler_) {
                return;
            }
            self->names_.clear();
            AppendUtf16(self->names_, target, std::strlen(target));
            std::size_t targetLength = self->names_.size();
            AppendUtf16(self->names_, data, std::strlen(data));
            self->names_.push_back(0);
            const OLECHAR* names = self->names_.data();
            HRESULT result = self->handler_->processingInstruction(
                names, static_cast<int>(targetLength), names + targetLength,
                static_cast<int>(self->names_.size() - 1 - targetLength));
            if (FAILED(result)) {
                self->Fail(result);
            }
        });
    }

    static void XMLCALL OnDoctype(void* userData, const XML_Char*, const XML_Char*, const XML_Char*, int)
    {
        Self(userData)->Fail(kSaxDoctypeRefused);
    }

    std::atomic<ULONG> references_{1};
    // Pieces the joined text is handed over in; 0: whole (the product's way).
    std::size_t textPieceUnits_;
    ComRef<ISAXContentHandler> handler_;
    // Freed only inside a ParserMemoryScope (FreeParser), so that its memory
    // is counted back.
    UniqueResource<XML_Parser, &XML_ParserFree, nullptr> parser_;
    ParserMemory parserMemory_;
    unsigned long hashSalt_ = NewHashSalt();
    HRESULT failure_ = S_OK;
    int depth_ = 0;
    GrowableBuffer<char> documentBytes_;
    // The size of the last document read through documentBytes_: the next
    // one of up to that size is read straight into the parser's buffer.
    std::size_t expectedDocumentBytes_ = 0;
    TextBuffer pendingText_;
    TextBuffer names_;
    NameCache elementNames_;
    OpenElements openElements_;
    ExpatAttributes attributes_;
};

}  // namespace

HRESULT CreateSaxReaderSplittingText(ISAXXMLReader** reader, std::size_t pieceUnits)
{
    if (reader == nullptr) {
        return E_POINTER;
    }
    *reader = new (std::nothrow) ExpatSaxReader(pieceUnits);
    return *reader == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT CreateSaxReader(ISAXXMLReader** reader)
{
    return CreateSaxReaderSplittingText(reader, 0);
}

}  // namespace corvel::platform

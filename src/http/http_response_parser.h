// The HTTP/1.1 response reader without a socket: bytes go in through Put,
// which says how many it consumed and whether the response is complete, has
// failed (and why) or needs more. The HTTP client's receive loop drives it;
// tests and fuzz targets feed it directly, split anywhere.
//
// States (State below), one response at a time, and the function that makes
// each move:
//   headerBlock -> headerBlock     an interim 1xx other than 101 is dropped   HeaderBlockEnded
//   headerBlock -> complete        no body: 204, 304, 101, a HEAD request     ChooseFraming
//   headerBlock -> plainBody       Content-Length                             ChooseFraming
//   headerBlock -> bodyUntilClose  no framing                                 ChooseFraming
//   headerBlock -> chunkSize       Transfer-Encoding: chunked                 ChooseFraming
//   plainBody   -> complete        the last declared byte                     Put
//   bodyUntilClose -> complete     the end of the connection                  PutEnd
//   chunkSize   -> chunkSizeEnd    the CR after the size digits               ChunkSizeByte
//   chunkSizeEnd -> chunkData      the LF                                     ExpectLineEnd
//   chunkData   -> chunkDataEnd    the chunk's last byte                      Put
//   chunkDataEnd -> chunkSize      CR LF                                      ExpectLineEnd
//   chunkSize   -> lastChunk       size 0                                     ChunkSizeByte
//   lastChunk   -> trailers        the LF                                     ExpectLineEnd
//   trailers    -> complete        the empty line                             TrailerByte
//   chunkSize   -> emptyLastChunk  an empty chunk-size line                   ChunkSizeByte
//   emptyLastChunk -> complete     the LF                                     ExpectLineEnd
//   any state   -> failed          failure() names the reason                 Fail (PutEnd too)
//   any state   -> headerBlock     the next response                          Begin
// The framing flags are set once, by ChooseFraming, from the final header
// block, and hold until Begin: chunked (with joinTrailers when a Trailer
// header names trailers) and untilClose exclude each other; lengthsAmbiguous
// (Transfer-Encoding beside Content-Length) may stand beside either framing;
// closeToken and keepAliveToken may both be set, and close wins (see
// KeepsConnection). statusOverflow is set by ParseStatusLine only.
// The response's memory is charged as it is buffered (response_memory.h) and
// given back by Begin, Drop and the destructor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "http/http_failure.h"
#include "http/response_memory.h"

namespace corvel::http {

// Header names compare case-insensitively (ASCII letters folded to upper case);
// EqualsFolded also compares URL schemes and methods.
struct FoldedHash {
    std::size_t operator()(const std::string& text) const;
};
struct FoldedEqual {
    bool operator()(const std::string& a, const std::string& b) const;
};
bool EqualsFolded(const char* a, const char* b);

// A byte buffer with 4096 bytes of inline storage that moves to the heap when
// it grows; always NUL-terminated, never longer than kMaxResponseBytes. Its
// heap block is held on the response's memory account.
class ResponseBuffer {
public:
    static constexpr std::uint32_t kInlineCapacity = 4096;
    static constexpr std::uint32_t kMinimumGrowth = 4096;

    explicit ResponseBuffer(ResponseMemory* account = nullptr) : memory(account) { inlineStorage[0] = 0; }
    ResponseBuffer(const ResponseBuffer&) = delete;
    ResponseBuffer& operator=(const ResponseBuffer&) = delete;
    ~ResponseBuffer() { Empty(); }

    // none, or why the bytes were not appended (the buffer is then unchanged).
    HttpFailure Append(const void* bytes, std::uint32_t count);
    void Truncate(std::uint32_t newLength);
    // Length 0; a heap block is freed and its bytes given back.
    void Empty();

    char* Data() { return storage; }
    const char* Data() const { return storage; }
    std::uint32_t Length() const { return length; }
    std::uint32_t Capacity() const { return capacity; }

private:
    ResponseMemory* memory;
    char inlineStorage[kInlineCapacity];
    char* storage = inlineStorage;
    std::uint32_t length = 0;
    std::uint32_t capacity = kInlineCapacity;
};

// The chunk-size line at [cursor, end): an unsigned hexadecimal number with
// optional leading white space, sign and 0x; complete only when a CR follows
// the digits at once (a chunk extension never completes).
enum class ChunkSizeScan { complete, needMoreBytes, invalid };
ChunkSizeScan ScanChunkSize(const char* cursor, const char* end, std::uint32_t* size, std::size_t* consumed);

// Limits of the reader, beside the per-response cap of response_memory.h.
// A header name or value of this many bytes or more drops the line.
inline constexpr std::uint32_t kMaxHeaderPartLength = 1024;
// A chunk-size line longer than this can never complete: it fails.
inline constexpr std::uint32_t kMaxChunkLineBytes = 2048;
// A trailer line longer than this is dropped, as an overlong header line is.
inline constexpr std::uint32_t kMaxTrailerLineBytes = 4096;
// What a header table entry costs beyond its two texts' capacities: the node
// (link, cached hash, two string objects), the allocator's header, a bucket.
inline constexpr std::size_t kHeaderEntryOverhead = 2 * sizeof(std::string) + 6 * sizeof(void*) + 16;

class CHttpResponseParser {
public:
    using HeaderTable = std::unordered_map<std::string, std::string, FoldedHash, FoldedEqual>;
    // Told of every header line the table takes (cookies, challenges).
    using HeaderLineSink = void (*)(void* context, const std::string& name, const std::string& value);

    enum class State {
        headerBlock,     // status line and header lines, kept up to the blank line (CR LF CR LF)
        plainBody,       // a body of known length: bodyRemaining bytes to come
        bodyUntilClose,  // a body without framing: everything until the connection ends
        chunkSize,       // Size: a chunk-size line, collected up to the CR after its digits
        chunkSizeEnd,    // Size-end: the CR LF after a chunk size
        chunkData,       // Data: chunkRemaining bytes of chunk data
        chunkDataEnd,    // Data-end: the CR LF after a chunk's data
        lastChunk,       // Last: the CR LF after the chunk size 0
        emptyLastChunk,  // Last after an empty chunk-size line: its CR LF also ends the body
        trailers,        // Trailers: trailer lines up to the empty line
        complete,        // the response has ended; later bytes belong to nothing
        failed,          // failure names why; nothing more is consumed
    };
    enum class Progress { needMore, complete, failed };
    struct PutResult {
        std::size_t consumed;
        Progress progress;
    };

    explicit CHttpResponseParser(ResponseBudget& budget = ProcessResponseBudget());
    CHttpResponseParser(const CHttpResponseParser&) = delete;
    CHttpResponseParser& operator=(const CHttpResponseParser&) = delete;

    void SetHeaderLineSink(HeaderLineSink sink, void* context)
    {
        headerLineSink = sink;
        sinkContext = context;
    }

    // Starts a new response (dropping the last one). A response to HEAD has no body.
    void Begin(bool bodyless = false);
    // Consumes what the current response takes of the bytes: all of them
    // unless it completes or fails among them.
    PutResult Put(const char* bytes, std::size_t size);
    // The connection has ended: completes a body read until then; any other
    // unfinished response fails with connectionClosed.
    Progress PutEnd();
    // Gives back everything the response holds; statusCode stays.
    void Drop();

    State CurrentState() const { return state; }
    bool InHeaderBlock() const { return state == State::headerBlock; }
    bool IsChunked() const { return chunked; }
    // Whether the connection may carry the next request once this response
    // is complete: a persistent protocol version or keep-alive, no close token,
    // framing that ends by itself, not both Transfer-Encoding and Content-Length.
    bool KeepsConnection() const;
    HttpFailure Failure() const { return failure; }
    // What the response has cost against kMaxResponseBytes.
    std::uint64_t Cost() const { return wireBytes + tableBytes; }
    const ResponseMemory& Memory() const { return memory; }

    std::int32_t StatusCode() const { return statusCode; }
    bool HeaderValue(const char* name, std::string& value) const;
    const HeaderTable& Headers() const { return headerTable; }
    // The header block at offset 0, then the (de-chunked) body.
    const char* ResponseData() const { return response.Data(); }
    std::uint32_t ResponseLength() const { return response.Length(); }
    std::uint32_t ResponseCapacity() const { return response.Capacity(); }
    std::uint32_t HeaderLength() const { return headerLength; }
    std::uint32_t ResponseBodyLength() const { return responseBodyLength; }

    // The steps over a complete header block.
    bool ParseStatusLine();
    bool ParseHeaderLines();
    bool ParseHeaderLine(const char* lineStart, const char* lineEnd);

private:
    bool Fail(HttpFailure reason);
    bool Consume(std::size_t wire);
    bool Keep(const char* bytes, std::size_t count);
    bool FindHeaderLines(std::uint32_t* lineStart);
    bool HeaderBlockEnded();
    bool ChooseFraming();
    bool ExpectLineEnd(char byte, State next);
    bool ChunkSizeByte(char byte);
    bool TrailerByte(char byte);
    void ClearHeaderTable();
    std::size_t EntryCost(const std::string& name, const std::string& value) const;

    // Declared first: the buffer holds its heap block on this account.
    ResponseMemory memory;
    ResponseBuffer response{&memory};
    HeaderTable headerTable{17};
    HeaderLineSink headerLineSink = nullptr;
    void* sinkContext = nullptr;

    State state = State::headerBlock;
    HttpFailure failure = HttpFailure::none;
    std::int32_t statusCode = -1;
    bool statusOverflow = false;
    std::uint32_t headerLength = 0;
    std::uint32_t responseBodyLength = 0;
    bool bodyless = false;

    // Cost so far: every byte consumed for this response (interim answers
    // included), and the header table's holding.
    std::uint64_t wireBytes = 0;
    std::uint64_t tableBytes = 0;

    // How far CR LF CR LF has been matched at the end of the bytes so far.
    std::uint32_t blankLineMatched = 0;

    // Framing and connection, from the final response's header block.
    bool chunked = false;
    bool joinTrailers = false;
    bool untilClose = false;
    bool lengthsAmbiguous = false;  // Transfer-Encoding together with Content-Length
    bool persistentVersion = false;
    bool keepAliveToken = false;
    bool closeToken = false;
    std::uint64_t bodyRemaining = 0;
    std::uint32_t chunkRemaining = 0;

    // Size-end, Data-end and Last: bytes of the CR LF seen so far.
    std::uint32_t lineEndMatched = 0;
    // Chunk-size and trailer lines: the bytes of the current line (its true
    // length may pass what is kept), and whether its last byte was a CR.
    char lineBuffer[kMaxTrailerLineBytes];
    std::uint32_t lineLength = 0;
    bool lineEndsInCr = false;
};

}  // namespace corvel::http

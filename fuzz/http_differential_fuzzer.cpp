// The response reader against a reference: the same bytes go to
// CHttpResponseParser and to the http-parser library (Debian's
// libhttp-parser-dev). Where both accept the response, they must agree on the
// status, the body bytes and whether the connection may carry another
// request; the reader must also read the same fed in two pieces at any split.
// Every difference that is intended is an exception below, with its reason.
// Input: the bytes a server sends; the end of the input is the end of the
// connection.
#include <http_parser.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "http/http_response_parser.h"
#include "platform/ascii.h"

namespace {

using corvel::http::CHttpResponseParser;

struct Outcome {
    bool accepted = false;
    int status = 0;
    std::string body;
    bool keepsConnection = false;
};

Outcome ReadWithOurs(const std::uint8_t* data, std::size_t size, std::size_t split, CHttpResponseParser& parser)
{
    parser.Begin();
    const char* bytes = reinterpret_cast<const char*>(data);
    CHttpResponseParser::PutResult put = parser.Put(bytes, split);
    if (put.progress == CHttpResponseParser::Progress::needMore) {
        put = parser.Put(bytes + split, size - split);
    }
    CHttpResponseParser::Progress progress = put.progress;
    if (progress == CHttpResponseParser::Progress::needMore) {
        progress = parser.PutEnd();
    }
    Outcome outcome;
    outcome.accepted = progress == CHttpResponseParser::Progress::complete;
    outcome.status = parser.StatusCode();
    outcome.body.assign(parser.ResponseData() + parser.HeaderLength(), parser.ResponseBodyLength());
    outcome.keepsConnection = parser.KeepsConnection();
    return outcome;
}

// The reference reads interim answers as messages of their own; the first
// final message is the one compared, and reading stops there.
struct Reference {
    Outcome outcome;
    std::string body;
    bool done = false;
};

int OnBody(http_parser* parser, const char* at, std::size_t length)
{
    static_cast<Reference*>(parser->data)->body.append(at, length);
    return 0;
}

int OnMessageComplete(http_parser* parser)
{
    auto* reference = static_cast<Reference*>(parser->data);
    const unsigned status = parser->status_code;
    if (status >= 100 && status <= 199 && status != 101) {
        reference->body.clear();
        return 0;
    }
    reference->outcome.accepted = true;
    reference->outcome.status = static_cast<int>(status);
    reference->outcome.body = reference->body;
    reference->outcome.keepsConnection = http_should_keep_alive(parser) != 0;
    reference->done = true;
    return 1;  // stop: what follows is not this response's
}

Outcome ReadWithReference(const std::uint8_t* data, std::size_t size)
{
    http_parser_settings settings;
    http_parser_settings_init(&settings);
    settings.on_body = OnBody;
    settings.on_message_complete = OnMessageComplete;
    Reference reference;
    http_parser parser;
    http_parser_init(&parser, HTTP_RESPONSE);
    parser.data = &reference;
    http_parser_execute(&parser, &settings, reinterpret_cast<const char*>(data), size);
    if (!reference.done && HTTP_PARSER_ERRNO(&parser) == HPE_OK) {
        http_parser_execute(&parser, &settings, nullptr, 0);  // the end of the connection
    }
    return reference.outcome;
}

bool Contains(const std::string& text, const char* needle)
{
    return text.find(needle) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static CHttpResponseParser* ours = new CHttpResponseParser;  // kept: as a client keeps its reader
    const Outcome whole = ReadWithOurs(data, size, size, *ours);

    // Our own invariant: the split does not change the outcome.
    const std::size_t split = size == 0 ? 0 : (data[0] * 131u + size) % (size + 1);
    CHttpResponseParser splitParser;
    const Outcome pieces = ReadWithOurs(data, size, split, splitParser);
    if (pieces.accepted != whole.accepted || pieces.status != whole.status || pieces.body != whole.body ||
        pieces.keepsConnection != whole.keepsConnection) {
        std::abort();
    }
    if (ours->Cost() > corvel::http::kMaxResponseBytes) {
        std::abort();
    }

    const Outcome reference = ReadWithReference(data, size);
    if (!whole.accepted || !reference.accepted) {
        // Rejections differ on purpose in both directions: this reader never
        // completes a chunk extension and reads a header line only up to CR
        // LF (the reference takes both); it accepts repeated equal
        // Content-Length values, an empty chunk-size line as the end of the
        // body, signs and 0x before a chunk size, and any status number (the
        // reference refuses them all).
        return 0;
    }
    // Every header block up to the final one's end (interim ones included),
    // found by feeding a reader byte by byte until its header phase ends.
    std::size_t headerEnd = 0;
    {
        CHttpResponseParser finder;
        finder.Begin();
        while (headerEnd < size && finder.InHeaderBlock()) {
            finder.Put(reinterpret_cast<const char*>(data) + headerEnd, 1);
            ++headerEnd;
        }
    }
    const std::string headerBlock(reinterpret_cast<const char*>(data), headerEnd);
    std::string transferEncoding;
    const bool hasTransferEncoding = ours->HeaderValue("Transfer-Encoding", transferEncoding);

    // Exception: the protocol version is not checked here (the number after
    // the first blank is the status, whatever the first token, and only 1.1
    // and later keep the connection by default); the reference reads odd
    // version texts and other versions by rules of its own. Only HTTP/1.0 and
    // HTTP/1.1 are compared.
    const std::string finalBlock(ours->ResponseData(), ours->HeaderLength());
    if (finalBlock.rfind("HTTP/1.1 ", 0) != 0 && finalBlock.rfind("HTTP/1.0 ", 0) != 0) {
        return 0;
    }
    // Exception: header lines end only at CR LF here. A bare LF or CR inside
    // the block continues the line it is in, so a framing header after it is
    // part of another header's value; the reference may end the line there.
    for (std::size_t at = 0; at < headerBlock.size(); ++at) {
        const bool bareLineFeed = headerBlock[at] == '\n' && (at == 0 || headerBlock[at - 1] != '\r');
        const bool bareReturn = headerBlock[at] == '\r' && (at + 1 == headerBlock.size() || headerBlock[at + 1] != '\n');
        if (bareLineFeed || bareReturn) {
            return 0;
        }
    }
    // Exception: a folded header line keeps its CR LF inside the value here;
    // a folded framing header therefore means something else to each.
    if (Contains(headerBlock, "\r\n ") || Contains(headerBlock, "\r\n\t")) {
        return 0;
    }
    // Exception: a NUL ends the header lines here.
    if (headerBlock.find('\0') != std::string::npos) {
        return 0;
    }
    // Exceptions: a header line whose name or value is 1024 bytes or more is
    // dropped here, framing headers included; a name is not trimmed, so
    // white space before the colon makes it another name (the reference
    // reads past it); and the white space skipped before a value is the C
    // locale's (VT and FF too), where the reference skips only SP and HT, so
    // "Transfer-Encoding:\v chunked" selects chunks only here.
    std::size_t lineStart = 0;
    while (lineStart < headerBlock.size()) {
        const std::size_t lineEnd = headerBlock.find("\r\n", lineStart);
        if (lineEnd == std::string::npos) {
            break;
        }
        if (lineEnd - lineStart >= corvel::http::kMaxHeaderPartLength) {
            return 0;
        }
        const std::size_t colon = headerBlock.find(':', lineStart);
        if (colon != std::string::npos && colon > lineStart && colon < lineEnd &&
            (headerBlock[colon - 1] == ' ' || headerBlock[colon - 1] == '\t')) {
            return 0;
        }
        if (colon != std::string::npos && colon < lineEnd) {
            for (std::size_t at = colon + 1; at < lineEnd && corvel::platform::IsAsciiSpace(headerBlock[at]); ++at) {
                if (headerBlock[at] != ' ' && headerBlock[at] != '\t') {
                    return 0;
                }
            }
        }
        lineStart = lineEnd + 2;
    }
    // Exception: only a Transfer-Encoding that is "chunked" alone selects
    // chunks here; one that lists another coding first is read until close
    // (the reference takes the last coding).
    if (hasTransferEncoding) {
        std::string trimmed = transferEncoding;
        while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\t')) {
            trimmed.pop_back();
        }
        if (!corvel::http::EqualsFolded(trimmed.c_str(), "chunked")) {
            return 0;
        }
    }
    // Exception: the reference reads a framing field among the trailers
    // (Transfer-Encoding, Content-Length, Connection) by its header rules, and
    // it changes whether the connection is kept; here trailers are fields only.
    // The reference also ends a trailer line at a bare LF or CR, so a field
    // after one is a field of its own there and part of a value here.
    if (ours->IsChunked()) {
        std::string rest(reinterpret_cast<const char*>(data) + headerEnd, size - headerEnd);
        for (char& c : rest) {
            c = corvel::platform::FoldAsciiCase(c);
        }
        for (const char* name : {"\ntransfer-encoding", "\ncontent-length", "\nconnection", "\rtransfer-encoding",
                                 "\rcontent-length", "\rconnection"}) {
            if (Contains(rest, name)) {
                return 0;
            }
        }
    }
    // Exception: 101 switches protocols; the reference stops reading there.
    if (whole.status == 101 || reference.status == 101) {
        return 0;
    }
    // Exception: 204 and 304 have no body here whatever follows them; the
    // reference may read a body (announced or until close) after them.
    if (whole.status == 204 || whole.status == 304) {
        if (whole.status != reference.status) {
            std::abort();
        }
        return 0;
    }
    std::string contentLength;
    const bool hasContentLength = ours->HeaderValue("Content-Length", contentLength);

    if (whole.status != reference.status || whole.body != reference.body) {
        std::abort();
    }
    // Exception: a response with both Transfer-Encoding and Content-Length
    // never keeps the connection here.
    const bool bothLengths = hasTransferEncoding && hasContentLength;
    if (!bothLengths && whole.keepsConnection != reference.keepsConnection) {
        std::abort();
    }
    return 0;
}

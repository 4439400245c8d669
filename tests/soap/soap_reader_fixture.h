// A CSoapRootHandler over a given pair of tables, with the SAX reader, COM and
// a header record set up as the proxy sets them, for the reader tests, the
// fuzz targets and the benchmark. Parse() runs one call's parse of a response.
#pragma once

#include <cstring>
#include <ostream>
#include <string>

#include "platform/com.h"
#include "platform/sax.h"
#include "soap/soap_root_handler.h"
#include "soap/terminal_service_tables.h"
#include "soap/write_stream.h"
#include "soap/test_service.h"
#include "platform/memory_stream.h"

namespace corvel::soap {

// Test failures show a reason by its name.
inline void PrintTo(SoapReadFailure failure, std::ostream* out)
{
    *out << SoapReadFailureName(failure);
}

}  // namespace corvel::soap

namespace corvel::soap::testing {

using Text = std::basic_string<OLECHAR>;

inline Text ToText(BSTR value)
{
    return value == nullptr ? Text() : Text(value, SysStringLen(value));
}

class TableHandler final : public CSoapRootHandler {
public:
    // textPieceUnits: the SAX reader hands every text over in pieces of at
    // most that many code units (0: as it delivers text in the product).
    TableHandler(const TypeDescriptor* const* operations, const TypeDescriptor* const* headers,
                 void* headerRecord = nullptr, std::size_t textPieceUnits = 0)
        : operations_(operations), headers_(headers), headerRecord_(headerRecord)
    {
        platform::InitializeComForThread();
        created = platform::CreateSaxReaderSplittingText(xmlReader.out(), textPieceUnits);
        if (SUCCEEDED(created)) {
            xmlReader->putContentHandler(this);
        }
        clientRole = true;
    }
    ~TableHandler() override
    {
        ReleaseParameters();
        if (xmlReader) {
            xmlReader->putContentHandler(nullptr);
        }
        xmlReader.reset();
        platform::UninitializeComForThread();
    }

    const TypeDescriptor* const* OperationTable() override { return operations_; }
    const TypeDescriptor* const* HeaderTable() override { return headers_; }
    const OLECHAR* ServiceNamespace(int* length) override
    {
        *length = 0;
        return OLESTR("");
    }
    const char* ServiceNamespaceNarrow(int* length) override
    {
        *length = 0;
        return "";
    }
    void* HeaderRecord() override { return headerRecord_; }

    // One call as the proxy makes it: bottom level, release, parse; on
    // failure the values are released again. The levels stay until Reset().
    HRESULT Parse(std::size_t operationIndex, void* parameters, const std::string& response,
                  ULONG chunkBytes = 0xFFFFFFFFu)
    {
        ResetParseState();
        parameterRecord = parameters;
        HRESULT result = PushHeaderLevel(operationIndex);
        if (FAILED(result)) {
            return result;
        }
        ReleaseParameters();
        platform::testing::MemoryStream stream(response, chunkBytes);
        result = ParseResponse(&stream);
        if (FAILED(result)) {
            ReleaseParameters();
        }
        return result;
    }

    HRESULT created = E_FAIL;

private:
    const TypeDescriptor* const* operations_;
    const TypeDescriptor* const* headers_;
    void* headerRecord_;
};

// The server's side of a call: it finds the operation by the request's
// wrapper and reads the request into a record of its own.
class ServerHandler {
public:
    ServerHandler() { handler.clientRole = false; }
    ~ServerHandler() { handler.ReleaseParameters(); }

    HRESULT Read(const std::string& request)
    {
        handler.ReleaseParameters();
        handler.ResetParseState();
        platform::testing::MemoryStream stream(request);
        return handler.ParseResponse(&stream);
    }
    template <typename Record>
    Record& Parameters()
    {
        return *static_cast<Record*>(handler.parameterRecord);
    }
    // The response the server writes from the record it read.
    HRESULT Respond(std::string* text)
    {
        CWriteStreamOnCString stream;
        HRESULT result = handler.WriteRequest(&stream);
        *text = stream.Text();
        return result;
    }

    test_service::TestHeaderRecord headers{};
    TableHandler handler{test_service::OperationTable, test_service::HeaderTable, &headers};
};

inline TableHandler* NewTerminalHandler()
{
    return new TableHandler(terminal_service::OperationTable, terminal_service::HeaderTable);
}

// An envelope around body content, with the usual prefixes declared.
inline std::string Envelope(const std::string& body, const std::string& header = std::string())
{
    std::string text =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
        "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\""
        " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
        " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
        " xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\""
        " xmlns:m=\"http://corvel.example/message/\">";
    if (!header.empty()) {
        text += "<soap:Header>" + header + "</soap:Header>";
    }
    text += "<soap:Body>" + body + "</soap:Body></soap:Envelope>";
    return text;
}

}  // namespace corvel::soap::testing

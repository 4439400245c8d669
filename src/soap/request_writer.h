// The request writer: turns an operation's parameter record into a SOAP 1.1
// request envelope, driven only by the description tables. It is the writing
// half of CSoapRootHandler (soap_root_handler.h), which finds the descriptors
// from its parse levels and forwards here with its role, memory manager and
// service namespace. Everything is in namespace corvel::soap.
#pragma once

#include <cstdint>

#include "platform/compat.h"
#include "soap/memory_manager.h"
#include "soap/response_generator.h"
#include "soap/soap_tables.h"
#include "soap/write_stream.h"

namespace corvel::soap {

struct RequestWriterContext {
    // In the client role InParam members are written; in the server role OutParam ones.
    bool clientRole;
    // For binary values; null means the default heap.
    IMemoryManager* memory;
    // Narrow ServiceNamespace, for a UserType array whose type has no namespace.
    const char* serviceNamespace;
    int serviceNamespaceLength;
};

// "<soap:Envelope" with the soap, xsi, xsd and soapenc declarations.
inline constexpr char kEnvelopeStart[] =
    "<soap:Envelope"
    " xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
    " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
    " xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\">";
static_assert(sizeof(kEnvelopeStart) - 1 == 227);

// Writes the members of record (from recordData) that travel in this
// direction, wrapped in the record's wrapper element when withWrapper is set
// and the record is not PadStyle. Stops at the first failure; what is already
// written stays written.
HRESULT WriteMembers(const RequestWriterContext& context, CResponseGenerator* writer, const TypeDescriptor* record,
                     void* recordData, IWriteStream* stream, bool withWrapper);

// The envelope: chooses the writer from operation->callFlags (rpc/encoded,
// else PID, else PAD), then envelope start, the header element when the header
// record has members travelling in this direction, body start, the operation's
// members in their wrapper, body end and envelope end.
HRESULT WriteEnvelope(const RequestWriterContext& context, const TypeDescriptor* headerDescriptor,
                      void* headerRecord, const TypeDescriptor* operation, void* parameterRecord,
                      IWriteStream* stream);

}  // namespace corvel::soap

// The names of the response reader's rejections.
#include "soap/soap_read_failure.h"

#include "platform/sax.h"

namespace corvel::soap {

const char* SoapReadFailureName(SoapReadFailure failure)
{
    switch (failure) {
    case SoapReadFailure::none:
        return "none";
    case SoapReadFailure::unexpectedElement:
        return "unexpected element";
    case SoapReadFailure::missingElement:
        return "missing element";
    case SoapReadFailure::duplicateElement:
        return "duplicate element";
    case SoapReadFailure::wrongNamespace:
        return "wrong namespace";
    case SoapReadFailure::unknownOperation:
        return "unknown operation";
    case SoapReadFailure::mustUnderstand:
        return "must understand";
    case SoapReadFailure::badValue:
        return "bad value";
    case SoapReadFailure::emptyValue:
        return "empty value";
    case SoapReadFailure::nilNotAllowed:
        return "nil not allowed";
    case SoapReadFailure::arraySizeMismatch:
        return "array size mismatch";
    case SoapReadFailure::badArrayType:
        return "bad array type";
    case SoapReadFailure::arrayTooLarge:
        return "array too large";
    case SoapReadFailure::badReference:
        return "bad reference";
    case SoapReadFailure::unresolvedReference:
        return "unresolved reference";
    case SoapReadFailure::notWellFormed:
        return "not well formed";
    case SoapReadFailure::tooDeep:
        return "too deep";
    case SoapReadFailure::outOfMemory:
        return "out of memory";
    case SoapReadFailure::faultMalformed:
        return "fault malformed";
    case SoapReadFailure::badDescription:
        return "bad description";
    case SoapReadFailure::readerFailed:
        return "reader failed";
    }
    return "unknown";
}

SoapReadFailure ReaderFailureOf(HRESULT result)
{
    if (SUCCEEDED(result)) {
        return SoapReadFailure::none;
    }
    if (result == platform::kSaxTooDeep) {
        return SoapReadFailure::tooDeep;
    }
    if (result == E_OUTOFMEMORY) {
        return SoapReadFailure::outOfMemory;
    }
    // Any other code the handlers did not name is the XML reader's refusal
    // of the document: the Linux reader's and MSXML's parse errors, and
    // whatever code Wine's reader gives them.
    return SoapReadFailure::notWellFormed;
}

}  // namespace corvel::soap

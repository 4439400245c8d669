// Why the response reader refused an answer: one name per kind of rejection,
// recorded by the reader at its first failure beside the HRESULT that travels
// up unchanged, carried by the proxy beside its stage and the transport's
// failure, and printed by corvel-probe.
#pragma once

#include <cstdint>

#include "platform/compat.h"

namespace corvel::soap {

enum class SoapReadFailure : std::uint32_t {
    none = 0,
    unexpectedElement,    // an element the answer may not hold where it stands
    missingElement,       // a member or header that must be there ended absent
    duplicateElement,     // a member, or an array's items, given a second time
    wrongNamespace,       // an envelope-level element outside the envelope namespace
    unknownOperation,     // the Body's child names no operation of the service
    mustUnderstand,       // an unknown header that must be understood
    badValue,             // a value's text is not one of its type
    emptyValue,           // a simple value ended without text
    nilNotAllowed,        // xsi:nil on a member that cannot be nil
    arraySizeMismatch,    // more or fewer items than the array announced or holds
    badArrayType,         // an arrayType that cannot be read, or an encoded array without one
    arrayTooLarge,        // an announced array beyond what its count member or a block holds
    badReference,         // an href where none may be, a repeated id, a target that is an href
    unresolvedReference,  // an href whose target never arrived
    notWellFormed,        // the XML reader refused the document
    tooDeep,              // elements nested deeper than the XML reader allows
    outOfMemory,          // the answer would hold more than its size allows, or memory ran out
    faultMalformed,       // a status-500 answer whose Fault cannot be read
    badDescription,       // the description tables cannot describe this answer
    readerFailed,         // the XML reader could not be set to read this answer
};

// The failure's name as an operator reads it ("missing element").
const char* SoapReadFailureName(SoapReadFailure failure);

// The reason of a parse that failed with result while the reader's content
// handlers recorded none: the XML reader's own failure.
SoapReadFailure ReaderFailureOf(HRESULT result);

}  // namespace corvel::soap

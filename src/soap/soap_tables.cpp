// Release rule for one simple value of a record or array.
#include "soap/soap_tables.h"

namespace corvel::soap {

void ReleaseSimpleValue(void* address, std::int32_t typeCode, IMemoryManager* memory)
{
    if (address == nullptr) {
        return;
    }
    if (IsStringTypeCode(typeCode)) {
        auto* text = static_cast<BSTR*>(address);
        if (*text != nullptr) {
            SysFreeString(*text);
            *text = nullptr;
        }
    } else if (IsBinaryTypeCode(typeCode)) {
        auto* blob = static_cast<BinaryValue*>(address);
        if (blob->data != nullptr) {
            (memory != nullptr ? memory : DefaultMemoryManager())->Free(blob->data);
        }
        blob->data = nullptr;
        blob->size = 0;
    }
}

}  // namespace corvel::soap

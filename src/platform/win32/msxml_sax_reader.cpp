// The SAX2 reader on Windows: MSXML's, created through COM. No feature or
// property is set; the reader's defaults (namespace processing on, namespace
// declarations not reported as attributes) are what the engine relies on.
#include "platform/sax.h"

namespace corvel::platform {

HRESULT CreateSaxReader(ISAXXMLReader** reader)
{
    if (reader == nullptr) {
        return E_POINTER;
    }
    *reader = nullptr;
    return CoCreateInstance(kClsidSaxXmlReader, nullptr, CLSCTX_INPROC_SERVER, kIidSaxXmlReader,
                            reinterpret_cast<void**>(reader));
}

}  // namespace corvel::platform

// The HTTP client over the event socket.
#include "http/http_client.h"

namespace corvel::http {

template class CHttpClientT<ZEvtSyncSocket>;

}  // namespace corvel::http

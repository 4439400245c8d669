// The per-response account and the process-wide response budget.
#include "http/response_memory.h"

#include <algorithm>

namespace corvel::http {

bool ResponseBudget::Reserve(std::size_t bytes)
{
    std::size_t current = inUse.load();
    for (;;) {
        if (bytes > limit.load() || current > limit.load() - bytes) {
            return false;
        }
        if (inUse.compare_exchange_weak(current, current + bytes)) {
            return true;
        }
    }
}

void ResponseBudget::Release(std::size_t bytes)
{
    inUse.fetch_sub(bytes);
}

ResponseBudget& ProcessResponseBudget()
{
    static ResponseBudget budget(kProcessResponseBudgetBytes);
    return budget;
}

bool ResponseMemory::Hold(std::size_t bytes)
{
    const std::size_t wanted = ReservationFor(held + bytes);
    if (wanted > reserved) {
        if (!budget->Reserve(wanted - reserved)) {
            return false;
        }
        reserved = wanted;
    }
    held += bytes;
    return true;
}

void ResponseMemory::Free(std::size_t bytes)
{
    held -= std::min(bytes, held);
    const std::size_t wanted = ReservationFor(held);
    if (reserved > wanted) {
        budget->Release(reserved - wanted);
        reserved = wanted;
    }
}

}  // namespace corvel::http

// Trace lines: "[name](thread id): message\n" on the debugger output.
// CNTService::Trace names its lines after the service; the workers (scanner,
// probes, listener, Run) use WatchdogTrace, named "Corvel-DisconnService".
#pragma once

#include <cstdarg>
#include <cstddef>

namespace corvel {

// A trace line, prefix and line end included, is composed in this many bytes
// (terminator included); a longer message is cut so that the line still ends
// with its line feed. Control characters in the message (a line feed among
// them) are written as \xNN, so that one trace call is always one line.
inline constexpr std::size_t kTraceLineBytes = 1024;
inline constexpr const char kWatchdogTraceName[] = "Corvel-DisconnService";

void TraceLineV(const char* name, const char* format, std::va_list arguments);

// A ready text (a URL, an SQL statement, a datagram) written as the message,
// unchanged: a '%' in it is printed, never interpreted.
void TraceText(const char* name, const char* text);

}  // namespace corvel

#if defined(__GNUC__)
#define CORVEL_PRINTF(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define CORVEL_PRINTF(formatIndex, firstArgument)
#endif

void WatchdogTrace(const char* format, ...) CORVEL_PRINTF(1, 2);
void WatchdogTraceText(const char* text);

// One announcement's work in the terminal database: the lookup of the sender's
// address and, for a new terminal, the insert that is committed before the
// listener goes on. Against a Properties table of 1,000 / 10,000 / 100,000
// rows the time per announcement should stay flat (the ip column is indexed).
// Each insert is synced to disk, so the figure includes the file system's
// sync; run with 2>/dev/null, since every lookup writes its trace line.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "registration/terminal_database.h"

namespace {

namespace fs = std::filesystem;

// A state root whose terminal.db holds rows rows, filled by the sqlite3 shell
// in one transaction.
fs::path PrepareRoot(long rows)
{
    fs::path root = fs::temp_directory_path() / ("corvel-registration-bench-" + std::to_string(::getpid()) + "-" +
                                                 std::to_string(rows));
    fs::remove_all(root);
    fs::create_directories(root);
    std::string command =
        "sqlite3 '" + (root / "terminal.db").string() +
        "' \"CREATE TABLE Properties(ip TEXT); CREATE INDEX PropertiesIp ON Properties(ip); "
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(rows - 1) +
        ") INSERT INTO Properties(ip) SELECT '11.' || (i >> 16) || '.' || ((i >> 8) & 255) || '.' || (i & 255) "
        "FROM n;\"";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "could not fill %s\n", root.c_str());
    }
    ::setenv("CORVEL_ROOT", root.c_str(), 1);
    return root;
}

std::string NewAddress(long serial)
{
    return "10." + std::to_string((serial >> 16) & 255) + "." + std::to_string((serial >> 8) & 255) + "." +
           std::to_string(serial & 255);
}

void AnnounceNewTerminal(benchmark::State& state)
{
    fs::path root = PrepareRoot(state.range(0));
    OpenTerminalDatabase();
    long serial = 0;
    for (auto _ : state) {
        RecordTerminal(NewAddress(serial++).c_str());
    }
    CloseTerminalDatabase();
    state.counters["rows"] = static_cast<double>(state.range(0));
    fs::remove_all(root);
}

void AnnounceKnownTerminal(benchmark::State& state)
{
    fs::path root = PrepareRoot(state.range(0));
    OpenTerminalDatabase();
    for (auto _ : state) {
        RecordTerminal("11.0.1.2");
    }
    CloseTerminalDatabase();
    fs::remove_all(root);
}

}  // namespace

BENCHMARK(AnnounceNewTerminal)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(AnnounceKnownTerminal)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();

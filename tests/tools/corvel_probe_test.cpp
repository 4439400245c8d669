// corvel-probe, the real binary, against stub terminals on loopback: the
// answer alone on standard output and the diagnostics on standard error, the
// exit codes, and the ping-like listing of -c.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/terminals.h"

namespace {

namespace fs = std::filesystem;
using corvel::testing::FaultEnvelope;
using corvel::testing::HttpAnswer;
using corvel::testing::StubBehaviour;
using corvel::testing::StubTerminals;
using corvel::testing::TestResponseEnvelope;

constexpr std::uint16_t kProbePort = 18763;
constexpr char kAnswering[] = "127.0.9.1";
constexpr char kFaulting[] = "127.0.9.2";
constexpr char kRefusing[] = "127.0.9.3";  // nothing listens there
constexpr char kOtherMember[] = "127.0.9.4";  // answers <Other> where <Result> belongs
constexpr char kBadFault[] = "127.0.9.5";     // a status 500 whose Fault does not parse

// A TestResponse that holds another member than Result.
std::string OtherMemberAnswer()
{
    std::string envelope = TestResponseEnvelope("OK");
    envelope.replace(envelope.find("<Result"), 7, "<Other");
    envelope.replace(envelope.find("</Result>"), 9, "</Other>");
    return envelope;
}

struct ProbeRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

ProbeRun RunProbe(const std::vector<std::string>& arguments)
{
    fs::path directory = fs::temp_directory_path() / ("corvel-probe-test-" + std::to_string(::getpid()));
    fs::create_directories(directory);
    std::vector<char*> argv;
    std::string program = CORVEL_PROBE_BINARY;
    argv.push_back(program.data());
    std::vector<std::string> copies = arguments;
    for (std::string& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        int out = ::open((directory / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open((directory / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ProbeRun run;
    int status = 0;
    ::waitpid(child, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadFile(directory / "out");
    run.err = ReadFile(directory / "err");
    fs::remove_all(directory);
    return run;
}

std::string UrlOf(const char* address)
{
    return "http://" + std::string(address) + ":" + std::to_string(kProbePort) + "/webservice.wsdl";
}

class Probe : public ::testing::Test {
protected:
    void SetUp() override
    {
        terminals.Add(kAnswering, kProbePort, StubBehaviour::answer,
                      HttpAnswer("200 OK", TestResponseEnvelope("Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC 1")));
        terminals.Add(kFaulting, kProbePort, StubBehaviour::answer,
                      HttpAnswer("500 Internal Server Error",
                                 FaultEnvelope("Server", "terminal busy", "http://terminal/", "try later")));
        terminals.Add(kOtherMember, kProbePort, StubBehaviour::answer, HttpAnswer("200 OK", OtherMemberAnswer()));
        terminals.Add(kBadFault, kProbePort, StubBehaviour::answer,
                      HttpAnswer("500 Internal Server Error", "<soap:Envelope><unclosed>"));
        terminals.Start();
    }
    StubTerminals terminals;
};

TEST_F(Probe, OneCallPrintsTheAnswerAloneOrItsDiagnostics)
{
    ProbeRun answered = RunProbe({UrlOf(kAnswering)});
    EXPECT_EQ(answered.exitCode, 0);
    EXPECT_EQ(answered.out, "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC 1\n") << "the answer alone, in UTF-8";
    EXPECT_EQ(answered.err, "url: " + UrlOf(kAnswering) + "\n");

    ProbeRun fault = RunProbe({UrlOf(kFaulting), "2000"});
    EXPECT_EQ(fault.exitCode, 1);
    EXPECT_EQ(fault.out, "");
    for (const char* line : {"url: ", "stage: FaultReturned\n", "http status: 500\n", "fault string: terminal busy\n",
                             "fault actor: http://terminal/\n", "fault detail: try later\n"}) {
        EXPECT_NE(fault.err.find(line), std::string::npos) << line << " in\n" << fault.err;
    }

    ProbeRun refused = RunProbe({UrlOf(kRefusing)});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("stage: TransferFailed\n"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("socket error: 10061\n"), std::string::npos) << refused.err;
}

TEST_F(Probe, CountListsEveryCallAndSumsThemUp)
{
    ProbeRun answered = RunProbe({"-c", "3", UrlOf(kAnswering), "2000"});
    EXPECT_EQ(answered.exitCode, 0);
    const std::regex answeredListing(
        "(call [123]: answered \"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC 1\" time=[0-9]+\\.[0-9]{3} ms\n){3}"
        "3 calls, 3 answered, 0 failed, [0-9]+\\.[0-9] calls/s, "
        "rtt min/median/p99/max = ([0-9]+\\.[0-9]{3}/){3}[0-9]+\\.[0-9]{3} ms\n");
    EXPECT_TRUE(std::regex_match(answered.out, answeredListing)) << answered.out;
    EXPECT_EQ(answered.err, "url: " + UrlOf(kAnswering) + "\n");

    ProbeRun refused = RunProbe({"-c", "2", UrlOf(kRefusing)});
    EXPECT_EQ(refused.exitCode, 1);
    const std::regex refusedListing(
        "(call [12]: failed 0x[0-9A-F]{8} TransferFailed \\(connect failed\\) http=-?[0-9]+ socket=10061 time=[0-9]+\\.[0-9]{3} ms\n){2}"
        "2 calls, 0 answered, 2 failed, [0-9]+\\.[0-9] calls/s, no round-trip times\n");
    EXPECT_TRUE(std::regex_match(refused.out, refusedListing)) << refused.out;
}

// An answer the reader refuses names why, in both forms of output.
TEST_F(Probe, AnAnswerThatCannotBeReadNamesItsReason)
{
    struct Case {
        const char* address;
        const char* stage;
        const char* reason;
        const char* status;
    };
    const Case cases[] = {
        {kOtherMember, "ResponseUnreadable", "unexpected element", "200"},
        {kBadFault, "FaultUnreadable", "fault malformed", "500"},
        {kFaulting, "FaultReturned", "status rejected", "500"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        ProbeRun one = RunProbe({UrlOf(c.address), "2000"});
        EXPECT_EQ(one.exitCode, 1);
        for (const std::string& line : {std::string("stage: ") + c.stage + "\n", std::string("reason: ") + c.reason + "\n",
                                       std::string("http status: ") + c.status + "\n"}) {
            EXPECT_NE(one.err.find(line), std::string::npos) << line << " in\n" << one.err;
        }
        ProbeRun listed = RunProbe({"-c", "1", UrlOf(c.address), "2000"});
        EXPECT_EQ(listed.exitCode, 1);
        const std::string entry = std::string(c.stage) + " (" + c.reason + ") http=" + c.status + " ";
        EXPECT_NE(listed.out.find(entry), std::string::npos) << entry << " in\n" << listed.out;
    }
}

TEST_F(Probe, BadArgumentsExitWithTwoAndTheUsage)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {""},
        {"-c"},
        {"-c", "0", kAnswering},
        {"-c", "x", kAnswering},
        {"-c", "2", "-c", "2", kAnswering},
        {"-x", kAnswering},
        {kAnswering, "soon"},
        {kAnswering, "1000", "extra"},
        {kAnswering, "600001"},
    };
    for (const std::vector<std::string>& arguments : cases) {
        std::string shown;
        for (const std::string& argument : arguments) {
            shown += "'" + argument + "' ";
        }
        ProbeRun run = RunProbe(arguments);
        EXPECT_EQ(run.exitCode, 2) << shown;
        EXPECT_EQ(run.out, "") << shown;
        EXPECT_NE(run.err.find("usage: corvel-probe [-c COUNT] <address-or-url> [timeout-ms]"), std::string::npos)
            << shown;
    }
    ProbeRun help = RunProbe({"-h"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("usage: corvel-probe", 0), 0u);
}

}  // namespace

#endif

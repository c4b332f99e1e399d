#include "service/framework/ft_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <grp.h>
#include <iostream>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/debuglog.h"
#include "platform/errors.h"
#include "platform/svcroot.h"
#include "tests/support/errorcode.h"
#include "tests/support/forked.h"
#include "tests/support/pipetest.h"
#include "tests/support/tempdir.h"

namespace {

using namespace std::chrono_literals;

constexpr int kTimeoutMs = 5000;
const std::string kInfo = "KvTestInfo";
const std::string kControl = "KvTestControl";
const std::string kIni = "kelvardsvc.ini";

struct Answer {
    std::vector<uint8_t> bytes;
    TPipeMessageHeader header{};
    std::string Command() const { return PipeCommandText(header); }
    std::string Payload() const {
        return std::string(reinterpret_cast<const char*>(bytes.data()) + PipeHeaderSize,
                           bytes.size() - PipeHeaderSize);
    }
};

Answer Call(const std::string& pipe, const std::vector<uint8_t>& request) {
    Answer answer;
    answer.bytes.resize(PipeBufferSize);
    size_t n = CallNamedPipe(PipePath(pipe), request.data(), request.size(), answer.bytes.data(),
                             answer.bytes.size(), kTimeoutMs);
    answer.bytes.resize(n);
    EXPECT_TRUE(ReadPipeHeader(answer.bytes.data(), n, answer.header)) << n;
    return answer;
}

Answer Call(const std::string& pipe, const std::string& command, const std::string& payload = {}) {
    return Call(pipe, BuildPipeRequest(command, payload));
}

// A status record as the service would fill it.
TServiceStateRecord SampleState() {
    TServiceStateRecord state{};
    state.Size = sizeof state;
    state.VersionMajor = 1;
    state.VersionMinor = 12;
    state.VersionRelease = 0;
    state.Busy = 1;
    state.LastEventTime = SYSTEMTIME{2024, 5, 3, 15, 14, 3, 59, 0};
    std::strcpy(state.LastEventText, "processed 3 files OK, 0 files bad, elapsed 0:00:01:000");
    std::strcpy(state.LastErrorText, "Directory does not exist\"/data/x\"");
    std::strcpy(state.LastOkFile, "shop1/caisse/a.txt");
    state.FilesOk = 1234567;
    state.ElapsedMs = 3723004;
    state.NextActionTime = SYSTEMTIME{2024, 5, 3, 15, 14, 5, 0, 0};
    return state;
}

class EndpointTest : public ::testing::Test {
protected:
    void SetUp() override { SetDebugTarget(nullptr, root_.File("debug.log")); }
    void TearDown() override { SetDebugTarget(nullptr, "debug.txt"); }

    std::string Ini() const { return config_.File(kIni); }

    PipeNamespace root_;
    TempDir config_;
};

// --- message building -------------------------------------------------------------------------

TEST(PipeMessage, RequestLayout) {
    std::vector<uint8_t> bare = BuildPipeRequest("REQGETSTATS");
    ASSERT_EQ(bare.size(), 28u);
    EXPECT_EQ(std::memcmp(bare.data(), "REQGETSTATS\0\0\0\0\0", 16), 0);
    EXPECT_TRUE(std::all_of(bare.begin() + 16, bare.end(), [](uint8_t b) { return b == 0; }));

    std::vector<uint8_t> set = BuildPipeRequest("REQSETCONFIG", std::string(300, 'k'));
    ASSERT_EQ(set.size(), 328u);
    // Payload length, little-endian at offset 24; status and reserved stay 0.
    EXPECT_EQ(set[24], 300 & 0xFF);
    EXPECT_EQ(set[25], 300 >> 8);
    EXPECT_EQ(set[16] | set[17] | set[18] | set[19] | set[20] | set[23], 0);
    EXPECT_EQ(set[28], 'k');

    EXPECT_THROW(BuildPipeRequest("SIXTEEN-LETTERS!"), std::invalid_argument);
    EXPECT_EQ(BuildPipeRequest("FIFTEEN-LETTERS").size(), 28u);
}

TEST(PipeMessage, CommandWithoutNulEndsAtTheField) {
    TPipeMessageHeader header{};
    std::memset(header.Command, 'A', sizeof header.Command);
    EXPECT_EQ(PipeCommandText(header), std::string(16, 'A'));
    TPipeMessageHeader out{};
    EXPECT_FALSE(ReadPipeHeader("short", 5, out));
}

// --- information pipe -------------------------------------------------------------------------

TEST_F(EndpointTest, StatisticsAnswerThroughARealPipe) {
    TFtrackerSrvInfo info(kInfo, 4);
    TServiceStateRecord sample = SampleState();
    std::atomic<int> calls{0};
    info.SetOnGetStats([&](TFtrackerSrvInfo& sender, TServiceStateRecord& state) {
        EXPECT_EQ(&sender, &info);
        state = sample;
        ++calls;
    });
    WaitForPipe(kInfo);

    // Bytes after the header are ignored.
    std::vector<uint8_t> request = BuildPipeRequest(CmdReqGetStats);
    request.insert(request.end(), 10, 0xEE);
    Answer first = Call(kInfo, request);
    ASSERT_EQ(first.bytes.size(), 595u);
    EXPECT_EQ(first.Command(), "ANSGETSTATS");
    EXPECT_EQ(+first.header.Status, 0);
    EXPECT_EQ(+first.header.Reserved, 0);
    EXPECT_EQ(+first.header.PayloadLength, 567);
    TPipeStatistics counters{};
    std::memcpy(&counters, first.bytes.data() + 28, sizeof counters);
    EXPECT_EQ(+counters.Connections, 1u);
    EXPECT_EQ(+counters.Requests, 1u);
    EXPECT_EQ(+counters.BytesRead, 38u);
    EXPECT_EQ(+counters.Answers, 0u); // this answer is counted once written
    EXPECT_GE(+counters.StartTime.wYear, 2024);
    EXPECT_EQ(std::memcmp(first.bytes.data() + 84, &sample, sizeof sample), 0);
    EXPECT_EQ(calls.load(), 1);

    Answer second = Call(kInfo, CmdReqGetStats);
    std::memcpy(&counters, second.bytes.data() + 28, sizeof counters);
    EXPECT_EQ(+counters.Connections, 2u);
    EXPECT_EQ(+counters.Requests, 2u);
    EXPECT_EQ(+counters.BytesRead, 38u + 28u);
    EXPECT_EQ(+counters.Answers, 1u);
    EXPECT_EQ(+counters.BytesWritten, 595u);

    // While the service stops, the handler is cleared: the status record is all zero.
    info.SetOnGetStats(nullptr);
    Answer third = Call(kInfo, CmdReqGetStats);
    ASSERT_EQ(third.bytes.size(), 595u);
    EXPECT_TRUE(
        std::all_of(third.bytes.begin() + 84, third.bytes.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(calls.load(), 2);
}

TEST_F(EndpointTest, InformationPipeAnswersUnknownRequests) {
    TFtrackerSrvInfo info(kInfo, 1);
    WaitForPipe(kInfo);
    for (const char* command : {"REQGETCONFIG", "reqgetstats", "REQGETSTATSX", "REQSETCONFIG"}) {
        Answer answer = Call(kInfo, command, "payload");
        EXPECT_EQ(answer.bytes.size(), 28u) << command;
        EXPECT_EQ(answer.Command(), "ANSREQUNKNOWN") << command;
        EXPECT_EQ(+answer.header.PayloadLength, 0);
    }
    // 27 bytes that begin like a statistics request.
    std::vector<uint8_t> cut = BuildPipeRequest(CmdReqGetStats);
    cut.pop_back();
    EXPECT_EQ(Call(kInfo, cut).Command(), "ANSREQUNKNOWN");
}

TEST_F(EndpointTest, RequestHandlerAnswersOtherCommands) {
    TFtrackerSrvInfo info(kInfo, 1);
    info.SetOnRequest(
        [](const uint8_t* request, uint32_t, uint8_t* answer, int32_t, uint32_t& answerLength) {
            if (std::strcmp(reinterpret_cast<const char*>(request), "REQPING") != 0)
                return false;
            std::memcpy(answer, "ANSPING", 8);
            answerLength = 28;
            return true;
        });
    WaitForPipe(kInfo);
    EXPECT_EQ(Call(kInfo, "REQPING").Command(), "ANSPING");
    EXPECT_EQ(Call(kInfo, "REQPONG").Command(), "ANSREQUNKNOWN");
    EXPECT_EQ(Call(kInfo, CmdReqGetStats).bytes.size(), 595u); // statistics stay the endpoint's
}

TEST_F(EndpointTest, AnswerBufferIsZeroFilledOverItsCapacity) {
    TFtrackerSrvInfo info(kInfo, 0);
    TFtrackerSrvControl control(kControl, 0, kIni, config_.Path());
    std::vector<uint8_t> request = BuildPipeRequest("NOPE");
    for (TPipeServer* server :
         {static_cast<TPipeServer*>(&info), static_cast<TPipeServer*>(&control)}) {
        std::vector<uint8_t> answer(PipeBufferSize, 0xAA);
        uint32_t length = 0;
        bool useDefault = true;
        server->ProcessRequest(request.data(), request.size(), answer.data(), answer.size(), length,
                               useDefault);
        EXPECT_FALSE(useDefault);
        EXPECT_EQ(length, 28u);
        EXPECT_STREQ(reinterpret_cast<const char*>(answer.data()), "ANSREQUNKNOWN");
        EXPECT_TRUE(
            std::all_of(answer.begin() + 13, answer.end(), [](uint8_t b) { return b == 0; }));
        // A buffer that cannot hold a header gets no answer and is not overrun.
        std::vector<uint8_t> tiny(27, 0xAA);
        server->ProcessRequest(request.data(), request.size(), tiny.data(), tiny.size(), length,
                               useDefault);
        EXPECT_EQ(length, 0u);
    }
}

// --- control pipe -----------------------------------------------------------------------------

TEST_F(EndpointTest, ConfigurationRoundTrip) {
    WriteTextFile(Ini(), "[Main]\r\nTimeBetweenActions=60\r\n");
    TFtrackerSrvControl control(kControl, 1, kIni, config_.Path());
    std::atomic<int> retrieved{0}, updated{0};
    control.SetOnConfigRetrieved([&](TFtrackerSrvControl&) { ++retrieved; });
    control.SetOnConfigUpdated([&](TFtrackerSrvControl& sender) {
        EXPECT_EQ(sender.ConfigFilePath(), Ini());
        ++updated;
    });
    WaitForPipe(kControl);

    Answer got = Call(kControl, CmdReqGetConfig);
    EXPECT_EQ(got.Command(), "ANSGETCONFIG");
    EXPECT_EQ(+got.header.PayloadLength, static_cast<int32_t>(got.Payload().size()));
    EXPECT_EQ(got.Payload(), "[Main]\r\nTimeBetweenActions=60\r\n");
    EXPECT_EQ(retrieved.load(), 1);

    std::string edited = "[Main]\r\nTimeBetweenActions=120\r\nPassword=s3cret\r\n";
    Answer set = Call(kControl, CmdReqSetConfig, edited);
    EXPECT_EQ(set.Command(), "ANSSETCONFIG");
    EXPECT_EQ(set.bytes.size(), 28u);
    EXPECT_EQ(+set.header.Status, 0);
    EXPECT_EQ(ReadTextFile(Ini()), edited);
    EXPECT_EQ(updated.load(), 1);
    EXPECT_EQ(Call(kControl, CmdReqGetConfig).Payload(), edited);

    // An empty payload empties the file.
    Answer empty = Call(kControl, CmdReqSetConfig, "");
    EXPECT_EQ(+empty.header.Status, 0);
    EXPECT_EQ(ReadTextFile(Ini()), "");
    EXPECT_EQ(+Call(kControl, CmdReqGetConfig).header.PayloadLength, 0);
    EXPECT_EQ(Call(kControl, CmdReqGetStats).Command(), "ANSREQUNKNOWN");
}

TEST_F(EndpointTest, NewConfigurationFileIsOwnerOnly) {
    TFtrackerSrvControl control(kControl, 1, kIni, config_.Path());
    WaitForPipe(kControl);
    Answer got = Call(kControl, CmdReqGetConfig); // no file yet
    EXPECT_EQ(got.Command(), "ANSGETCONFIG");
    EXPECT_EQ(got.bytes.size(), 28u);
    EXPECT_EQ(+Call(kControl, CmdReqSetConfig, "Password=x").header.Status, 0);
    struct stat st {};
    ASSERT_EQ(::stat(Ini().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A file made readable by others by hand is written 0600 again; its owner stays.
    ASSERT_EQ(::chmod(Ini().c_str(), 0644), 0);
    ASSERT_EQ(::chown(Ini().c_str(), 65534, 65534), 0) << "needs root";
    EXPECT_EQ(+Call(kControl, CmdReqSetConfig, "Password=y").header.Status, 0);
    ASSERT_EQ(::stat(Ini().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(ReadTextFile(Ini()), "Password=y");
}

TEST_F(EndpointTest, MissingFileIsSentEmptyWithoutNotification) {
    TFtrackerSrvControl control(kControl, 1, "absent.ini", config_.Path());
    std::atomic<int> retrieved{0};
    control.SetOnConfigRetrieved([&](TFtrackerSrvControl&) { ++retrieved; });
    WaitForPipe(kControl);
    Answer got = Call(kControl, CmdReqGetConfig);
    EXPECT_EQ(+got.header.PayloadLength, 0);
    EXPECT_EQ(retrieved.load(), 0);
}

TEST_F(EndpointTest, LargeFileIsSentAsItsFirstBytes) {
    std::string big;
    for (int i = 0; big.size() < 20000; ++i)
        big += "Line" + std::to_string(i) + "\n";
    big.resize(20000);
    WriteTextFile(Ini(), big);
    TFtrackerSrvControl control(kControl, 1, kIni, config_.Path());
    WaitForPipe(kControl);
    Answer got = Call(kControl, CmdReqGetConfig);
    EXPECT_EQ(got.bytes.size(), 16384u);
    EXPECT_EQ(+got.header.PayloadLength, 16356);
    EXPECT_EQ(got.Payload(), big.substr(0, 16356));
    // The answer tells that the file went on (status 1); a file of exactly 16356 bytes is whole.
    EXPECT_EQ(+got.header.Status, 1);
    WriteTextFile(Ini(), big.substr(0, 16356));
    EXPECT_EQ(+Call(kControl, CmdReqGetConfig).header.Status, 0);
}

TEST_F(EndpointTest, ShortOrOverlongPayloadLeavesTheFileAlone) {
    WriteTextFile(Ini(), "old");
    TFtrackerSrvControl control(kControl, 1, kIni, config_.Path());
    std::atomic<int> updated{0};
    control.SetOnConfigUpdated([&](TFtrackerSrvControl&) { ++updated; });
    WaitForPipe(kControl);

    // 100 bytes announced, 72 present.
    std::vector<uint8_t> shortRequest = BuildPipeRequest(CmdReqSetConfig, std::string(72, 'n'));
    int32_t announced = 100;
    std::memcpy(shortRequest.data() + 24, &announced, 4);
    Answer answer = Call(kControl, shortRequest);
    EXPECT_EQ(answer.Command(), "ANSSETCONFIG");
    EXPECT_EQ(+answer.header.Status, 1);
    EXPECT_EQ(answer.bytes.size(), 28u);

    announced = -1;
    std::memcpy(shortRequest.data() + 24, &announced, 4);
    EXPECT_EQ(+Call(kControl, shortRequest).header.Status, 1);
    EXPECT_EQ(ReadTextFile(Ini()), "old");
    EXPECT_EQ(updated.load(), 0);

    // A payload over 16356 bytes makes an overlong message: the client is dropped unanswered.
    std::vector<uint8_t> overlong = BuildPipeRequest(CmdReqSetConfig, std::string(16357, 'o'));
    std::vector<uint8_t> buffer(PipeBufferSize);
    EXPECT_EQ(ErrorCodeOf([&] {
                  CallNamedPipe(PipePath(kControl), overlong.data(), overlong.size(), buffer.data(),
                                buffer.size(), kTimeoutMs);
              }),
              EPIPE);
    EXPECT_EQ(ReadTextFile(Ini()), "old");

    // The largest payload is taken whole.
    EXPECT_EQ(+Call(kControl, CmdReqSetConfig, std::string(16356, 'p')).header.Status, 0);
    EXPECT_EQ(ReadTextFile(Ini()), std::string(16356, 'p'));
    EXPECT_EQ(updated.load(), 1);
}

TEST_F(EndpointTest, FailedWriteKeepsTheOldFileWhole) {
    std::string old = "[Main]\r\nTrackDirectory0=/data/shops\r\n";
    WriteTextFile(Ini(), old);
    // The child may write at most 1000 bytes into any file, as on a nearly full disk.
    int status = RunForked([&] {
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 1000;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);
        TFtrackerSrvControl control(kControl, 0, kIni, config_.Path());
        int updated = 0;
        control.SetOnConfigUpdated([&](TFtrackerSrvControl&) { ++updated; });
        std::vector<uint8_t> request = BuildPipeRequest(CmdReqSetConfig, std::string(5000, 'n'));
        std::vector<uint8_t> answer(PipeBufferSize);
        uint32_t length = 0;
        bool useDefault = true;
        control.ProcessRequest(request.data(), request.size(), answer.data(), answer.size(), length,
                               useDefault);
        TPipeMessageHeader header{};
        ReadPipeHeader(answer.data(), length, header);
        // The answer says the file was not written (status 2), so the console reports it.
        bool asBefore =
            length == 28 && PipeCommandText(header) == "ANSSETCONFIG" && header.Status == 2;
        return asBefore && updated == 0 ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadTextFile(Ini()), old);
    // No temporary file is left beside it.
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(config_.Path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
    EXPECT_NE(ReadTextFile(root_.File("debug.log")).find("Error writing data to " + Ini()),
              std::string::npos);
}

TEST_F(EndpointTest, ControlPipeIsForRootOnly) {
    ::chmod(root_.Path().c_str(), 0755); // let other users reach the pipe directory
    TFtrackerSrvInfo info(kInfo, 1);
    TFtrackerSrvControl control(kControl, 1, kIni, config_.Path());
    WaitForPipe(kInfo);
    WaitForPipe(kControl);
    struct stat st {};
    ASSERT_EQ(::stat(PipeSocketPath(kInfo).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    ASSERT_EQ(::stat(PipeSocketPath(kControl).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to try as another user";
    int status = RunForked([&] {
        if (!DropRootRights())
            return 10;
        std::vector<uint8_t> request = BuildPipeRequest(CmdReqGetStats);
        std::vector<uint8_t> answer(PipeBufferSize);
        size_t n = CallNamedPipe(PipePath(kInfo), request.data(), request.size(), answer.data(),
                                 answer.size(), kTimeoutMs);
        if (n != StatsAnswerLength)
            return 11;
        request = BuildPipeRequest(CmdReqGetConfig);
        int code = ErrorCodeOf([&] {
            CallNamedPipe(PipePath(kControl), request.data(), request.size(), answer.data(),
                          answer.size(), kTimeoutMs);
        });
        return code == EACCES ? 0 : 12;
    });
    EXPECT_EQ(status, 0);
}

// As user `uid` (no account needed): polls the information pipe on four connections at once,
// reconnecting as soon as one is dropped or refused, until killed.
[[noreturn]] void HammerInfoPipe(uid_t uid, ChildNotice& served) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
        ::setresuid(uid, uid, uid) != 0)
        _exit(3);
    std::vector<uint8_t> request = BuildPipeRequest(CmdReqGetStats);
    std::vector<uint8_t> answer(PipeBufferSize);
    std::vector<std::unique_ptr<TPipeClient>> clients(4);
    for (bool notified = false;;) {
        for (auto& client : clients) {
            try {
                if (!client)
                    client = std::make_unique<TPipeClient>(PipePath(kInfo), kTimeoutMs);
                client->Send(request.data(), request.size());
                client->Receive(answer.data(), answer.size(), kTimeoutMs);
                if (!notified)
                    served.Notify();
                notified = true;
            } catch (const std::exception&) {
                client.reset();
            }
        }
    }
}

TEST_F(EndpointTest, UsersWithoutRightsLeaveAnInstanceForRoot) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as other users";
    ::chmod(root_.Path().c_str(), 0755);
    TFtrackerSrvInfo info(kInfo, 4);
    WaitForPipe(kInfo);
    std::vector<std::unique_ptr<ChildNotice>> served;
    std::vector<pid_t> users;
    for (uid_t uid : {65534u, 60001u, 60002u}) {
        served.push_back(std::make_unique<ChildNotice>());
        ChildNotice& notice = *served.back();
        users.push_back(StartForked([uid, &notice] { HammerInfoPipe(uid, notice); }));
    }
    for (auto& notice : served)
        EXPECT_TRUE(notice->Wait(kTimeoutMs)); // every user is served while the others hammer
    int answered = 0;
    auto slowest = 0ms;
    std::vector<uint8_t> request = BuildPipeRequest(CmdReqGetStats);
    std::vector<uint8_t> answer(PipeBufferSize);
    for (int i = 0; i < 40; ++i) {
        auto start = std::chrono::steady_clock::now();
        try {
            if (CallNamedPipe(PipePath(kInfo), request.data(), request.size(), answer.data(),
                              answer.size(), 1000) == StatsAnswerLength)
                ++answered;
        } catch (const std::exception& e) {
            ADD_FAILURE() << "poll " << i << ": " << e.what();
        }
        slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start));
        std::this_thread::sleep_for(50ms);
    }
    for (pid_t pid : users)
        KillAndReap(pid);
    EXPECT_EQ(answered, 40);
    EXPECT_LT(slowest, 1000ms);
    std::cout << "root answered " << answered << "/40, slowest " << slowest.count() << " ms\n";
}

TEST_F(EndpointTest, EndpointsStopPromptly) {
    auto info = std::make_unique<TFtrackerSrvInfo>(kInfo, 4);
    auto control = std::make_unique<TFtrackerSrvControl>(kControl, 1, kIni, config_.Path());
    WaitForPipe(kInfo);
    WaitForPipe(kControl);
    TPipeClient idle(PipePath(kInfo), kTimeoutMs);
    auto start = std::chrono::steady_clock::now();
    control.reset();
    info.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(FileExists(PipeSocketPath(kInfo)));
    EXPECT_FALSE(FileExists(PipeSocketPath(kControl)));
}

} // namespace

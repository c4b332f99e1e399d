// Message layer, registry files and logon account names of the service manager.
#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/svcmgr/svcmgr_launch.h"
#include "platform/svcmgr/svcmgr_logon.h"
#include "platform/svcmgr/svcmgr_proto.h"
#include "platform/svcmgr/svcmgr_registry.h"
#include "tests/support/errorcode.h"
#include "tests/support/tempdir.h"

using namespace svcproto;

namespace {

int DecodeError(const std::string& bytes) {
    return ErrorCodeOf([&] { DecodeRequest(bytes.data(), bytes.size()); });
}

TClientRequest FullChange() {
    TClientRequest r;
    r.Op = TOp::ChangeConfig;
    r.ServiceName = "KelvardSvc";
    r.ChangeMask = ChangeStartName | ChangePassword;
    r.ServiceStartName = ".\\alice";
    r.Password = "p=w d";
    return r;
}

} // namespace

TEST(SvcMgrProto, EveryRequestSurvivesTheRoundTrip) {
    for (uint16_t op = 1; op <= 10; ++op) {
        TClientRequest r = FullChange();
        r.Op = static_cast<TOp>(op);
        r.Access = 0x80000004;
        r.Control = 4;
        r.DisplayName = "Display";
        r.BinaryPathName = "/opt/x";
        std::string bytes = EncodeRequest(r);
        TClientRequest back = DecodeRequest(bytes.data(), bytes.size());
        EXPECT_EQ(back.Op, r.Op);
        if (r.Op != TOp::OpenManager && r.Op != TOp::ListServices) {
            EXPECT_EQ(back.ServiceName, "KelvardSvc");
        }
    }
    std::string bytes = EncodeRequest(FullChange());
    TClientRequest back = DecodeRequest(bytes.data(), bytes.size());
    EXPECT_EQ(back.ChangeMask, ChangeStartName | ChangePassword);
    EXPECT_EQ(back.ServiceStartName, ".\\alice");
    EXPECT_EQ(back.Password, "p=w d");
}

TEST(SvcMgrProto, RejectsEveryTruncationAndAnyExtraByte) {
    std::string bytes = EncodeRequest(FullChange());
    for (size_t size = 0; size < bytes.size(); ++size)
        EXPECT_NE(DecodeError(bytes.substr(0, size)), 0) << "size " << size;
    EXPECT_EQ(DecodeError(bytes + "x"), EBADMSG);
}

TEST(SvcMgrProto, RejectsBadHeadersAndFields) {
    std::string good = EncodeRequest(FullChange());
    std::string badMagic = good;
    badMagic[0] ^= 1;
    EXPECT_EQ(DecodeError(badMagic), EBADMSG);
    std::string reservedBits = good;
    reservedBits[6] = 1;
    EXPECT_EQ(DecodeError(reservedBits), EBADMSG);
    std::string unknownOp = good;
    unknownOp[4] = 99;
    EXPECT_EQ(DecodeError(unknownOp), EOPNOTSUPP);
    // A string length that points past the end of the message.
    std::string longString = good;
    longString[RequestHeaderSize + 1] = 0x7F;
    EXPECT_EQ(DecodeError(longString), EBADMSG);
    // A change mask with unknown bits.
    TClientRequest r = FullChange();
    r.ChangeMask = 0x20;
    std::string mask = EncodeRequest(r);
    EXPECT_EQ(DecodeError(mask), EBADMSG);
    // A NUL inside a name.
    r = FullChange();
    r.ServiceName = std::string("Kel\0vard", 8);
    std::string nul = EncodeRequest(r);
    EXPECT_EQ(DecodeError(nul), EBADMSG);
}

TEST(SvcMgrProto, TooLongRequestsAreNotBuilt) {
    TClientRequest r;
    r.Op = TOp::Create;
    r.ServiceName = std::string(MaxString, 'a');
    r.DisplayName = r.BinaryPathName = r.ServiceStartName = r.Password = r.ServiceName;
    try {
        EncodeRequest(r);
        FAIL() << "no error";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Code, EMSGSIZE);
    }
}

TEST(SvcMgrProto, AnswersCarryStatusOrErrorText) {
    TServiceStatus s;
    s.CurrentState = SERVICE_STOP_PENDING;
    s.CheckPoint = 7;
    s.WaitHint = 10000;
    s.ProcessExitCode = -1;
    std::string bytes = EncodeAnswer(TOp::QueryStatus, 0, EncodeStatusPayload(s));
    TAnswer answer = DecodeAnswer(bytes.data(), bytes.size());
    EXPECT_EQ(DecodeStatusPayload(answer.Payload), s);

    bytes = EncodeAnswer(TOp::Start, ERROR_SERVICE_LOGON_FAILED, "logon failure");
    answer = DecodeAnswer(bytes.data(), bytes.size());
    try {
        CheckAnswer(answer);
        FAIL() << "no error";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Code, ERROR_SERVICE_LOGON_FAILED);
        EXPECT_STREQ(e.what(), "logon failure");
    }
    std::string cut = bytes.substr(0, bytes.size() - 1);
    EXPECT_THROW(DecodeAnswer(cut.data(), cut.size()), EOSError);
}

TEST(SvcMgrProto, ListThatWouldOverflowAMessageIsCut) {
    std::vector<TServiceListEntry> many(400, {std::string(100, 'n'), std::string(100, 'd'), {}});
    std::string payload = EncodeListPayload(many);
    EXPECT_LE(AnswerHeaderSize + payload.size(), MaxMessage);
    auto back = DecodeListPayload(payload);
    EXPECT_GT(back.size(), 10u);
    EXPECT_LT(back.size(), many.size());
}

TEST(SvcMgrProto, ChannelMessagesAreNotTakenForEachOther) {
    TServiceStatus s;
    s.CurrentState = SERVICE_RUNNING;
    std::string report = EncodeStatusReport(s);
    std::string control = EncodeControlCode(SERVICE_CONTROL_STOP);
    EXPECT_EQ(DecodeStatusReport(report.data(), report.size()), s);
    EXPECT_EQ(DecodeControlCode(control.data(), control.size()), SERVICE_CONTROL_STOP);
    EXPECT_THROW(DecodeControlCode(report.data(), report.size()), EOSError);
    EXPECT_THROW(DecodeStatusReport(control.data(), control.size()), EOSError);
    // A channel message is no client request.
    EXPECT_EQ(DecodeError(control), EOPNOTSUPP);
}

TEST(SvcMgrAccess, GenericRightsAndWhoNeedsRoot) {
    EXPECT_EQ(MapServiceAccess(GENERIC_READ) & SERVICE_START, 0u);
    EXPECT_NE(MapServiceAccess(GENERIC_EXECUTE) & SERVICE_STOP, 0u);
    EXPECT_FALSE(NeedsAdminForService(MapServiceAccess(GENERIC_READ)));
    EXPECT_FALSE(NeedsAdminForService(SERVICE_QUERY_STATUS | SERVICE_INTERROGATE));
    EXPECT_TRUE(NeedsAdminForService(SERVICE_START));
    EXPECT_TRUE(NeedsAdminForService(SERVICE_STOP | SERVICE_QUERY_STATUS));
    EXPECT_TRUE(NeedsAdminForService(0x37)); // the console's rights check before a restart
    EXPECT_TRUE(NeedsAdminForService(SERVICE_DELETE));
    EXPECT_FALSE(NeedsAdminForManager(MapManagerAccess(GENERIC_READ)));
    EXPECT_TRUE(NeedsAdminForManager(SC_MANAGER_CREATE_SERVICE));
    EXPECT_TRUE(NeedsAdminForManager(MapManagerAccess(GENERIC_WRITE)));
    EXPECT_EQ(AccessForControl(SERVICE_CONTROL_STOP), SERVICE_STOP);
    EXPECT_EQ(AccessForControl(SERVICE_CONTROL_INTERROGATE), SERVICE_INTERROGATE);
}

TEST(SvcMgrRegistry, NamesThatCouldEscapeTheDirectoryAreRefused) {
    for (const char* bad : {"", "a/b", "..\\x", "a b", "tab\t", "é"})
        EXPECT_THROW(ValidateServiceName(bad), EOSError) << bad;
    EXPECT_NO_THROW(ValidateServiceName(".."));
    EXPECT_NO_THROW(ValidateServiceName("KelvardSvc"));
    EXPECT_THROW(ValidateServiceName(std::string(257, 'a')), EOSError);
    EXPECT_THROW(ValidateBinaryPath("relative/prog"), EOSError);
    EXPECT_THROW(ValidatePassword("line\nbreak"), EOSError);
    EXPECT_THROW(ValidateDisplayName("a\rb"), EOSError);
}

TEST(SvcMgrRegistry, FilesAreWrittenPrivateAndReadBack) {
    TempDir dir;
    TServiceRegistry registry(dir.File("services"));
    registry.Prepare();
    TRegisteredService s{
        "KelvardSvc",         "Display = name",          "/opt/kv/svc", ".\\alice", "p=ss",
        SERVICE_DEMAND_START, {"KvInfo", "Kv.Control-1"}};
    registry.Save(s);
    struct stat st;
    ASSERT_EQ(stat(registry.FilePath("kelvardsvc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(registry.Directory().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    WriteTextFile(dir.File("services/broken.svc"), "Name=broken\nBinaryPath=relative\n");
    WriteTextFile(dir.File("services/renamed.svc"), TServiceRegistry::Serialize(s));
    std::vector<std::string> problems;
    auto loaded = registry.LoadAll(problems);
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].DisplayName, "Display = name");
    EXPECT_EQ(loaded[0].Password, "p=ss");
    EXPECT_EQ(loaded[0].Pipes, (std::vector<std::string>{"KvInfo", "Kv.Control-1"}));
    EXPECT_EQ(problems.size(), 2u);

    registry.Remove("KELVARDSVC");
    EXPECT_FALSE(FileExists(registry.FilePath("KelvardSvc")));
}

TEST(SvcMgrRegistry, StartTypesTravelAndOlderFormsStillRead) {
    TempDir dir;
    TServiceRegistry registry(dir.File("services"));
    registry.Prepare();
    registry.Save({"Auto", "", "/opt/kv/svc", ".\\LocalSystem", "", SERVICE_AUTO_START, {}});
    registry.Save({"Off", "", "/opt/kv/svc", ".\\LocalSystem", "", SERVICE_DISABLED, {}});
    WriteTextFile(dir.File("services/old.svc"), "Name=Old\nBinaryPath=/opt/kv/svc\n");
    WriteTextFile(dir.File("services/odd.svc"), "Name=Odd\nBinaryPath=/x\nStartType=boot\n");
    std::vector<std::string> problems;
    std::map<std::string, uint32_t> types;
    for (const auto& s : registry.LoadAll(problems))
        types[s.Name] = s.StartType;
    EXPECT_EQ(types, (std::map<std::string, uint32_t>{{"Auto", SERVICE_AUTO_START},
                                                      {"Off", SERVICE_DISABLED},
                                                      {"Old", SERVICE_DEMAND_START}}));
    EXPECT_EQ(problems.size(), 1u); // the unknown start type

    // A Create without the start type (an older client) is on demand; ChangeConfig carries
    // one only when its mask says so.
    TClientRequest create;
    create.Op = TOp::Create;
    create.ServiceName = "S";
    create.StartType = SERVICE_AUTO_START;
    std::string bytes = EncodeRequest(create);
    EXPECT_EQ(DecodeRequest(bytes.data(), bytes.size()).StartType, SERVICE_AUTO_START);
    std::string older = bytes.substr(0, bytes.size() - 4);
    older[8] = static_cast<char>(older[8] - 4); // payload length
    EXPECT_EQ(DecodeRequest(older.data(), older.size()).StartType, SERVICE_DEMAND_START);
    TClientRequest change;
    change.Op = TOp::ChangeConfig;
    change.ServiceName = "S";
    change.ChangeMask = ChangeStartType;
    change.StartType = SERVICE_DISABLED;
    bytes = EncodeRequest(change);
    EXPECT_EQ(DecodeRequest(bytes.data(), bytes.size()).StartType, SERVICE_DISABLED);
    change.ChangeMask = ChangeDisplayName;
    std::string withoutType = EncodeRequest(change);
    EXPECT_EQ(withoutType.size() + 4, bytes.size());

    TServiceConfig config{"S", "D", "/p", "acct", SERVICE_DISABLED};
    EXPECT_EQ(DecodeConfigPayload(EncodeConfigPayload(config)).StartType, SERVICE_DISABLED);
}

TEST(SvcMgrRegistry, NewNamesMustMakeAFileTheManagerLoadsAgain) {
    for (const std::string& bad : {std::string(".hidden"), std::string("."), std::string(252, 'n')})
        EXPECT_EQ(ErrorCodeOf([&] { ValidateNewServiceName(bad); }), EINVAL) << bad;
    EXPECT_NO_THROW(ValidateNewServiceName(std::string(251, 'n')));
    EXPECT_NO_THROW(ValidateNewServiceName("a.b."));
    try {
        ValidateNewServiceName(".hidden");
    } catch (const EOSError& e) {
        EXPECT_NE(std::string(e.what()).find("begin with \".\""), std::string::npos);
    }
}

TEST(SvcMgrLogon, AccountNames) {
    EXPECT_TRUE(ParseLogonAccount(".\\LocalSystem").LocalSystem);
    EXPECT_TRUE(ParseLogonAccount(".\\localsystem").LocalSystem);
    EXPECT_TRUE(ParseLogonAccount("").LocalSystem);
    TLogonAccount user = ParseLogonAccount(".\\alice");
    EXPECT_FALSE(user.LocalSystem);
    EXPECT_EQ(user.UserName, "alice");
    EXPECT_EQ(ParseLogonAccount("PC42\\bob").UserName, "bob");
    EXPECT_EQ(ParseLogonAccount("carol").UserName, "carol");
}

TEST(SvcMgrLogon, BlankPasswordsAndUnknownUsersAreRefused) {
    std::string why;
    EXPECT_FALSE(CheckLogonPassword("root", "", why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(CheckLogonPassword("no-such-user-kv", "secret", why));
}

TEST(SvcMgrLaunch, ReportOfTheChild) {
    EXPECT_TRUE(ParseLaunchReport("").Ok);
    TWireWriter w;
    w.U32(ERROR_SERVICE_LOGON_FAILED);
    w.Str("bad password");
    TLaunchResult failed = ParseLaunchReport(w.Data());
    EXPECT_FALSE(failed.Ok);
    EXPECT_EQ(failed.Code, ERROR_SERVICE_LOGON_FAILED);
    EXPECT_EQ(failed.Text, "bad password");
    // A cut report still counts as a failure, never as a running program.
    TLaunchResult cut = ParseLaunchReport(w.Data().substr(0, 6));
    EXPECT_FALSE(cut.Ok);
    EXPECT_EQ(cut.Code, ERROR_PROCESS_ABORTED);
}

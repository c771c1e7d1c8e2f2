// The protocol engine as request/answer traces, the variable map, the users file.
#include <sys/stat.h>

#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "tests/protocol_fixture.h"
#include "protocol/session.h"
#include "protocol/variable_map.h"
#include "protocol/words.h"

namespace {

using namespace protocol_test;

struct Step {
    const char* request;
    const char* answer;  // lines without the last line end
};

class Engine : public ::testing::Test {
protected:
    Directory fake;
    LoginTable logins;
    SessionContext context{fake.directory, fake.users, logins, "vimohost test", {}};

    // Runs the steps on one new session; returns it to go on with.
    std::unique_ptr<Session> Run(const std::vector<Step>& steps) {
        auto session = std::make_unique<Session>(context, "127.0.0.1");
        for (const Step& step : steps) {
            const Reply reply = session->Handle(step.request);
            EXPECT_EQ(reply.text, std::string(step.answer) + "\n") << "request: " << step.request;
        }
        return session;
    }
};

TEST_F(Engine, ReadsNeedNoLogin) {
    Run({
        {"NETVER", "1.3"},
        {"VER", "vimohost test"},
        {"STARTTLS", "ERR FEATURE-NOT-CONFIGURED"},
        {"LIST UPS", "BEGIN LIST UPS\nUPS u1 \"Main UPS \\\"A\\\" \\\\ rack\"\nUPS u2 \"Unavailable\"\nEND LIST UPS"},
        {"GET UPSDESC u2", "UPSDESC u2 \"Unavailable\""},
        {"GET VAR u1 ups.status", "VAR u1 ups.status \"OL\""},
        {"get var u1 battery.charge\r", "VAR u1 battery.charge \"85\""},
        {"GET VAR \"u1\" device.model", "VAR u1 device.model \"NX \\\"3\\\" phase\""},
        {"GET VAR u1 input.voltage", "VAR u1 input.voltage \"220.4\""},
        {"GET TYPE u1 battery.charge", "TYPE u1 battery.charge NUMBER"},
        {"GET TYPE u1 ups.status", "TYPE u1 ups.status STRING:1024"},
        {"GET DESC u1 battery.charge", "DESC u1 battery.charge \"Battery charge (percent)\""},
        {"GET DESC u1 x.y", "DESC u1 x.y \"Unavailable\""},
        {"GET NUMLOGINS u1", "NUMLOGINS u1 0"},
        {"LIST RW u1", "BEGIN LIST RW u1\nEND LIST RW u1"},
        {"LIST CMD u1", "BEGIN LIST CMD u1\nEND LIST CMD u1"},
        {"LIST ENUM u1 ups.status", "BEGIN LIST ENUM u1 ups.status\nEND LIST ENUM u1 ups.status"},
        {"LIST RANGE u1 ups.load", "BEGIN LIST RANGE u1 ups.load\nEND LIST RANGE u1 ups.load"},
        {"LIST CLIENT u1", "BEGIN LIST CLIENT u1\nEND LIST CLIENT u1"},
        {"LIST VAR u1",
         "BEGIN LIST VAR u1\n"
         "VAR u1 battery.charge \"85\"\nVAR u1 battery.charge.low \"20\"\n"
         "VAR u1 battery.runtime \"1500\"\nVAR u1 device.mfr \"Novex\"\n"
         "VAR u1 device.model \"NX \\\"3\\\" phase\"\nVAR u1 device.type \"ups\"\n"
         "VAR u1 input.L1-N.voltage \"220.3\"\nVAR u1 input.L2-N.voltage \"221.0\"\n"
         "VAR u1 input.L3-N.voltage \"219.8\"\nVAR u1 input.phases \"3\"\n"
         "VAR u1 input.voltage \"220.4\"\nVAR u1 output.L1.power.percent \"35\"\n"
         "VAR u1 output.L2.power.percent \"34\"\nVAR u1 output.L3.power.percent \"36\"\n"
         "VAR u1 output.phases \"3\"\nVAR u1 ups.load \"36\"\nVAR u1 ups.status \"OL\"\n"
         "END LIST VAR u1"},
    });
}

TEST_F(Engine, RefusesWhatItCannotAnswer) {
    Run({
        {"GET VAR u1 no.such", "ERR VAR-NOT-SUPPORTED"},
        {"GET TYPE u1 no.such", "ERR VAR-NOT-SUPPORTED"},
        {"LIST RANGE u1 no.such", "ERR VAR-NOT-SUPPORTED"},
        {"GET VAR nope ups.status", "ERR UNKNOWN-UPS"},
        {"LIST VAR nope", "ERR UNKNOWN-UPS"},
        {"GET NUMLOGINS nope", "ERR UNKNOWN-UPS"},
        {"LIST CLIENT nope", "ERR UNKNOWN-UPS"},
        {"GET VAR u2 ups.status", "ERR DATA-STALE"},
        {"LIST VAR u2", "ERR DATA-STALE"},
        {"GET VAR u1", "ERR INVALID-ARGUMENT"},
        {"GET VAR u1 ups.status extra", "ERR INVALID-ARGUMENT"},
        {"LIST UPS extra", "ERR INVALID-ARGUMENT"},
        {"GET", "ERR INVALID-ARGUMENT"},
        {"GET FOO u1", "ERR INVALID-ARGUMENT"},
        {"LIST", "ERR INVALID-ARGUMENT"},
        {"USERNAME", "ERR INVALID-ARGUMENT"},
        {"GET VAR \"u1 ups.status", "ERR INVALID-ARGUMENT"},
        {"GET VAR u1 ups.status\\", "ERR INVALID-ARGUMENT"},
        {"FROB u1", "ERR UNKNOWN-COMMAND"},
        {"", "ERR UNKNOWN-COMMAND"},
        {"\x01\xff\x7f", "ERR UNKNOWN-COMMAND"},
        {"GET CMDDESC u1 load.off", "ERR CMD-NOT-SUPPORTED"},
        {"INSTCMD u1 load.off", "ERR CMD-NOT-SUPPORTED"},
        {"INSTCMD nope load.off", "ERR UNKNOWN-UPS"},
        {"SET VAR u1 battery.charge.low \"30\"", "ERR READONLY"},
        {"SET VAR u1 x.y 1", "ERR VAR-NOT-SUPPORTED"},
        {"SET TRACKING ON", "ERR INVALID-ARGUMENT"},
    });
}

TEST_F(Engine, CommandsBeforeLoginAndWrongPassword) {
    Run({
        {"LOGIN u1", "ERR USERNAME-REQUIRED"},
        {"PRIMARY u1", "ERR USERNAME-REQUIRED"},
        {"FSD u1", "ERR USERNAME-REQUIRED"},
        {"USERNAME mon", "OK"},
        {"USERNAME other", "ERR ALREADY-SET-USERNAME"},
        {"LOGIN u1", "ERR PASSWORD-REQUIRED"},
        {"PASSWORD wrong", "OK"},
        {"PASSWORD s3cret", "ERR ALREADY-SET-PASSWORD"},
        {"LOGIN u1", "ERR ACCESS-DENIED"},
        {"MASTER u1", "ERR ACCESS-DENIED"},
        {"FSD u1", "ERR ACCESS-DENIED"},
        {"GET VAR u1 ups.status", "VAR u1 ups.status \"OL\""},
        {"GET NUMLOGINS u1", "NUMLOGINS u1 0"},
    });
    Run({{"USERNAME ghost", "OK"}, {"PASSWORD p3", "OK"}, {"LOGIN u1", "ERR ACCESS-DENIED"}});
}

TEST_F(Engine, RightsOfEachUser) {
    auto view = Run({
        {"USERNAME view", "OK"},
        {"PASSWORD p3", "OK"},
        {"LOGIN u1", "OK"},
        {"PRIMARY u1", "ERR ACCESS-DENIED"},
        {"FSD u1", "ERR ACCESS-DENIED"},
    });
    auto panel = Run({
        {"USERNAME panel", "OK"},
        {"PASSWORD p2", "OK"},
        {"PRIMARY u1", "ERR ACCESS-DENIED"},
        {"FSD u2", "OK FSD-SET"},
        {"GET NUMLOGINS u1", "NUMLOGINS u1 1"},
    });
    view.reset();
    Run({{"GET NUMLOGINS u1", "NUMLOGINS u1 0"}});
}

// What upsmon does as primary, then forced shutdown shown in ups.status.
TEST_F(Engine, PrimaryLogsInAndSetsForcedShutdown) {
    auto mon = Run({
        {"USERNAME mon", "OK"},
        {"PASSWORD \"s3cret\"", "OK"},
        {"LOGIN nope", "ERR UNKNOWN-UPS"},
        {"LOGIN u1", "OK"},
        {"LOGIN u1", "ERR ALREADY-LOGGED-IN"},
        {"PRIMARY u1", "OK PRIMARY-GRANTED"},
        {"MASTER u1", "OK MASTER-GRANTED"},
        {"GET NUMLOGINS u1", "NUMLOGINS u1 1"},
        {"LIST CLIENT u1", "BEGIN LIST CLIENT u1\nCLIENT u1 127.0.0.1\nEND LIST CLIENT u1"},
    });
    fake.directory.Publish("u1", OnBattery(15));
    for (const Step& step : std::vector<Step>{
             {"GET VAR u1 ups.status", "VAR u1 ups.status \"OB LB DISCHRG\""},
             {"FSD u1", "OK FSD-SET"},
             {"GET VAR u1 ups.status", "VAR u1 ups.status \"FSD OB LB DISCHRG\""},
         })
        EXPECT_EQ(mon->Handle(step.request).text, std::string(step.answer) + "\n");
    // The latch outlives new figures; LOGOUT says goodbye and asks to close.
    fake.directory.Publish("u1", OnBattery(14));
    EXPECT_EQ(mon->Handle("GET VAR u1 ups.status").text, "VAR u1 ups.status \"FSD OB LB DISCHRG\"\n");
    const Reply bye = mon->Handle("LOGOUT");
    EXPECT_EQ(bye.text, "OK Goodbye\n");
    EXPECT_TRUE(bye.close);
    fake.directory.PublishStale("u1");
    EXPECT_EQ(mon->Handle("GET VAR u1 ups.status").text, "ERR DATA-STALE\n");
}

// What was set before STARTTLS, by the client or by whoever injected it on the way,
// does not survive into the TLS session: the real client's own USERNAME is taken and its
// password binds to its own user.
TEST_F(Engine, StartTlsForgetsWhatWasSetInPlainText) {
    context.tls_available = true;
    auto session = Run({
        {"USERNAME view", "OK"},
        {"PASSWORD p3", "OK"},
        {"LOGIN u1", "OK"},
        {"STARTTLS", "OK STARTTLS"},
    });
    session->TlsStarted();
    for (const Step& step : std::vector<Step>{
             {"GET NUMLOGINS u1", "NUMLOGINS u1 0"},
             {"LOGIN u1", "ERR USERNAME-REQUIRED"},
             {"USERNAME mon", "OK"},
             {"PASSWORD s3cret", "OK"},
             {"PRIMARY u1", "OK PRIMARY-GRANTED"},
             {"STARTTLS", "ERR ALREADY-SSL-MODE"},
         })
        EXPECT_EQ(session->Handle(step.request).text, std::string(step.answer) + "\n") << step.request;
}

// ups.status and aggregates from figures. Columns: run state, alarms, battery charge,
// charge current, forced shutdown, expected ups.status.
TEST(VariableMap, StatusWords) {
    struct Row {
        const char* run_state;
        std::vector<std::string> alarms;
        double charge;
        double charging;
        bool fsd;
        const char* status;
    };
    const Row rows[] = {
        {"on_mains", {}, 100, 5, false, "OL CHRG"},
        {"on_mains", {}, 100, 0, true, "FSD OL"},
        {"on_battery", {}, 50, 0, false, "OB DISCHRG"},
        {"on_battery", {}, 20, 0, false, "OB LB DISCHRG"},
        {"on_battery", {"battery_voltage_low", "communication_lost"}, 60, 0, false, "OB LB DISCHRG ALARM"},
        {"on_bypass", {"overload"}, 100, 0, false, "OL BYPASS OVER ALARM"},
        {"maintenance_bypass", {}, 100, 0, false, "OL BYPASS"},
        {"fault", {"module3.fan_fault"}, 100, 0, false, "OFF ALARM"},
        {"standby", {}, 100, 0, false, "OFF"},
        {"invalid", {}, 100, 0, false, ""},
    };
    UpsIdentity identity;
    identity.battery_charge_low = 20;
    for (const Row& row : rows) {
        UpsFigures f;
        f.run_state = row.run_state;
        f.alarms = row.alarms;
        f.measures["battery_charge"] = {row.charge, 0};
        f.measures["battery_charge_current{string=\"positive\"}"] = {row.charging, 1};
        std::string status;
        for (const Variable& v : MapVariables(f, identity, row.fsd))
            if (v.name == "ups.status") status = v.value;
        EXPECT_EQ(status, row.status) << row.run_state << " " << row.charge;
    }
}

TEST(VariableMap, AggregatesAndAlarms) {
    UpsFigures f;
    f.run_state = "on_mains";
    f.alarms = {"overload", "communication_lost", "module3.fan_fault"};
    f.measures = {
        {"output_voltage{phase=\"a\"}", {230.0, 1}}, {"output_current{phase=\"a\"}", {10.5, 1}},
        {"output_voltage{phase=\"b\"}", {229.0, 1}}, {"output_current{phase=\"b\"}", {10.0, 1}},
        {"output_active_power{phase=\"a\"}", {2100, 0}}, {"output_active_power{phase=\"b\"}", {2000, 0}},
        {"module_inverter_temperature{module=\"1\"}", {41.5, 1}},
        {"module_rectifier_temperature{module=\"3\"}", {45.2, 1}},
        {"battery_voltage{string=\"negative\"}", {201.0, 1}},
        {"battery_voltage{string=\"positive\"}", {203.0, 1}},
        {"battery_runtime", {720, 0}},
    };
    std::map<std::string, std::string> got;
    for (const Variable& v : MapVariables(f, {"", "", 35}, false)) got[v.name] = v.value;
    const std::map<std::string, std::string> want = {
        {"output.L1.power", "2415"}, {"output.L2.power", "2290"}, {"ups.power", "4705"},
        {"ups.realpower", "4100"},   {"ups.temperature", "45.2"}, {"battery.voltage", "202.0"},
        {"battery.runtime", "720"},  {"battery.charge.low", "35"},
        {"ups.alarm", "overload module3.fan_fault"},
    };
    for (const auto& [name, value] : want) EXPECT_EQ(got[name], value) << name;
    EXPECT_EQ(got.count("output.L3.power"), 0u);  // phase c reports nothing
    EXPECT_EQ(got.count("device.mfr"), 0u);       // not configured
}

TEST(Words, Split) {
    struct Row {
        const char* line;
        bool ok;
        std::vector<std::string> words;
    };
    const Row rows[] = {
        {"a  \"b c\"\td\\\"e", true, {"a", "b c", "d\"e"}},
        {"\"\" x", true, {"", "x"}},
        {"\"a\\\\b\"", true, {"a\\b"}},
        {"\"open", false, {}},
        {"end\\", false, {}},
    };
    for (const Row& row : rows) {
        std::vector<std::string> words;
        EXPECT_EQ(SplitWords(row.line, words), row.ok) << row.line;
        if (row.ok) {
            EXPECT_EQ(words, row.words) << row.line;
        }
    }
}

// A maker's or model's text, or a name, goes out as one line that a client's terminal
// shows as it reads: quotes and backslashes escaped, control characters as "?".
// Columns: the text, as a value, as a word.
TEST(Words, QuoteEscapesAndHidesControlCharacters) {
    struct Row {
        std::string text, quoted, word;
    };
    const Row rows[] = {
        {"NX \"3\"", "\"NX \\\"3\\\"\"", "\"NX \\\"3\\\"\""},
        {"\x1b[2Jmodel", "\"?[2Jmodel\"", "\"?[2Jmodel\""},
        {std::string("a\0b\r\nc", 6), "\"a?b??c\"", "\"a?b??c\""},
        {"ups1", "\"ups1\"", "ups1"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(novex::protocol::Quoted(row.text), row.quoted);
        EXPECT_EQ(novex::protocol::Word(row.text), row.word);
    }
}

// Columns: file text, accepted, part of the error.
TEST(UsersFile, Parse) {
    struct Row {
        const char* text;
        bool ok;
        const char* error;
    };
    const Row rows[] = {
        {"# comment\n\nmon pw primary fsd\r\n  view \"pw2\"\n", true, ""},
        {"mon \"a b\"\n", false, "line 1: the password of user mon holds a space"},
        {"mon\n", false, "line 1: expected a name and a password"},
        {"mon \"\"\n", false, "line 1: empty password"},
        {"a b\nmon pw admin\n", false, "line 2: unknown right \"admin\""},
        {"mon pw\nmon other\n", false, "line 2: user mon given twice"},
        {"mon \"pw\n", false, "line 1: unterminated quote"},
    };
    for (const Row& row : rows) {
        Users users;
        std::string error;
        EXPECT_EQ(Users::Parse(row.text, users, error), row.ok) << row.text;
        EXPECT_NE(error.find(row.error), std::string::npos) << error;
        EXPECT_EQ(error.find("pw"), std::string::npos) << "a password in: " << error;
    }
    Users users;
    std::string error;
    ASSERT_TRUE(Users::Parse("mon ab primary\n", users, error));
    ASSERT_NE(users.Authenticate("mon", "ab"), nullptr);
    EXPECT_TRUE(users.Authenticate("mon", "ab")->primary);
    EXPECT_EQ(users.Authenticate("mon", "a"), nullptr);
    EXPECT_EQ(users.Authenticate("mon", "abc"), nullptr);
    EXPECT_EQ(users.Authenticate("other", "ab"), nullptr);
}

TEST(UsersFile, RefusedWhenOthersMayReadIt) {
    char path[] = "/tmp/protocol-users-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::ofstream(path) << "mon pw primary\n";
    Users users;
    std::string error;
    for (const mode_t mode : {0644, 0640, 0604}) {
        chmod(path, mode);
        EXPECT_FALSE(Users::Load(path, users, error)) << mode;
        EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
    }
    chmod(path, 0600);
    EXPECT_TRUE(Users::Load(path, users, error)) << error;
    EXPECT_EQ(users.size(), 1u);
    unlink(path);
    close(fd);
}

}  // namespace

// The UPS protocol server's line handling: one session fed the input's lines (split
// at line feeds, as the server splits its input) against two UPSes, one published and
// one stale. Properties: no exception escapes; every answer is whole lines, each of
// words the protocol's own splitting reads back (quotes closed, escapes complete); log
// lines hold no control characters, so a client cannot forge or colour them. STARTTLS
// is offered: once its handshake is taken as done, nothing set before it survives.
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "protocol/published_directory.h"
#include "protocol/session.h"
#include "protocol/users.h"
#include "protocol/words.h"

using novexfuzz::Fail;
using novexfuzz::Input;
namespace protocol = novex::protocol;

namespace {

struct World {
    protocol::PublishedDirectory directory;
    protocol::Users users;
    World() {
        directory.Add({"u1", "Main UPS \"A\" \\ rack"}, {"Maker", "Model \"3\"", 20});
        directory.Add({"u2", ""}, {});
        protocol::UpsFigures figures;
        figures.run_state = "on_battery";
        figures.measures = {{"battery_charge", {18, 0}},
                            {"battery_runtime", {600, 0}},
                            {"input_voltage{phase=\"a\"}", {0, 1}},
                            {"output_load{phase=\"a\"}", {35, 0}}};
        directory.Publish("u1", figures);
        std::string error;
        if (!protocol::Users::Parse("mon s3cret primary\npanel p4ss fsd\nview v1ew\n", users,
                                    error))
            Fail("the users file");
    }
};

void CheckAnswer(const std::string& text) {
    if (!text.empty() && text.back() != '\n') Fail("an answer that does not end its line");
    size_t begin = 0;
    while (begin < text.size()) {
        const size_t end = text.find('\n', begin);
        std::vector<std::string> words;
        if (!protocol::SplitWords(text.substr(begin, end - begin), words) || words.empty())
            Fail("an answer line that does not read back as words");
        begin = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World world;  // anew for each input: forced shutdown latches
    protocol::LoginTable logins;
    std::vector<std::string> log;
    protocol::SessionContext context{world.directory, world.users, logins, "vimohost 1.0",
                                     [&log](const std::string& line) { log.push_back(line); }};
    context.tls_available = true;
    Input in(data, size);
    try {
        protocol::Session session(context, "127.0.0.1");
        protocol::Session other(context, "127.0.0.2");
        for (int i = 0; i < 64 && !in.empty(); ++i) {
            std::string line = in.Until('\n');
            // A line starting with a tab goes to the second session, to mix logins.
            protocol::Session& to = !line.empty() && line[0] == '\t' ? other : session;
            const protocol::Reply reply = to.Handle(line);
            CheckAnswer(reply.text);
            if (reply.close) break;
            if (reply.start_tls) {
                // As the server does once the handshake is done: nothing said in plain
                // text (user, password, a login) carries over.
                to.TlsStarted();
                if (to.LoggedIn() || to.Handle("LOGIN u1").text != "ERR USERNAME-REQUIRED\n")
                    Fail("state set before STARTTLS survived it");
            }
        }
    } catch (...) {
        Fail("an exception escaped the session");
    }
    for (const std::string& line : log)
        for (const char c : line)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) Fail("a control character logged");
    return 0;
}

// `vimohost history`: the stored rounds of the history file, listed, or one of them
// rendered as its status document by the plug-in itself.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include <json/value.h>
#include <json/writer.h>

#include "vimohost/commands.h"
#include "common/console.h"
#include "common/hints.h"
#include "core/json_writer.h"
#include "history/store.h"
#include "session/plugin_library.h"
#include "session/device_session.h"

namespace vimo {

namespace {

void Fail(const std::string& message) { Say(Level::kError, "vimohost history: " + message); }

// The plug-in writes its console lines to standard output; while rendering, they go
// to standard error so that standard output holds the document alone.
class PluginLinesToStderr {
public:
    PluginLinesToStderr() : saved_(std::cout.rdbuf(std::cerr.rdbuf())) {}
    ~PluginLinesToStderr() { std::cout.rdbuf(saved_); }
    PluginLinesToStderr(const PluginLinesToStderr&) = delete;
    PluginLinesToStderr& operator=(const PluginLinesToStderr&) = delete;

private:
    std::streambuf* saved_;
};

// Streams the list: a row is printed as it is read (only the newest `--last` are
// counted first), so neither memory nor the wait for the first line grows with the file.
int List(HistoryStore& store, const HistoryOptions& options) {
    std::optional<uint32_t> data_id;
    if (options.has_data_id) data_id = options.data_id;
    const int64_t total = store.CountRounds(data_id);
    if (total < 0) {
        Fail("history " + options.history_file + ": " + store.ReadError());
        return kExitFailure;
    }
    int64_t shown = 0;
    if (options.json) std::fputs("[", stdout);
    else
        std::printf("%8s %-12s %10s  %-19s %6s\n", "round", "device", "data_id", "time", "bytes");
    const bool ok = store.ListEach(data_id, options.last, [&](const StoredRound& r) {
        if (options.json)
            std::printf("%s\n  {\"round\": %lld, \"data_id\": %u, \"device\": %s, \"time\": %s, "
                        "\"utc\": %lld, \"bytes\": %zu}",
                        shown ? "," : "", static_cast<long long>(r.id), r.data_id,
                        novex::JsonQuote(r.device).c_str(),
                        novex::JsonQuote(r.time).c_str(), static_cast<long long>(r.utc),
                        r.record.size());
        else
            std::printf("%8lld %-12s %10u  %-19s %6zu\n", static_cast<long long>(r.id),
                        r.device.c_str(), r.data_id, r.time.c_str(), r.record.size());
        ++shown;
        return true;
    });
    if (options.json) std::fputs(shown ? "\n]\n" : "]\n", stdout);
    std::fflush(stdout);
    if (!ok) {
        Fail("history " + options.history_file + ": " + store.ReadError());
        return kExitFailure;
    }
    if (!options.json && total > shown)
        Say("(the newest " + std::to_string(shown) + " of " + std::to_string(total) +
            " rounds; --last 0 lists all)");
    return kExitOk;
}

int Render(HistoryStore& store, const HistoryOptions& options) {
    std::optional<StoredRound> round;
    if (options.render == "latest") {
        if (options.has_data_id) {
            round = store.Newest(options.data_id);
        } else {
            const int64_t newest = store.NewestRoundId();
            if (newest > 0) round = store.Round(newest);
        }
    } else {
        round = store.Round(std::stoll(options.render));
    }
    const std::string failure = store.ReadError();
    if (!failure.empty()) {
        Fail("history " + options.history_file + ": " + failure);
        return kExitFailure;
    }
    if (!round || (options.has_data_id && round->data_id != options.data_id)) {
        Fail("no stored round " + options.render +
             (options.has_data_id ? " of data id " + std::to_string(options.data_id) : ""));
        return kExitUsage;
    }
    std::string error;
    std::unique_ptr<PluginLibrary> plugin = PluginLibrary::Load(PluginPath(options.plugin), error);
    if (!plugin) {
        Fail(error);
        return kExitFailure;
    }
    std::string text;
    {
        DeviceConfig config;
        config.data_id = round->data_id;
        config.name = "ups" + std::to_string(round->data_id);
        config.settings = Json::Value(Json::objectValue);
        PluginLinesToStderr redirect;
        std::unique_ptr<DeviceSession> session =
            DeviceSession::Create(*plugin, config, nullptr, error);
        if (!session || !session->Replay(*round, error) || !session->Document(text, error)) {
            Fail(error);
            return kExitFailure;
        }
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
    std::fflush(stdout);
    return kExitOk;
}

}  // namespace

// A history that is missing and one this user may not read are told apart before
// SQLite, which says "unable to open database file" to both.
bool Readable(const std::string& path) {
    if (access(path.c_str(), R_OK) == 0) return true;
    const int failure = errno;
    if (failure == ENOENT && access(path.c_str(), F_OK) != 0 && errno == ENOENT)
        Fail("history " + path + ": no such file (the service's history is " + kServiceStateDir +
             "/history.db; --history names another)");
    else
        Fail("history " + path + ": " + std::strerror(failure) +
             (failure == EACCES ? vimo::ReadAccessHint(path) : std::string()));
    return false;
}

int RunHistory(const HistoryOptions& options) {
    if (!Readable(options.history_file)) return kExitFailure;
    std::string error;
    std::unique_ptr<HistoryStore> store = HistoryStore::OpenReadOnly(options.history_file, error);
    if (!store) {
        Fail(error);
        return kExitFailure;
    }
    // A damaged file lists nothing or part of what it holds: refused as the poll start
    // refuses it, so that an empty list always means an empty history.
    if (!store->QuickCheck(error)) {
        Fail("history " + options.history_file + ": " + error);
        return kExitFailure;
    }
    if (!options.query.empty()) {
        store.reset();  // the queries read on a connection of their own
        return RunHistoryQuery(options);
    }
    if (!options.render.empty()) return Render(*store, options);
    return List(*store, options);
}

}  // namespace vimo

// The announcer on Avahi's client library. Every callback runs on Avahi's poll thread
// (or in Start, before that thread runs); the destructor stops the thread before it
// touches anything, so only the registered name is shared, under its mutex.
#include "mdns/announcer.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include "common/console.h"
#include "core/thread_annotations.h"

namespace vimo {

namespace {

// Without a daemon (or a bus), the next try this long after the last.
constexpr unsigned kRetryMs = 5000;

class AvahiAnnouncer : public MdnsAnnouncer {
public:
    explicit AvahiAnnouncer(std::vector<MdnsService> services) : services_(std::move(services)) {}

    bool Begin(std::string& error) {
        poll_ = avahi_threaded_poll_new();
        if (poll_ == nullptr) {
            error = "mDNS: cannot set up Avahi's event loop";
            return false;
        }
        Connect();
        if (avahi_threaded_poll_start(poll_) < 0) {
            error = "mDNS: cannot start a thread for Avahi's event loop";
            return false;
        }
        return true;
    }

    ~AvahiAnnouncer() override {
        if (poll_ == nullptr) return;
        avahi_threaded_poll_stop(poll_);
        if (retry_ != nullptr) avahi_threaded_poll_get(poll_)->timeout_free(retry_);
        // Freeing the group withdraws its services at once; the client's end closes
        // the bus connection.
        if (group_ != nullptr) avahi_entry_group_free(group_);
        if (client_ != nullptr) avahi_client_free(client_);
        if (failed_ != nullptr) avahi_client_free(failed_);
        avahi_threaded_poll_free(poll_);
    }

    std::string Registered() const override {
        novex::MutexLock lock(mutex_);
        return registered_;
    }

private:
    void SetRegistered(const std::string& name) {
        novex::MutexLock lock(mutex_);
        registered_ = name;
    }

    // A client that waits for the daemon when there is none (AVAHI_CLIENT_NO_FAIL);
    // without the system bus there is no client, and a retry later.
    void Connect() {
        int error = 0;
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                                   &AvahiAnnouncer::ClientChanged, this, &error);
        if (client_ != nullptr) return;
        Missing(std::string("cannot reach the Avahi daemon (") + avahi_strerror(error) + ")");
        RetryIn(kRetryMs);
    }

    void RetryIn(unsigned ms) {
        struct timeval when;
        avahi_elapse_time(&when, ms, 0);
        const AvahiPoll* api = avahi_threaded_poll_get(poll_);
        if (retry_ == nullptr) retry_ = api->timeout_new(api, &when, &AvahiAnnouncer::Retry, this);
        else api->timeout_update(retry_, &when);
    }

    // A failed client is freed here, outside its own callback, then a new one made.
    static void Retry(AvahiTimeout*, void* self) {
        auto* me = static_cast<AvahiAnnouncer*>(self);
        if (me->failed_ != nullptr) avahi_client_free(me->failed_);
        me->failed_ = nullptr;
        if (me->client_ == nullptr) me->Connect();
    }

    // Said once until the services are registered again.
    void Missing(const std::string& why) {
        if (said_missing_) return;
        said_missing_ = true;
        Say(Level::kWarning, "vimohost: mDNS: " + why + "; the services are announced once it runs");
    }

    static void ClientChanged(AvahiClient* client, AvahiClientState state, void* self) {
        auto* me = static_cast<AvahiAnnouncer*>(self);
        me->client_ = client;  // also while avahi_client_new has not returned yet
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                me->Register();
                return;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                // The host's own name is being settled: register once it runs again.
                if (me->group_ != nullptr) avahi_entry_group_reset(me->group_);
                me->SetRegistered("");
                return;
            case AVAHI_CLIENT_CONNECTING:
                me->Missing("no Avahi daemon runs (avahi-daemon)");
                return;
            case AVAHI_CLIENT_FAILURE: {
                // The daemon went away (a restart): a new client waits for it and
                // registers everything again.
                const int error = avahi_client_errno(client);
                me->SetRegistered("");
                me->group_ = nullptr;  // freed with its client
                if (me->failed_ != nullptr && me->failed_ != client) avahi_client_free(me->failed_);
                me->failed_ = client;
                me->client_ = nullptr;
                if (error == AVAHI_ERR_DISCONNECTED && !me->said_missing_) {
                    Say(Level::kNotice, "vimohost: mDNS: the Avahi daemon went away; announcing again once it is back");
                    me->said_missing_ = true;  // the new client's wait says nothing more
                } else {
                    me->Missing(std::string("the Avahi client failed (") + avahi_strerror(error) + ")");
                }
                me->RetryIn(0);
                return;
            }
        }
    }

    static void GroupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
        auto* me = static_cast<AvahiAnnouncer*>(self);
        switch (state) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED: {
                me->said_missing_ = false;
                me->SetRegistered(me->name_);
                std::string what;
                for (const MdnsService& s : me->services_)
                    what += (what.empty() ? "" : ", ") + s.type + " on port " + std::to_string(s.port);
                Say(Level::kNotice, "vimohost: mDNS: announcing " + what + " as \"" + me->name_ + "\"");
                return;
            }
            case AVAHI_ENTRY_GROUP_COLLISION:
                // Another host announces the same name: take the next ("NAME #2").
                me->Rename();
                avahi_entry_group_reset(group);
                me->Register();
                return;
            case AVAHI_ENTRY_GROUP_FAILURE:
                Say(Level::kWarning, std::string("vimohost: mDNS: the daemon refused the services (") +
                                         avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))) + ")");
                return;
            case AVAHI_ENTRY_GROUP_UNCOMMITED:
            case AVAHI_ENTRY_GROUP_REGISTERING:
                return;
        }
    }

    void Rename() {
        char* next = avahi_alternative_service_name(name_.c_str());
        Say(Level::kNotice, "vimohost: mDNS: \"" + name_ + "\" is taken on the network; now \"" + next + "\"");
        name_ = next;
        avahi_free(next);
        SetRegistered("");
    }

    void Register() {
        if (client_ == nullptr) return;
        if (group_ == nullptr) group_ = avahi_entry_group_new(client_, &AvahiAnnouncer::GroupChanged, this);
        if (group_ == nullptr) {
            Say(Level::kWarning, std::string("vimohost: mDNS: ") + avahi_strerror(avahi_client_errno(client_)));
            return;
        }
        if (!avahi_entry_group_is_empty(group_)) return;
        if (name_.empty()) name_ = std::string("vimohost on ") + avahi_client_get_host_name(client_);
        for (int tries = 0; tries < 16; ++tries) {
            int rc = 0;
            for (const MdnsService& s : services_) {
                AvahiStringList* txt = nullptr;
                for (const std::string& t : s.txt) txt = avahi_string_list_add(txt, t.c_str());
                rc = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                          static_cast<AvahiPublishFlags>(0), name_.c_str(),
                                                          s.type.c_str(), nullptr, nullptr,
                                                          static_cast<uint16_t>(s.port), txt);
                avahi_string_list_free(txt);
                if (rc < 0) break;
            }
            if (rc == AVAHI_ERR_COLLISION) {  // a local service has the name
                Rename();
                avahi_entry_group_reset(group_);
                continue;
            }
            if (rc >= 0) rc = avahi_entry_group_commit(group_);
            if (rc < 0)
                Say(Level::kWarning, std::string("vimohost: mDNS: cannot register the services (") +
                                         avahi_strerror(rc) + ")");
            return;
        }
    }

    const std::vector<MdnsService> services_;
    AvahiThreadedPoll* poll_ = nullptr;
    // The poll thread's alone once it runs.
    AvahiClient* client_ = nullptr;
    AvahiClient* failed_ = nullptr;  // to free on the next turn of the loop
    AvahiEntryGroup* group_ = nullptr;
    AvahiTimeout* retry_ = nullptr;
    std::string name_;
    bool said_missing_ = false;
    mutable novex::Mutex mutex_;
    std::string registered_ GUARDED_BY(mutex_);
};

}  // namespace

std::unique_ptr<MdnsAnnouncer> MdnsAnnouncer::Start(std::vector<MdnsService> services,
                                                    std::string& error) {
    auto announcer = std::make_unique<AvahiAnnouncer>(std::move(services));
    if (!announcer->Begin(error)) return nullptr;
    return announcer;
}

bool MdnsBuiltIn() { return true; }

}  // namespace vimo

// A UpsDirectory fed by the polling side: after each round it publishes a UPS's
// figures (or that they are stale), and the server reads the variables made from the
// latest publication. Publishing maps the variables and swaps one pointer under a
// short lock, so neither side ever waits for the other's work.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/thread_annotations.h"
#include "protocol/directory.h"
#include "protocol/variable_map.h"

namespace novex {
namespace protocol {

class PublishedDirectory : public UpsDirectory {
public:
    // The UPSes, in the order LIST UPS gives them. Each is stale until published.
    void Add(const UpsInfo& info, const UpsIdentity& identity);

    // The UPS's figures of a completed round, or stale: communication lost, the last
    // figures stay unpublished. Unknown names are ignored.
    void Publish(const std::string& ups, const UpsFigures& figures);
    void PublishStale(const std::string& ups);
    // The UPS is no longer served: LIST UPS leaves it out, and a request naming it is
    // answered as for any unknown UPS.
    void Remove(const std::string& ups);

    std::vector<UpsInfo> List() const override;
    std::shared_ptr<const UpsState> Read(const std::string& ups) const override;
    bool SetForcedShutdown(const std::string& ups) override;

private:
    struct Entry {
        UpsInfo info;
        UpsIdentity identity;
        UpsFigures figures;  // the last published, kept to add FSD later
        bool forced_shutdown = false;
        std::shared_ptr<const UpsState> state;
    };
    Entry* Find(const std::string& ups) REQUIRES(mutex_);
    const Entry* Find(const std::string& ups) const REQUIRES(mutex_);
    // Builds the entry's state from its figures; `stale` marks it without variables.
    static std::shared_ptr<const UpsState> MakeState(const Entry& entry, bool stale);

    mutable novex::Mutex mutex_;  // a reload may Add while serving
    std::vector<Entry> entries_ GUARDED_BY(mutex_);
};

}  // namespace protocol
}  // namespace novex

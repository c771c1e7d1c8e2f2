#include "protocol/published_directory.h"

namespace novex {
namespace protocol {

void PublishedDirectory::Add(const UpsInfo& info, const UpsIdentity& identity) {
    novex::MutexLock lock(mutex_);
    // A UPS added again (its device restarted by a reload) keeps its entry and its
    // forced shutdown, and reads as stale until its next round.
    if (Entry* known = Find(info.name)) {
        known->info = info;
        known->identity = identity;
        known->state = MakeState(*known, true);
        return;
    }
    Entry entry;
    entry.info = info;
    entry.identity = identity;
    entry.state = MakeState(entry, true);
    entries_.push_back(std::move(entry));
}

std::shared_ptr<const UpsState> PublishedDirectory::MakeState(const Entry& entry, bool stale) {
    auto state = std::make_shared<UpsState>();
    state->stale = stale;
    if (!stale) state->variables = MapVariables(entry.figures, entry.identity, entry.forced_shutdown);
    return state;
}

void PublishedDirectory::Publish(const std::string& ups, const UpsFigures& figures) {
    // The variables are made outside the lock; only the swap is under it.
    Entry copy;
    {
        novex::MutexLock lock(mutex_);
        const Entry* entry = Find(ups);
        if (!entry) return;
        copy.identity = entry->identity;
        copy.forced_shutdown = entry->forced_shutdown;
    }
    copy.figures = figures;
    std::shared_ptr<const UpsState> state = MakeState(copy, false);
    novex::MutexLock lock(mutex_);
    Entry* entry = Find(ups);
    if (!entry) return;  // removed meanwhile by a reload
    entry->figures = std::move(copy.figures);
    // Forced shutdown set meanwhile: make the state again so it is not lost.
    entry->state = entry->forced_shutdown == copy.forced_shutdown ? state : MakeState(*entry, false);
}

void PublishedDirectory::PublishStale(const std::string& ups) {
    novex::MutexLock lock(mutex_);
    if (Entry* entry = Find(ups)) entry->state = MakeState(*entry, true);
}

void PublishedDirectory::Remove(const std::string& ups) {
    novex::MutexLock lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
        if (it->info.name == ups) {
            entries_.erase(it);
            return;
        }
}

std::vector<UpsInfo> PublishedDirectory::List() const {
    novex::MutexLock lock(mutex_);
    std::vector<UpsInfo> out;
    for (const Entry& entry : entries_) out.push_back(entry.info);
    return out;
}

std::shared_ptr<const UpsState> PublishedDirectory::Read(const std::string& ups) const {
    novex::MutexLock lock(mutex_);
    const Entry* entry = Find(ups);
    return entry ? entry->state : nullptr;
}

bool PublishedDirectory::SetForcedShutdown(const std::string& ups) {
    novex::MutexLock lock(mutex_);
    Entry* entry = Find(ups);
    if (!entry) return false;
    if (!entry->forced_shutdown) {
        entry->forced_shutdown = true;
        if (!entry->state->stale) entry->state = MakeState(*entry, false);
    }
    return true;
}

PublishedDirectory::Entry* PublishedDirectory::Find(const std::string& ups) {
    for (Entry& entry : entries_)
        if (entry.info.name == ups) return &entry;
    return nullptr;
}

const PublishedDirectory::Entry* PublishedDirectory::Find(const std::string& ups) const {
    for (const Entry& entry : entries_)
        if (entry.info.name == ups) return &entry;
    return nullptr;
}

}  // namespace protocol
}  // namespace novex

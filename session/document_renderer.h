// The status document of a record, made when someone asks for it.
//
// Published snapshots keep a round's 853-byte record, not the document's text of some
// 150 KB: across a thousand UPSes that text, once in the plug-in and once in the
// snapshot, was most of vimohost's memory, and rebuilding it every round most of its
// CPU beside the wire. The document is the plug-in's rendering of the record alone, so
// a device of the same plug-in that is handed the record (as a stored round is at
// start) writes the very text the polled device would have written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/thread_annotations.h"

namespace vimo {

class DeviceSession;
class PluginLibrary;

class DocumentRenderer {
public:
    // `plugin` outlives the renderer.
    explicit DocumentRenderer(const PluginLibrary& plugin);
    ~DocumentRenderer();
    DocumentRenderer(const DocumentRenderer&) = delete;
    DocumentRenderer& operator=(const DocumentRenderer&) = delete;

    // The document of `record`, a round of device `data_id` as the device handed it
    // over (its own time stamp inside). False with a one-line error. Any thread; one
    // rendering at a time.
    bool Render(uint32_t data_id, const std::vector<unsigned char>& record, std::string& text,
                std::string& error);

    // Devices kept for rendering, the most recently used; each holds its document's
    // values, some hundreds of kilobytes.
    static constexpr size_t kKeptDevices = 4;

private:
    struct Renderer;
    std::unique_ptr<Renderer> Make(uint32_t data_id, std::string& error) const;

    const PluginLibrary& plugin_;
    novex::Mutex mutex_;
    std::vector<std::unique_ptr<Renderer>> kept_ GUARDED_BY(mutex_);  // most recent first
};

}  // namespace vimo

#include "session/document_renderer.h"

#include <cstring>
#include <ctime>

#include <json/value.h>

#include "config/device_config.h"
#include "device/novexups_data.h"
#include "history/store.h"
#include "session/device_session.h"
#include "session/round_time.h"

namespace vimo {

struct DocumentRenderer::Renderer {
    uint32_t data_id = 0;
    std::unique_ptr<DeviceSession> session;
    // The round it shows. A device rebuilds its document only for a round that completes
    // in another clock second than the one shown, and a stored round completes when it
    // is handed over: a second record within the same second needs a new device.
    std::vector<unsigned char> record;
    std::time_t replayed = 0;  // the clock second of its last stored round
};

DocumentRenderer::DocumentRenderer(const PluginLibrary& plugin) : plugin_(plugin) {}
DocumentRenderer::~DocumentRenderer() = default;

std::unique_ptr<DocumentRenderer::Renderer> DocumentRenderer::Make(uint32_t data_id,
                                                                   std::string& error) const {
    DeviceConfig config;
    config.data_id = data_id;
    config.name = "ups" + std::to_string(data_id);
    config.settings = Json::Value(Json::objectValue);
    auto renderer = std::make_unique<Renderer>();
    renderer->data_id = data_id;
    renderer->session = DeviceSession::Create(plugin_, config, nullptr, error);
    if (!renderer->session) return nullptr;
    return renderer;
}

bool DocumentRenderer::Render(uint32_t data_id, const std::vector<unsigned char>& record,
                              std::string& text, std::string& error) {
    if (record.size() != sizeof(NovexUPS_Data_t)) {
        error = "a record of " + std::to_string(record.size()) + " bytes has no document";
        return false;
    }
    ttime_t stamp;
    std::memcpy(&stamp, record.data() + offsetof(NovexUPS_Data_t, update_time), sizeof stamp);
    StoredRound round;
    round.data_id = data_id;
    round.time = TimeText(stamp);
    round.record = record;

    novex::MutexLock lock(mutex_);
    size_t at = 0;
    while (at < kept_.size() && kept_[at]->data_id != data_id) ++at;
    std::unique_ptr<Renderer> renderer;
    if (at < kept_.size()) {
        renderer = std::move(kept_[at]);
        kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(at));
    }
    const bool shown = renderer && renderer->record == record;
    if (renderer && !shown && renderer->replayed == std::time(nullptr)) renderer.reset();
    if (!renderer && !(renderer = Make(data_id, error))) return false;
    if (!shown) {
        renderer->record.clear();
        if (!renderer->session->Replay(round, error)) {
            error = "the status document of round " + round.time + ": " + error;
            return false;
        }
        renderer->replayed = std::time(nullptr);  // read after: never before the round's second
        renderer->record = record;
    }
    const bool ok = renderer->session->Document(text, error);
    kept_.insert(kept_.begin(), std::move(renderer));
    if (kept_.size() > kKeptDevices) kept_.pop_back();
    return ok;
}

}  // namespace vimo

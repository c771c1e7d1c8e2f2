// The text a notification carries, made once per round and channel: every event of the
// round that the channel wants, grouped into one message, and what the device showed
// then. Each message has an id that stays with it through every retry and restart
// (the mail's Message-ID, the webhook's X-Vimo-Message-Id and "id", syslog's MSGID
// structured data), so that a receiver can tell a repeat from a new message.
//
// Everything from a device, a configuration or the UPS (names, alarm texts) is made
// one line before it reaches a subject, a header or a syslog field: no CR, LF or other
// control character survives, so no text can add a header or a line of its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "board/alarm_event.h"
#include "notify/channel_url.h"

namespace vimo {
namespace notify {

struct Message {
    std::string id;        // 32 hex digits, unique
    int64_t created = 0;   // epoch seconds
    int severity = 0;      // the highest of its events: 0 info, 1 warning, 2 critical
    std::string device;    // "" for vimohost's own messages
    std::string subject;   // one line
    std::string text;      // lines joined by '\n'
    Json::Value document;  // the event document ("json" webhooks, syslog's message)
};

// What the device showed when the round's events happened.
struct DeviceFacts {
    std::string device;
    int64_t time = 0;
    std::string state;         // run state id, "" unknown
    std::string charge;        // percent, "" unknown
    std::string runtime_min;   // minutes, "" unknown
    int64_t on_battery_since = 0;  // 0: not on battery
    std::string link;          // the page, "" when no public URL is set
};

// Which kind bit an event is (alarm, state, communication).
unsigned EventKind(const AlarmEvent& event);
int EventSeverity(const AlarmEvent& event);
// Whether the channel wants the event (kind, floor, device).
bool Wanted(const ChannelSettings& channel, const AlarmEvent& event);

// `text` without control characters (each becomes a space), at most `max` bytes, cut
// on a UTF-8 character's start.
std::string OneLine(const std::string& text, size_t max = 200);

std::string NewMessageId();

// One message for a round's events (not empty), for a channel with `subject_template`
// ("" the default: "[SEVERITY] DEVICE: FIRST EVENT (+N more)"; {device}, {summary},
// {count}, {severity} are replaced).
Message RoundMessage(const DeviceFacts& facts, const std::vector<AlarmEvent>& events,
                     const std::string& subject_template = "");
// vimohost's own: "started", "stopped", "reloaded", or the test of `notify test`.
Message ServiceMessage(const std::string& what, int64_t time);
Message TestMessage(int64_t time);
// Messages held back by the rate limit, as one.
Message DigestMessage(const std::vector<Message>& held, int64_t time);

// Stored form (the outbox) and back; false on a document that is not one.
std::string Serialize(const Message& message);
bool Deserialize(const std::string& text, Message& out);

}  // namespace notify
}  // namespace vimo

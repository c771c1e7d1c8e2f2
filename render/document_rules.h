// The four ways a member of the status document is written, shared by every
// section renderer. Each replaces whatever the member held before.
//
// A rebuild writes either a tree of JSON values (the document behind command 803)
// or, through the same calls in the same order, the value slots of the document's
// text (document_text.h): the section tables describe the document once for both.
//
// A tree is rebuilt in place, with the same members in the same order each time.
// A rebuild may find each member by its key (creating it) and remember where it
// lives, so that later rebuilds walk those places in order and neither format nor
// look up a key; the text template is derived from such a recording. The device's
// own tree is the one 803 hands out, whose members its holder may move, so the device
// finds them by key on every rebuild. A container that is not an object when it is
// looked up is made an empty object first instead of failing (the host may change
// the document through the pointer of command 803). A text member that already holds
// its text is left alone, which spares an allocation per unchanged text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <json/value.h>

namespace novex {
namespace render {

// Texts of an alarm member.
extern const char kAlarmText[];   // "告警"
extern const char kNormalText[];  // "正常"
// Text of a value that no table knows.
extern const char kInvalidText[];  // "无效值"
// Name of the object of alarm booleans beside the alarm texts.
extern const char kAlertArrayKey[];  // "AlertArray"

// A member key: a plain text, or a pattern with one "%s" and the text put in its
// place (formatted only when the member has to be looked up).
struct Key {
    Key(const char* text) : pattern(text), number(nullptr) {}  // implicit: a text is a key
    Key(const char* key_pattern, const char* key_number)
        : pattern(key_pattern), number(key_number) {}
    const char* pattern;
    const char* number;
};

// The places of the members of one document, in the order a rebuild writes them.
class MemberPlaces {
public:
    // Starts a rebuild of `document`. With `keep_places`, the places remembered by
    // the last complete rebuild are walked again (if the document still has as many
    // members as then), or, if there are none, every member is found by key and its
    // place remembered. Without, every member is found by key and nothing is kept.
    void Begin(Json::Value& document, bool keep_places);
    // Ends a rebuild that wrote every member.
    void End(const Json::Value& document);
    bool replaying() const { return mode_ == Mode::kReplay; }
    // The members the last recording rebuild wrote, containers included, one per
    // write in the order of writing (a member written twice appears twice).
    const std::vector<Json::Value*>& written() const { return places_; }

    Json::Value& Member(Json::Value& container, const Key& key);

private:
    enum class Mode { kLookup, kRecord, kReplay };
    static Json::Value& Find(Json::Value& container, const Key& key);

    std::vector<Json::Value*> places_;
    size_t next_ = 0;
    size_t root_members_ = 0;
    bool complete_ = false;
    Mode mode_ = Mode::kLookup;
};

class TextSlots;

// A container of the document under rebuild: a section object or the document.
// With `text` set, every write goes to the next value slot of the text instead, and
// `value` and `places` are left alone.
struct Container {
    Json::Value& value;
    MemberPlaces& places;
    TextSlots* text = nullptr;
};

// container[key] as an object (made an empty one when missing or not an object).
Container Object(Container container, const Key& key);

// container[key] := text, a constant of a table (alive as long as the program).
void put_text(Container container, const Key& key, const char* text);
// container[key] := text, made for this write (its contents count, not its address).
void put_formatted_text(Container container, const Key& key, const char* text);

// container[key] := raw as a JSON real: converted to single precision, divided in
// single precision when divisor is non-zero, then widened to double. Never an
// integer, so 37 is written 37.0.
void put_number(Container container, const Key& key, uint16_t raw, uint16_t divisor = 0);
// The same for a register read as signed, without divisor.
void put_signed_number(Container container, const Key& key, int16_t raw);

// container[key] := "告警" or "正常", then alerts[key] := flag, where alerts is
// container["AlertArray"]. The second form takes that object already resolved.
void put_alarm(Container container, const Key& key, bool flag);
void put_alarm(Container container, Container alerts, const Key& key, bool flag);

// A rebuild of the text may pass over values it knows unchanged since the last one
// (TextSlots::Begin says when): `writes` of them, counted as the calls above make
// them in a text: Object and each put_ and state_text call one, put_alarm two (its
// text and its flag; the first form three, its "AlertArray" too).
constexpr size_t kValueWrites = 1;
constexpr size_t kAlarmWrites = 2;
void pass(Container container, size_t writes);

// A renderer's rows, each passed over when the text shows its value already: the
// writes of such rows are counted, and passed over in one call before the next row
// that is written, or at Finish.
class RowPasses {
public:
    explicit RowPasses(Container container) : container_(container) {}
    // Whether a row is to be written; if it is `unchanged`, its `writes` are counted.
    bool Write(bool unchanged, size_t writes) {
        if (unchanged) {
            pending_ += writes;
            return false;
        }
        Finish();
        return true;
    }
    void Finish() {
        if (pending_ != 0) pass(container_, pending_);
        pending_ = 0;
    }

private:
    Container container_;
    size_t pending_ = 0;
};

// container[key] := texts[value] for value < count, else fallback (table constants).
void state_text(Container container, const Key& key, unsigned value, const char* const* texts,
                size_t count, const char* fallback = kInvalidText);

// A key made from a pattern with one "%s" and a number text. Held in a buffer large
// enough for every key of the document; a longer one goes to the heap, so nothing is
// ever cut short.
class PatternKey {
public:
    PatternKey(const char* pattern, const char* number);
    const char* c_str() const { return long_.empty() ? short_ : long_.c_str(); }

private:
    char short_[96];
    std::string long_;
};

// Register i (0-based) of a slice of native-order 16-bit registers at any alignment.
inline uint16_t RegisterAt(const unsigned char* slice, size_t i) {
    uint16_t value;
    std::memcpy(&value, slice + 2 * i, sizeof value);
    return value;
}

}  // namespace render
}  // namespace novex

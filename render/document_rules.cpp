#include "render/document_rules.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "render/document_text.h"

namespace novex {
namespace render {

const char kAlarmText[] = "告警";
const char kNormalText[] = "正常";
const char kInvalidText[] = "无效值";
const char kAlertArrayKey[] = "AlertArray";

void MemberPlaces::Begin(Json::Value& document, bool keep_places) {
    next_ = 0;
    if (!keep_places) {
        std::vector<Json::Value*>().swap(places_);
        complete_ = false;
        mode_ = Mode::kLookup;
    } else if (complete_ && document.isObject() && document.size() == root_members_) {
        mode_ = Mode::kReplay;
    } else {
        places_.clear();
        complete_ = false;
        mode_ = Mode::kRecord;
    }
}

void MemberPlaces::End(const Json::Value& document) {
    if (mode_ == Mode::kRecord) complete_ = true;
    root_members_ = document.size();
    mode_ = Mode::kLookup;
}

Json::Value& MemberPlaces::Member(Json::Value& container, const Key& key) {
    if (mode_ == Mode::kReplay) {
        // The tables are constant, so a replay meets exactly the remembered places;
        // should it ever run past them, the rest is found by key.
        if (next_ < places_.size()) return *places_[next_++];
        mode_ = Mode::kLookup;
        complete_ = false;
    }
    Json::Value& member = Find(container, key);
    if (mode_ == Mode::kRecord) places_.push_back(&member);
    return member;
}

Json::Value& MemberPlaces::Find(Json::Value& container, const Key& key) {
    if (!container.isObject()) container = Json::Value(Json::objectValue);
    if (key.number == nullptr) return container[key.pattern];
    return container[PatternKey(key.pattern, key.number).c_str()];
}

namespace {

void SetText(Json::Value& member, const char* text) {
    const char* begin = nullptr;
    const char* end = nullptr;
    if (member.isString() && member.getString(&begin, &end)) {
        const size_t length = std::strlen(text);
        if (static_cast<size_t>(end - begin) == length && std::memcmp(begin, text, length) == 0)
            return;
    }
    member = text;
}

}  // namespace

Container Object(Container container, const Key& key) {
    if (container.text != nullptr) {
        container.text->Skip();  // the text's containers are fixed punctuation
        return container;
    }
    Json::Value& member = container.places.Member(container.value, key);
    if (!member.isObject()) member = Json::Value(Json::objectValue);
    return Container{member, container.places, nullptr};
}

void put_text(Container container, const Key& key, const char* text) {
    if (container.text != nullptr) return container.text->TableText(text);
    SetText(container.places.Member(container.value, key), text);
}

void put_formatted_text(Container container, const Key& key, const char* text) {
    if (container.text != nullptr) return container.text->FormattedText(text);
    SetText(container.places.Member(container.value, key), text);
}

namespace {

void PutReal(Container container, const Key& key, double value) {
    if (container.text != nullptr) return container.text->Number(value);
    container.places.Member(container.value, key) = value;
}

}  // namespace

void put_number(Container container, const Key& key, uint16_t raw, uint16_t divisor) {
    float value = static_cast<float>(raw);
    if (divisor != 0) value = value / static_cast<float>(divisor);
    PutReal(container, key, static_cast<double>(value));
}

void put_signed_number(Container container, const Key& key, int16_t raw) {
    PutReal(container, key, static_cast<double>(static_cast<float>(raw)));
}

void put_alarm(Container container, const Key& key, bool flag) {
    put_alarm(container, Object(container, kAlertArrayKey), key, flag);
}

void put_alarm(Container container, Container alerts, const Key& key, bool flag) {
    if (container.text != nullptr) {  // kAlarmWrites
        container.text->TableText(flag ? kAlarmText : kNormalText);
        return container.text->Flag(flag);
    }
    // Both members share the key: format it once when it has to be looked up.
    if (key.number != nullptr && !container.places.replaying()) {
        const PatternKey text(key.pattern, key.number);
        put_alarm(container, alerts, Key(text.c_str()), flag);
        return;
    }
    SetText(container.places.Member(container.value, key), flag ? kAlarmText : kNormalText);
    alerts.places.Member(alerts.value, key) = flag;
}

void pass(Container container, size_t writes) {
    if (container.text == nullptr) throw std::logic_error("only a text passes over values");
    container.text->Pass(writes);
}

void state_text(Container container, const Key& key, unsigned value, const char* const* texts,
                size_t count, const char* fallback) {
    put_text(container, key, value < count ? texts[value] : fallback);
}

PatternKey::PatternKey(const char* pattern, const char* number) {
    const int length = std::snprintf(short_, sizeof short_, pattern, number);
    if (length >= static_cast<int>(sizeof short_)) {
        long_.resize(static_cast<size_t>(length) + 1);
        std::snprintf(&long_[0], long_.size(), pattern, number);
        long_.resize(static_cast<size_t>(length));
    } else if (length < 0) {
        short_[0] = '\0';
    }
}

}  // namespace render
}  // namespace novex

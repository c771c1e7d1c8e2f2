#include "render/document_text.h"

#include <cstring>
#include <stdexcept>

#include <json/writer.h>

namespace novex {
namespace render {

TextTemplate::TextTemplate(const std::function<void(Container)>& render) {
    Json::Value tree(Json::objectValue);
    MemberPlaces places;
    places.Begin(tree, true);  // a new MemberPlaces records every write
    render(Container{tree, places, nullptr});
    places.End(tree);

    std::unordered_map<const Json::Value*, uint32_t> slot_of_member;
    AppendObject(tree, slot_of_member);
    fixed_ += '\n';
    longest_text_ += fixed_.size();

    // A member written more than once shows the last write: walk the writes backwards
    // and let each slot take the first one it meets.
    const std::vector<Json::Value*>& written = places.written();
    slot_of_write_.assign(written.size(), kNoSlot);
    std::vector<bool> taken(slot_at_.size(), false);
    for (size_t w = written.size(); w-- > 0;) {
        const auto found = slot_of_member.find(written[w]);
        if (found == slot_of_member.end() || taken[found->second]) continue;
        taken[found->second] = true;
        slot_of_write_[w] = found->second;
    }
    for (bool t : taken)
        if (!t) throw std::logic_error("a value of the status document is never written");
}

// The members in the writer's order (its map order), each key quoted by the writer.
void TextTemplate::AppendObject(const Json::Value& object,
                                std::unordered_map<const Json::Value*, uint32_t>& slot_of_member) {
    fixed_ += '{';
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it != object.begin()) fixed_ += ',';
        fixed_ += Json::valueToQuotedString(it.name().c_str());
        fixed_ += ':';
        if (it->isObject()) {
            AppendObject(*it, slot_of_member);
            continue;
        }
        slot_of_member.emplace(&*it, static_cast<uint32_t>(slot_at_.size()));
        slot_at_.push_back(static_cast<uint32_t>(fixed_.size()));
        longest_text_ += it->isString() ? kLongestText
                         : it->isBool() ? kLongestFlag
                                        : kLongestNumber;
    }
    fixed_ += '}';
}

void TextSlots::Begin(const TextTemplate& layout) {
    if (layout_ != &layout) {
        slots_.assign(layout.slot_count(), Slot());
        text_.reserve(layout.longest_text());
        layout_ = &layout;
        every_slot_ = true;
    }
    next_write_ = 0;
}

TextSlots::Slot* TextSlots::Next() {
    if (layout_ == nullptr || next_write_ >= layout_->slot_of_write_.size())
        throw std::logic_error("the status document has more values than its template");
    const uint32_t slot = layout_->slot_of_write_[next_write_++];
    return slot == TextTemplate::kNoSlot ? nullptr : &slots_[slot];
}

void TextSlots::Skip() { Next(); }

void TextSlots::TableText(const char* text) {
    Slot* slot = Next();
    const uint64_t source = reinterpret_cast<uintptr_t>(text);
    if (slot == nullptr || (!every_slot_ && slot->source == source)) return;
    Show(*slot, Json::valueToQuotedString(text));
    slot->source = source;
}

void TextSlots::FormattedText(const char* text) {
    Slot* slot = Next();
    if (slot == nullptr) return;
    const std::string quoted = Json::valueToQuotedString(text);
    if (!every_slot_ && slot->text == slot->own && slot->length == quoted.size() &&
        std::memcmp(slot->own, quoted.data(), quoted.size()) == 0)
        return;
    Show(*slot, quoted);
}

void TextSlots::Number(double value) {
    Slot* slot = Next();
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (slot == nullptr || (!every_slot_ && slot->source == bits)) return;
    Show(*slot, Json::valueToString(value));
    slot->source = bits;
}

void TextSlots::Flag(bool value) {
    Slot* slot = Next();
    if (slot == nullptr || (!every_slot_ && slot->source == static_cast<uint64_t>(value))) return;
    slot->text = value ? "true" : "false";
    slot->length = value ? 4 : 5;
    slot->source = static_cast<uint64_t>(value);
    changed_ = true;
}

void TextSlots::Show(Slot& slot, const std::string& text) {
    if (text.size() > sizeof slot.own) throw std::length_error("value text longer than its slot");
    std::memcpy(slot.own, text.data(), text.size());
    slot.text = slot.own;
    slot.length = static_cast<uint16_t>(text.size());
    changed_ = true;
}

void TextSlots::End() {
    if (layout_ == nullptr || next_write_ != layout_->slot_of_write_.size())
        throw std::logic_error("the status document has fewer values than its template");
    every_slot_ = false;
    if (changed_) Join();
    changed_ = false;
}

// Into the room reserved for the longest text, so the text never moves.
void TextSlots::Join() {
    const std::string& fixed = layout_->fixed_;
    text_.clear();
    size_t from = 0;
    for (size_t i = 0; i < slots_.size(); ++i) {
        const size_t at = layout_->slot_at_[i];
        text_.append(fixed, from, at - from);
        text_.append(slots_[i].text, slots_[i].length);
        from = at;
    }
    text_.append(fixed, from, std::string::npos);
}

}  // namespace render
}  // namespace novex

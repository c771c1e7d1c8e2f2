#include "render/document_text.h"

#include <algorithm>
#include <cstddef>
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

namespace {

// A rebuild that changed more than one slot in this many joins the whole text: past
// that, a join costs less than a splice.
constexpr size_t kSpliceShare = 4;

}  // namespace

void TextSlots::Begin(const TextTemplate& layout) {
    if (layout_ != &layout) {
        slots_.assign(layout.slot_count(), Slot());
        at_.assign(layout.slot_count(), 0);
        changes_.clear();
        changes_.reserve(layout.slot_count() / kSpliceShare + 1);
        text_.reserve(layout.longest_text());
        layout_ = &layout;
        every_slot_ = true;
        join_ = true;
    }
    // Changes left by a rebuild cut short were never spliced, and a slot may change
    // again from a text the kept one does not show: the whole text is joined.
    if (!changes_.empty()) join_ = true;
    changes_.clear();
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
    const std::string quoted = Json::valueToQuotedString(text);
    Show(*slot, quoted.data(), quoted.size());
    slot->source = source;
}

void TextSlots::FormattedText(const char* text) {
    Slot* slot = Next();
    if (slot == nullptr) return;
    const std::string quoted = Json::valueToQuotedString(text);
    if (!every_slot_ && slot->length == quoted.size() &&
        std::memcmp(slot->own, quoted.data(), quoted.size()) == 0)
        return;
    Show(*slot, quoted.data(), quoted.size());
}

void TextSlots::Number(double value) {
    Slot* slot = Next();
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (slot == nullptr || (!every_slot_ && slot->source == bits)) return;
    const std::string text = Json::valueToString(value);
    Show(*slot, text.data(), text.size());
    slot->source = bits;
}

void TextSlots::Flag(bool value) {
    Slot* slot = Next();
    if (slot == nullptr || (!every_slot_ && slot->source == static_cast<uint64_t>(value))) return;
    Show(*slot, value ? "true" : "false", value ? 4 : 5);
    slot->source = static_cast<uint64_t>(value);
}

void TextSlots::Show(Slot& slot, const char* text, size_t length) {
    if (length > sizeof slot.own) throw std::length_error("value text longer than its slot");
    if (!join_) {
        if (changes_.size() == changes_.capacity())
            join_ = true;  // never grows: a change noted never allocates
        else
            changes_.push_back({static_cast<uint32_t>(&slot - slots_.data()), slot.length});
    }
    std::memcpy(slot.own, text, length);
    slot.length = static_cast<uint16_t>(length);
}

void TextSlots::End() {
    if (layout_ == nullptr || next_write_ != layout_->slot_of_write_.size())
        throw std::logic_error("the status document has fewer values than its template");
    every_slot_ = false;
    if (join_)
        Join();
    else if (!changes_.empty())
        Splice();
    join_ = false;
    changes_.clear();
}

// Into the room reserved for the longest text, so the text never moves.
void TextSlots::Join() {
    const std::string& fixed = layout_->fixed_;
    text_.clear();
    size_t from = 0;
    for (size_t i = 0; i < slots_.size(); ++i) {
        const size_t at = layout_->slot_at_[i];
        text_.append(fixed, from, at - from);
        at_[i] = static_cast<uint32_t>(text_.size());
        text_.append(slots_[i].own, slots_[i].length);
        from = at;
    }
    text_.append(fixed, from, std::string::npos);
}

// The changed slots into the kept text. The piece of text after a changed slot (up to
// the next changed one) moves by what the changed slots up to it grew in sum. The
// pieces that move left go first, left to right, then those that move right, right to
// left: no piece lands on text not yet moved, since a piece moving left lands right of
// where any earlier piece moving right begins, and the other way round.
void TextSlots::Splice() {
    std::sort(changes_.begin(), changes_.end(),
              [](const Change& a, const Change& b) { return a.slot < b.slot; });
    const size_t count = changes_.size();
    const auto growth = [this](const Change& c) {
        return static_cast<ptrdiff_t>(slots_[c.slot].length) - static_cast<ptrdiff_t>(c.shown);
    };
    const size_t old_size = text_.size();
    ptrdiff_t grown = 0;
    for (const Change& c : changes_) grown += growth(c);
    if (grown > 0) text_.resize(old_size + static_cast<size_t>(grown));  // within its room
    char* text = &text_[0];
    // Where piece k (after changed slot k) begins now, and how long it is.
    const auto piece = [&](size_t k, size_t& length) {
        const size_t from = at_[changes_[k].slot] + changes_[k].shown;
        length = (k + 1 < count ? at_[changes_[k + 1].slot] : old_size) - from;
        return from;
    };
    ptrdiff_t shift = 0;
    for (size_t k = 0; k < count; ++k) {
        shift += growth(changes_[k]);
        size_t length;
        const size_t from = piece(k, length);
        if (shift < 0 && length > 0) std::memmove(text + from + shift, text + from, length);
    }
    for (size_t k = count; k-- > 0;) {
        size_t length;
        const size_t from = piece(k, length);
        if (shift > 0 && length > 0) std::memmove(text + from + shift, text + from, length);
        shift -= growth(changes_[k]);
    }
    // The slots' texts, and every position after the first slot that changed its length.
    for (size_t k = 0; k < count; ++k) {
        const Slot& slot = slots_[changes_[k].slot];
        uint32_t& at = at_[changes_[k].slot];
        at = static_cast<uint32_t>(static_cast<ptrdiff_t>(at) + shift);
        std::memcpy(text + at, slot.own, slot.length);
        shift += growth(changes_[k]);
        if (shift == 0) continue;
        const size_t end = k + 1 < count ? changes_[k + 1].slot : at_.size();
        for (size_t i = changes_[k].slot + 1; i < end; ++i)
            at_[i] = static_cast<uint32_t>(static_cast<ptrdiff_t>(at_[i]) + shift);
    }
    if (grown < 0) text_.resize(static_cast<size_t>(static_cast<ptrdiff_t>(old_size) + grown));
}

}  // namespace render
}  // namespace novex

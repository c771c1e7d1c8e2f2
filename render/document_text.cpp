#include "render/document_text.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include <json/writer.h>

#include "render/number_text.h"

namespace novex {
namespace render {

TextTemplate::TextTemplate(const std::function<void(Container)>& render)
    : quoted_(new QuotedText[size_t{1} << kQuotedBits]) {
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
    spares_.push_back(std::make_unique<char[]>(room()));
}

std::unique_ptr<char[]> TextTemplate::TakeSpare() const {
    {
        MutexLock lock(spare_mutex_);
        if (!spares_.empty()) {
            std::unique_ptr<char[]> spare = std::move(spares_.back());
            spares_.pop_back();
            return spare;
        }
    }
    return std::make_unique<char[]>(room());
}

void TextTemplate::GiveSpare(std::unique_ptr<char[]> spare) const {
    MutexLock lock(spare_mutex_);
    spares_.push_back(std::move(spare));
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

bool TextSlots::Begin(const TextTemplate& layout) {
    may_pass_ = layout_ == &layout && completed_ && !every_slot_;
    completed_ = false;
    if (layout_ != &layout) {
        slots_.assign(layout.slot_count(), Slot());
        at_.assign(layout.slot_count(), 0);
        changed_.assign((layout.slot_count() + 63) / 64, 0);
        change_count_ = 0;
        splice_limit_ = layout.slot_count() / kSpliceShare + 1;
        text_ = std::make_unique<char[]>(layout.room());
        size_ = 0;
        layout_ = &layout;
        every_slot_ = true;
        join_ = true;
    }
    // Changes left by a rebuild cut short were never spliced, and a slot may change
    // again from a text the kept one does not show: the whole text is joined.
    if (change_count_ != 0) join_ = true;
    ClearChanges();
    next_write_ = 0;
    return may_pass_;
}

inline TextSlots::Slot* TextSlots::Next() {
    if (layout_ == nullptr || next_write_ >= layout_->slot_of_write_.size())
        throw std::logic_error("the status document has more values than its template");
    const uint32_t slot = layout_->slot_of_write_[next_write_++];
    return slot == TextTemplate::kNoSlot ? nullptr : &slots_[slot];
}

void TextSlots::Skip() { Next(); }

void TextSlots::Pass(size_t writes) {
    if (!may_pass_) throw std::logic_error("values passed over in a rebuild that shows none yet");
    if (layout_ == nullptr || writes > layout_->slot_of_write_.size() - next_write_)
        throw std::logic_error("the status document has more values than its template");
    next_write_ += writes;
}

const TextTemplate::QuotedText* TextTemplate::Quoted(const char* text) const {
    const uintptr_t address = reinterpret_cast<uintptr_t>(text);
    const uint32_t hash = static_cast<uint32_t>(address) * 2654435761u;  // Fibonacci hashing
    QuotedText& entry = quoted_[hash >> (32 - kQuotedBits)];
    uintptr_t source = entry.source.load(std::memory_order_acquire);
    if (source == address) return &entry;
    if (source != kFree) return nullptr;
    const std::string made = Json::valueToQuotedString(text);
    if (made.size() > sizeof entry.text) return nullptr;  // fails the rebuild
    if (!entry.source.compare_exchange_strong(source, kFilling, std::memory_order_acquire))
        return nullptr;  // taken meanwhile
    std::memcpy(entry.text, made.data(), made.size());
    entry.length = static_cast<uint8_t>(made.size());
    entry.source.store(address, std::memory_order_release);
    return &entry;
}

void TextSlots::TableText(const char* text) {
    Slot* slot = Next();
    const uint64_t source = reinterpret_cast<uintptr_t>(text);
    if (slot == nullptr || (!every_slot_ && slot->source == source)) return;
    if (const TextTemplate::QuotedText* quoted = layout_->Quoted(text)) {
        Show(*slot, quoted->text, quoted->length);
    } else {
        const std::string made = Json::valueToQuotedString(text);
        Show(*slot, made.data(), made.size());
    }
    slot->source = source;
}

void TextSlots::FormattedText(const char* text) {
    Slot* slot = Next();
    if (slot == nullptr) return;
    // Printable ASCII but the quote and the backslash the writer quotes as it is, so it
    // is quoted here; anything else by the writer.
    char plain[sizeof slot->own];
    size_t length = 0;  // of the quoted text in `plain`; 0: the writer quotes it
    for (size_t n = 0;; ++n) {
        const char c = text[n];
        if (c == '\0') {
            plain[0] = plain[n + 1] = '"';
            length = n + 2;
            break;
        }
        if (n + 2 >= sizeof plain || c < 0x20 || c > 0x7e || c == '"' || c == '\\') break;
        plain[n + 1] = c;
    }
    std::string quoted;
    if (length == 0) quoted = Json::valueToQuotedString(text);
    const char* shown = length > 0 ? plain : quoted.data();
    if (length == 0) length = quoted.size();
    if (!every_slot_ && slot->length == length && std::memcmp(slot->own, shown, length) == 0)
        return;
    Show(*slot, shown, length);
}

void TextSlots::Number(double value) {
    Slot* slot = Next();
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (slot == nullptr || (!every_slot_ && slot->source == bits)) return;
    char text[kRealTextRoom];
    Show(*slot, text, RealText(value, text));
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
        const size_t index = static_cast<size_t>(&slot - slots_.data());
        uint64_t& word = changed_[index / 64];
        const uint64_t bit = uint64_t{1} << (index % 64);
        if ((word & bit) == 0) {
            if (change_count_ == splice_limit_) {
                join_ = true;  // past a splice's worth
            } else {
                word |= bit;
                ++change_count_;
            }
        }
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
    else if (change_count_ != 0)
        Splice();
    join_ = false;
    ClearChanges();
    completed_ = true;
}

void TextSlots::ClearChanges() {
    std::fill(changed_.begin(), changed_.end(), 0);
    change_count_ = 0;
}

// A slot's text is copied whole (the text's room allows it): a copy of one size is a
// few moves, where one of its own length costs a call and a guess at the length.
// What it writes past the slot's length is overwritten by the text that follows.
inline char* PutSlotText(char* to, const char (&own)[TextTemplate::kLongestText], size_t length) {
    std::memcpy(to, own, sizeof own);
    return to + length;
}

void TextSlots::Join() {
    const std::string& fixed = layout_->fixed_;
    char* const text = text_.get();
    char* to = text;
    size_t from = 0;
    for (size_t i = 0; i < slots_.size(); ++i) {
        const size_t at = layout_->slot_at_[i];
        std::memcpy(to, fixed.data() + from, at - from);
        to += at - from;
        at_[i] = static_cast<uint32_t>(to - text);
        to = PutSlotText(to, slots_[i].own, slots_[i].length);
        from = at;
    }
    std::memcpy(to, fixed.data() + from, fixed.size() - from);
    size_ = static_cast<size_t>(to - text) + fixed.size() - from;
}

// Where the text slot `i` shows in the kept text ends: at the next slot's text, less
// the fixed text between them.
inline size_t TextSlots::ShownEnd(size_t i) const {
    const std::vector<uint32_t>& slot_at = layout_->slot_at_;
    return i + 1 < at_.size() ? at_[i + 1] - (slot_at[i + 1] - slot_at[i])
                              : size_ - (layout_->fixed_.size() - slot_at[i]);
}

// When no changed slot's text changed its length, each is written over the one it
// shows, and nothing moves (a round in which little changed, often). Otherwise the kept
// text goes into a spare room, with each changed slot's text in place of the one it
// showed. The text between two changed slots is copied as one piece; the positions
// of the slots after a changed one, up to the next, move by what the changed slots so
// far grew. The spare becomes the kept text and the old room the next spare.
void TextSlots::Splice() {
    const bool same_lengths = ForEachChange(
        [&](size_t i) { return ShownEnd(i) - at_[i] == slots_[i].length; });
    if (same_lengths) {
        ForEachChange([&](size_t i) {
            std::memcpy(text_.get() + at_[i], slots_[i].own, slots_[i].length);
            return true;
        });
        return;
    }
    std::unique_ptr<char[]> spare = layout_->TakeSpare();
    const char* const from = text_.get();
    char* const text = spare.get();
    char* to = text;
    size_t read = 0;     // in the kept text: what is copied
    uint32_t moved = 0;  // what the changed slots so far grew, modulo 2^32
    uint32_t* place = at_.data();
    // Eight at a time, a loop the compiler makes vector instructions of.
    const auto move_places = [&](uint32_t* end) {
        if (moved != 0) {
            for (; end - place >= 8; place += 8)
                for (int i = 0; i < 8; ++i) place[i] += moved;
            for (; place < end; ++place) *place += moved;
        }
        place = end;
    };
    ForEachChange([&](size_t i) {
        const size_t at = at_[i];
        const size_t end = ShownEnd(i);
        std::memcpy(to, from + read, at - read);
        to += at - read;
        move_places(at_.data() + i + 1);
        to = PutSlotText(to, slots_[i].own, slots_[i].length);
        read = end;
        moved = static_cast<uint32_t>(static_cast<size_t>(to - text) - read);
        return true;
    });
    std::memcpy(to, from + read, size_ - read);
    move_places(at_.data() + at_.size());
    size_ = static_cast<size_t>(to - text) + size_ - read;
    text_.swap(spare);
    layout_->GiveSpare(std::move(spare));
}

}  // namespace render
}  // namespace novex

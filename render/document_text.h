// The compact text of the status document, rendered without a tree.
//
// Every document has the same members in the same order, so its text is a fixed
// template of keys and punctuation with one slot per value. The template is derived
// once from a tree that the section renderers write, so the section tables stay the
// one description of the document; the writer's own quoting gives the keys. A rebuild
// then runs the same renderers against the slots: each value goes to its slot, a slot
// is formatted again only when its value differs from the one it shows, and only the
// slots that changed are written into the text. A renderer that knows the part of the
// record it reads unchanged since the last rebuild passes over its values without
// looking at them. The result is byte for byte what Json::FastWriter writes for the
// tree.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <json/value.h>

#include "core/thread_annotations.h"
#include "render/document_rules.h"

namespace novex {
namespace render {

// The fixed part of the document's text and where the values go.
class TextTemplate {
public:
    // `render` writes a whole document into the container it is given; it is called
    // once, on a tree. Throws std::logic_error if some member is never written.
    explicit TextTemplate(const std::function<void(Container)>& render);

    size_t slot_count() const { return slot_at_.size(); }
    size_t write_count() const { return slot_of_write_.size(); }
    // The longest text any values can make.
    size_t longest_text() const { return longest_text_; }

    // Longest JSON text of a value: a number (a double in 17 significant digits,
    // sign and exponent included), a text (a table text quoted: 7 characters of 6
    // bytes each and the quotes), a flag.
    static constexpr size_t kLongestNumber = 24;
    static constexpr size_t kLongestText = 46;
    static constexpr size_t kLongestFlag = 5;

private:
    friend class TextSlots;
    static constexpr uint32_t kNoSlot = UINT32_MAX;

    // Table texts as the writer quotes them, for every device the template serves. A
    // text's address picks an entry, which the first text to come takes for good; a
    // text whose entry another holds is quoted each time. Room for them all is made
    // with the template, so quoting never allocates after.
    struct QuotedText {
        static_assert(kLongestText < 256, "a length in a byte");
        std::atomic<uintptr_t> source{0};  // kFree, kFilling or the text's address
        uint8_t length = 0;
        char text[kLongestText];
    };
    static constexpr uintptr_t kFree = 0, kFilling = 1;
    static constexpr unsigned kQuotedBits = 9;
    // The quoted `text`, or nullptr when its entry is another text's.
    const QuotedText* Quoted(const char* text) const;

    // A text's room: the longest text, and past it a whole slot, as a slot's text is
    // copied whole wherever the text after it is written next.
    size_t room() const { return longest_text_ + kLongestText; }
    // Rooms for splices, shared by the devices: a splice writes its text into a spare
    // room and gives back the room of the text it kept, so a device holds one text.
    // One is made with the template; more only while several splice at once.
    std::unique_ptr<char[]> TakeSpare() const;
    void GiveSpare(std::unique_ptr<char[]> spare) const;

    void AppendObject(const Json::Value& object,
                      std::unordered_map<const Json::Value*, uint32_t>& slot_of_member);

    std::string fixed_;                    // the text without its values
    std::vector<uint32_t> slot_at_;        // where in fixed_ value i goes
    std::vector<uint32_t> slot_of_write_;  // per write of a rebuild: its slot, or kNoSlot
                                           // (a container, or a member written again later)
    size_t longest_text_ = 0;
    std::unique_ptr<QuotedText[]> quoted_;
    mutable Mutex spare_mutex_;
    mutable std::vector<std::unique_ptr<char[]>> spares_ GUARDED_BY(spare_mutex_);
};

// One device's values and text. Not thread-safe: the device's document lock guards it.
// A rebuild that throws leaves every slot showing either its old or its new value and
// the text to be joined again, so the next rebuild completes it. A value whose text
// is longer than its slot (none of the tables' values) fails the rebuild.
//
// A rebuild in which few slots changed splices them into a copy of the text it keeps:
// the text between them is copied as it is, and the positions of the slots after a
// changed one move by what the changed slots up to it grew or shrank. One in which
// many changed joins the whole text again from the template.
class TextSlots {
public:
    // Starts a rebuild. The first rebuild against a template formats every slot.
    // Returns true when the slots show the values of the last rebuild, which completed:
    // this one may then pass over the values it knows unchanged since (Pass).
    bool Begin(const TextTemplate& layout);
    // The writes of a rebuild, in the order the renderers make them.
    void Skip();
    // Passes over `writes` writes whose values are those of the last rebuild; only
    // after a Begin that returned true.
    void Pass(size_t writes);
    size_t writes() const { return next_write_; }  // made so far in this rebuild
    void TableText(const char* text);  // text: a table constant, compared by address
    void FormattedText(const char* text);
    void Number(double value);
    void Flag(bool value);
    // Ends a rebuild that made every write; splices or joins the text if a slot changed.
    void End();

    // The text as of the last completed rebuild.
    std::string_view text() const { return std::string_view(text_.get(), size_); }

private:
    struct Slot {
        uint64_t source = 0;  // what it shows: a number's bits, a flag, a text's address
        uint16_t length = 0;  // of its JSON text in `own`
        char own[TextTemplate::kLongestText];
    };
    Slot* Next();
    // Takes `length` bytes of `text` into the slot, noting the change.
    void Show(Slot& slot, const char* text, size_t length);
    void ClearChanges();
    size_t ShownEnd(size_t slot) const;
    // Calls `f(slot)` for each changed slot in the order of the text while it returns
    // true; returns whether it always did.
    template <typename F>
    bool ForEachChange(F f) const {
        for (size_t w = 0; w < changed_.size(); ++w)
            for (uint64_t bits = changed_[w]; bits != 0; bits &= bits - 1)
                if (!f(w * 64 + static_cast<size_t>(__builtin_ctzll(bits)))) return false;
        return true;
    }
    void Join();
    void Splice();

    const TextTemplate* layout_ = nullptr;
    std::vector<Slot> slots_;
    std::vector<uint32_t> at_;       // where in `text_` each slot's text begins
    std::vector<uint64_t> changed_;  // a bit per slot changed in this rebuild
    size_t change_count_ = 0;        // bits set; at most a splice's worth, more: join
    size_t splice_limit_ = 0;        // a splice's worth
    size_t next_write_ = 0;
    bool every_slot_ = true;  // format every slot, whatever it shows
    bool join_ = true;        // join the whole text at the end of the rebuild
    bool completed_ = false;  // the last rebuild made every write and joined or spliced
    bool may_pass_ = false;   // what Begin returned
    std::unique_ptr<char[]> text_;  // the template's room()
    size_t size_ = 0;
};

}  // namespace render
}  // namespace novex

// The words of a protocol line. A request is words separated by spaces or tabs; a word
// holding spaces is written in double quotes, and inside or outside quotes a backslash
// takes the next character as it is (\" and \\). Answers are written the same way, so
// a value that holds a quote or a backslash reaches the client intact.
#pragma once

#include <string>
#include <vector>

namespace novex {
namespace protocol {

// Splits `line` (without its line end) into words. False, with `words` unspecified,
// for an unterminated quote or a backslash at the end of the line.
bool SplitWords(const std::string& line, std::vector<std::string>& words);

// `text` in double quotes, with quotes and backslashes escaped and control characters
// shown as "?": always used for values.
std::string Quoted(const std::string& text);
// `text` as one word: as it is when it needs no quoting, else Quoted(text). Used for
// names (UPS names come from the configuration and are expected to be single words).
std::string Word(const std::string& text);

}  // namespace protocol
}  // namespace novex

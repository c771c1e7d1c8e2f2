#include "protocol/words.h"

namespace novex {
namespace protocol {

bool SplitWords(const std::string& line, std::vector<std::string>& words) {
    words.clear();
    std::string word;
    bool in_word = false;  // a word has begun (an empty "" is a word too)
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\') {
            if (++i == line.size()) return false;
            word += line[i];
            in_word = true;
        } else if (c == '"') {
            quoted = !quoted;
            in_word = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (in_word) words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (quoted) return false;
    if (in_word) words.push_back(word);
    return true;
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        // A control character (ESC, NUL, a line end) would reach the client's terminal
        // or end the answer line: none leaves the server.
        const unsigned char byte = static_cast<unsigned char>(c);
        out += byte < 0x20 || byte == 0x7f ? '?' : c;
    }
    return out + "\"";
}

std::string Word(const std::string& text) {
    if (text.empty() || text.find_first_of(" \t\"\\") != std::string::npos) return Quoted(text);
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return Quoted(text);
    return text;
}

}  // namespace protocol
}  // namespace novex

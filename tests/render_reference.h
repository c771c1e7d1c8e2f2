// A second, deliberately plain rendering of the status document, written apart from
// the device's renderers (its own tables, its own tree, its own writer), against
// which the device's document is checked and from which the expected documents under
// tests/golden/ were generated.
#pragma once

#include <string>

namespace reference {

// The status document for one 853-byte record, as JSON text: one member per line,
// members in ascending byte order of their keys, texts as UTF-8, every number with a
// decimal point.
std::string Document(const unsigned char* record);

}  // namespace reference

#pragma once
// Numbers read from the makers' texts.

#include <string>

namespace imagemeta {

// The text as one decimal number, white space around it and a leading sign
// allowed (" +45.2 "). False when the whole text is not such a number ("45abc",
// "4,5", "0x2D", "45.0.0", "inf", "nan"), or when it is out of the double range.
bool readNumberText(const std::string& text, double& value);

// "a/b" as a divided by b (split at the first "/"), else the text's number.
// False when a side is not a number ("1/4/2", "3/abc") or the result is not
// finite (b = 0).
bool readFraction(const std::string& text, double& value);

}  // namespace imagemeta

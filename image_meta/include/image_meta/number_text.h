#pragma once
// Numbers read from the makers' texts.

#include <string>

namespace imagemeta {

// The longest numeric prefix after leading white space, as the standard
// string-to-double conversion reads it. False when there is no number, when
// it is out of the double range, or when it is not finite ("inf", "nan").
bool readNumberText(const std::string& text, double& value);

// "a/b" as a divided by b (split at the first "/"), else the text's number.
// False when a side holds no number or the result is not finite (b = 0).
bool readFraction(const std::string& text, double& value);

}  // namespace imagemeta

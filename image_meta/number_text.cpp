#include "image_meta/number_text.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace imagemeta {

bool readNumberText(const std::string& text, double& value) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    if (begin == end) return false;
    // Only digits, signs, points and exponents: no hex, "inf", "nan" or commas.
    const std::string number = text.substr(begin, end - begin);
    if (number.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
    char* stop = nullptr;
    errno = 0;
    const double v = std::strtod(number.c_str(), &stop);
    if (stop != number.c_str() + number.size() || errno == ERANGE || !std::isfinite(v)) return false;
    value = v;
    return true;
}

bool readFraction(const std::string& text, double& value) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return readNumberText(text, value);
    double numerator = 0;
    double denominator = 0;
    if (!readNumberText(text.substr(0, slash), numerator) || !readNumberText(text.substr(slash + 1), denominator)) {
        return false;
    }
    const double v = numerator / denominator;
    if (!std::isfinite(v)) return false;
    value = v;
    return true;
}

}  // namespace imagemeta

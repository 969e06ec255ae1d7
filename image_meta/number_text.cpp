#include "image_meta/number_text.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace imagemeta {

bool readNumberText(const std::string& text, double& value) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(begin, &end);
    if (end == begin || errno == ERANGE || !std::isfinite(v)) return false;
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

#include "zel_text/exit_with_error.h"

#include <cstdlib>
#include <iostream>

namespace zel::text {

std::string compactJson(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void exitWithError(int status, const nlohmann::json& error) {
    std::cout.flush();
    std::cerr << compactJson(error) << '\n';
    std::cerr.flush();
    std::exit(status);
}

}  // namespace zel::text

#include "mrcp_status_response.h"

#include <sstream>
#include <vector>

namespace vantor {

std::string MrcpStatusResponse(uint32_t request_id, int status,
                               const std::string &channel_identifier) {
    std::string rest =
        " " + std::to_string(request_id) + " " + std::to_string(status) + " COMPLETE\r\n";
    if (!channel_identifier.empty()) rest += "Channel-Identifier:" + channel_identifier + "\r\n";
    rest += "\r\n";
    // The length counts its own digits: grow it until it holds.
    size_t length = rest.size() + 9;
    for (;;) {
        std::string text = "MRCP/2.0 " + std::to_string(length) + rest;
        if (text.size() == length) return text;
        length = text.size();
    }
}

bool ReadRequestLine(const std::string &text, uint32_t *request_id, std::string *method) {
    size_t end = text.find_first_of("\r\n");
    std::istringstream line(text.substr(0, end == std::string::npos ? 256 : end));
    std::vector<std::string> tokens;
    std::string token;
    while (line >> token) tokens.push_back(token);
    if (tokens.size() != 4 || tokens[0].compare(0, 5, "MRCP/") != 0) return false;
    const std::string &id = tokens[3];
    if (id.empty() || id.size() > 10 || id.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long long value = std::stoull(id);
    if (value > UINT32_MAX) return false;
    *request_id = static_cast<uint32_t>(value);
    *method = tokens[2];
    return true;
}

}  // namespace vantor

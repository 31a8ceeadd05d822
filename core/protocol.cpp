#include "core/protocol.hpp"

#include "core/json.hpp"
#include "core/utf8.hpp"

namespace core {

std::optional<Request> decodeRequest(std::string_view line, boost::json::storage_ptr sp) {
    std::optional<boost::json::value> v;
    if (validUtf8(line)) {
        v = parseJson(line, sp);
    } else {
        v = parseJson(repairUtf8(line), sp);
    }
    if (!v || !v->is_object()) return std::nullopt;
    auto& obj = v->get_object();
    auto cmd = obj.find("cmd");
    if (cmd == obj.end() || !cmd->value().is_string()) return std::nullopt;
    auto id = obj.find("id");
    return Request{std::string(cmd->value().get_string()),
                   id != obj.end() ? boost::json::value(id->value(), boost::json::storage_ptr())
                                   : boost::json::value(0),
                   std::move(obj)};
}

}  // namespace core

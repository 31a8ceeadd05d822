#include "core/protocol.hpp"

#include "core/json.hpp"
#include "core/utf8.hpp"

namespace core {

std::optional<Request> decodeRequest(std::string_view line) {
    std::optional<boost::json::value> v;
    if (validUtf8(line)) {
        v = parseJson(line);
    } else {
        v = parseJson(repairUtf8(line));
    }
    if (!v || !v->is_object()) return std::nullopt;
    auto& obj = v->get_object();
    auto cmd = obj.find("cmd");
    if (cmd == obj.end() || !cmd->value().is_string()) return std::nullopt;
    Request r;
    r.cmd = std::string(cmd->value().get_string());
    if (auto id = obj.find("id"); id != obj.end()) r.id = id->value();
    else r.id = 0;
    r.args = std::move(obj);
    return r;
}

}  // namespace core

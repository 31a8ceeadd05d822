// GSettings string lists in their text form.
#include "platform/gnome/settings_text.hpp"

namespace platform::gnome {
namespace {

void skipSpace(std::string_view& s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\n' || s.front() == '\t' ||
                          s.front() == '\r'))
        s.remove_prefix(1);
}

}  // namespace

std::optional<std::vector<std::string>> parseStringList(std::string_view s) {
    skipSpace(s);
    if (s.substr(0, 3) == "@as") {
        s.remove_prefix(3);
        skipSpace(s);
    }
    if (s.empty() || s.front() != '[') return std::nullopt;
    s.remove_prefix(1);
    std::vector<std::string> items;
    skipSpace(s);
    if (!s.empty() && s.front() == ']') {
        s.remove_prefix(1);
        skipSpace(s);
        if (!s.empty()) return std::nullopt;
        return items;
    }
    for (;;) {
        skipSpace(s);
        if (s.empty() || (s.front() != '\'' && s.front() != '"')) return std::nullopt;
        char quote = s.front();
        s.remove_prefix(1);
        std::string item;
        for (;;) {
            if (s.empty()) return std::nullopt;
            char c = s.front();
            s.remove_prefix(1);
            if (c == quote) break;
            if (c == '\\') {
                if (s.empty()) return std::nullopt;
                c = s.front();
                s.remove_prefix(1);
            }
            item.push_back(c);
        }
        items.push_back(std::move(item));
        skipSpace(s);
        if (s.empty()) return std::nullopt;
        if (s.front() == ']') {
            s.remove_prefix(1);
            skipSpace(s);
            if (!s.empty()) return std::nullopt;
            return items;
        }
        if (s.front() != ',') return std::nullopt;
        s.remove_prefix(1);
    }
}

std::string formatStringList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        out += '\'';
        for (char c : items[i]) {
            if (c == '\'' || c == '\\') out += '\\';
            out += c;
        }
        out += '\'';
    }
    return out + "]";
}

}  // namespace platform::gnome

// The text form of a GSettings string list, as the gsettings tool reads and
// writes it ("['a', 'b']", "@as []"). Pure functions. Internal to platform/.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::gnome {

// The strings of a list in GVariant text form (single or double quotes,
// backslash escapes, an optional "@as" type prefix); nothing when the text is
// not such a list.
std::optional<std::vector<std::string>> parseStringList(std::string_view text);

// `items` in GVariant text form, each single-quoted with ' and \ escaped.
std::string formatStringList(const std::vector<std::string>& items);

}  // namespace platform::gnome

// Path-extension removal for display names.
#pragma once

#include <string>
#include <string_view>

namespace services {

// `path` without the extension of its last component, by the classic path
// rules: runs of slashes become one and a trailing slash goes ("/" stays);
// the extension is what follows the component's last dot, unless that dot
// starts the component (".hidden") or the component is "..". "a.b.c" gives
// "a.b", "x." gives "x", "Foo 2.0" gives "Foo 2".
std::string deletingPathExtension(std::string_view path);

}  // namespace services

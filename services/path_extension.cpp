#include "services/path_extension.hpp"

namespace services {
namespace {

std::string fixSlashes(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path)
        if (c != '/' || out.empty() || out.back() != '/') out += c;
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

}  // namespace

std::string deletingPathExtension(std::string_view path) {
    std::string fixed = fixSlashes(path);
    if (fixed.size() <= 1) return fixed;
    size_t slash = fixed.find_last_of('/');
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = fixed.find_last_of('.');
    if (dot == std::string::npos || dot < start) return fixed;  // no dot in the last component
    if (dot == start) return fixed;  // ".hidden"
    if (fixed.size() == start + 2 && dot == start + 1 && fixed[start] == '.') return fixed;  // ".."
    fixed.resize(dot);
    return fixed;
}

}  // namespace services

// A basic_parser handler that builds boost::json values like the stock parser,
// but converts non-integral numbers with strtod from their own text, so they
// come out correctly rounded.
#include "core/json.hpp"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace core {
namespace {

namespace json = boost::json;

double exactDouble(std::string_view digits) {
    char shortText[64];
    std::string longText;
    const char* text = shortText;
    if (digits.size() < sizeof shortText) {
        std::memcpy(shortText, digits.data(), digits.size());
        shortText[digits.size()] = 0;
    } else {
        longText.assign(digits);
        text = longText.c_str();
    }
    double d = std::strtod(text, nullptr);
    if (std::isinf(d)) d = std::copysign(DBL_MAX, d);
    return d;
}

struct Handler {
    static constexpr size_t max_object_size = json::object::max_size();
    static constexpr size_t max_array_size = json::array::max_size();
    static constexpr size_t max_key_size = json::string::max_size();
    static constexpr size_t max_string_size = json::string::max_size();

    json::value_stack st;
    std::string number;  // pieces of a number split across buffers

    bool on_document_begin(json::error_code&) { return true; }
    bool on_document_end(json::error_code&) { return true; }
    bool on_object_begin(json::error_code&) { return true; }
    bool on_object_end(size_t n, json::error_code&) {
        st.push_object(n);
        return true;
    }
    bool on_array_begin(json::error_code&) { return true; }
    bool on_array_end(size_t n, json::error_code&) {
        st.push_array(n);
        return true;
    }
    bool on_key_part(json::string_view s, size_t, json::error_code&) {
        st.push_chars(s);
        return true;
    }
    bool on_key(json::string_view s, size_t, json::error_code&) {
        st.push_key(s);
        return true;
    }
    bool on_string_part(json::string_view s, size_t, json::error_code&) {
        st.push_chars(s);
        return true;
    }
    bool on_string(json::string_view s, size_t, json::error_code&) {
        st.push_string(s);
        return true;
    }
    bool on_number_part(json::string_view s, json::error_code&) {
        number.append(s.data(), s.size());
        return true;
    }
    bool on_int64(int64_t i, json::string_view, json::error_code&) {
        number.clear();
        st.push_int64(i);
        return true;
    }
    bool on_uint64(uint64_t u, json::string_view, json::error_code&) {
        number.clear();
        st.push_uint64(u);
        return true;
    }
    bool on_double(double, json::string_view s, json::error_code&) {
        if (number.empty()) {
            st.push_double(exactDouble({s.data(), s.size()}));
        } else {
            number.append(s.data(), s.size());
            st.push_double(exactDouble(number));
            number.clear();
        }
        return true;
    }
    bool on_bool(bool b, json::error_code&) {
        st.push_bool(b);
        return true;
    }
    bool on_null(json::error_code&) {
        st.push_null();
        return true;
    }
    bool on_comment_part(json::string_view, json::error_code&) { return false; }
    bool on_comment(json::string_view, json::error_code&) { return false; }
};

// Boost's reader refuses an exponent past the int range; strtod takes any.
// The copy of `text` in which every exponent of more than nine significant
// digits is nine nines: the same double unless the mantissa has about a
// billion digits. Only runs of digits after an e or E outside strings change,
// and only in length, so valid JSON stays valid and nothing else becomes so.
std::string shortenExponents(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        out.push_back(c);
        if (inString) {
            if (c == '\\' && i + 1 < text.size()) out.push_back(text[++i]);
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') inString = true;
        if (c != 'e' && c != 'E') continue;
        size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) out.push_back(text[j++]);
        size_t from = j;
        while (j < text.size() && text[j] == '0') ++j;
        size_t significant = j;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
        if (j - significant > 9) out.append("999999999");
        else out.append(text.substr(from, j - from));
        i = j - 1;
    }
    return out;
}

json::parse_options strictOptions() {
    json::parse_options opt;
    opt.max_depth = kMaxJsonDepth;
    opt.allow_comments = false;
    opt.allow_trailing_commas = false;
    opt.allow_invalid_utf8 = false;
    return opt;
}

}  // namespace

namespace {

using Parser = json::basic_parser<Handler>;

// Past this many bytes of input the parser's working memory is not kept.
constexpr size_t kKeepParserBelow = size_t(1) << 20;

std::optional<json::value> parseOnce(std::string_view text, const json::storage_ptr& sp,
                                     json::error_code& ec) {
    thread_local std::unique_ptr<Parser> kept;
    std::unique_ptr<Parser> p = std::move(kept);
    if (p) p->reset();
    else p = std::make_unique<Parser>(strictOptions());
    p->handler().number.clear();
    p->handler().st.reset(sp);
    size_t used = p->write_some(false, text.data(), text.size(), ec);
    std::optional<json::value> v;
    if (!ec && used == text.size() && p->done()) v = p->handler().st.release();
    if (text.size() < kKeepParserBelow) kept = std::move(p);
    return v;
}

}  // namespace

std::optional<json::value> parseJson(std::string_view text, json::storage_ptr sp) {
    try {
        json::error_code ec;
        std::optional<json::value> v = parseOnce(text, sp, ec);
        if (!v && ec == json::error::exponent_overflow) v = parseOnce(shortenExponents(text), sp, ec);
        return v;
    } catch (const std::exception&) {  // out of memory on a giant line
        return std::nullopt;
    }
}

}  // namespace core

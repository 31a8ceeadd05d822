// Strict JSON reading for request lines.
#pragma once

#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>

#include <optional>
#include <string_view>

namespace core {

// Deepest nesting a request may use; deeper input is refused, never recursed.
inline constexpr size_t kMaxJsonDepth = 512;

// Parses exactly one JSON text (white space around it allowed) from valid
// UTF-8. Strict RFC 8259: no comments, trailing commas, NaN or leading zeros.
// Integers that fit int64 or uint64 are kept exactly; every other number is
// the correctly rounded double (a magnitude past the double range, however
// long its exponent, becomes the largest finite double of that sign, so it can
// be written back as JSON).
// Returns nothing on any error. The value's memory comes from `sp`; the
// parser's own working memory is kept per thread between calls.
std::optional<boost::json::value> parseJson(std::string_view text,
                                            boost::json::storage_ptr sp = {});

}  // namespace core

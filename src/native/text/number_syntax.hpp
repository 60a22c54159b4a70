// Integer and real conversion of ASCII field text, exactly as int() and float() of
// the text decide, for the forms the fast path is written for. Anything else comes
// back as Unsure and is handed to the interpreter.
#pragma once
#include <cstdint>
#include <string_view>

namespace femap {

enum class Parse : uint8_t {
    Ok,       // converted; the value is exact
    Invalid,  // the host's conversion raises ValueError for this text
    Unsure,   // not decided here (underscores, long digit strings, inf/nan, ...)
};

// int(text) for ASCII text: at most 18 digits, no underscores.
Parse parse_int_ascii(std::string_view text, int64_t& value) noexcept;

// float(text) for ASCII text, also reading one exponent letter D or d as E.
Parse parse_real_ascii(std::string_view text, double& value) noexcept;

}  // namespace femap

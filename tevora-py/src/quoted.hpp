// quoted.hpp: the double-quoted form of a text, as the repr of a refused cell
// shows it.
//
// Unlike Python's own repr of a str, it always uses double quotes, leaves the
// single quote alone and writes every invisible or combining character as
// \u{hex}, so that what a cell really holds can be read off the repr.

#ifndef TEVORA_PY_QUOTED_HPP_
#define TEVORA_PY_QUOTED_HPP_

#include <string>
#include <string_view>

namespace tevora_py {

// Appends `utf8` to `out` between double quotes: NUL, tab, CR, LF, backslash
// and the double quote as \0 \t \r \n \\ \", code points for which
// `escaped_in_repr` holds as \u{hex} in lowercase, everything else as itself.
void append_quoted(std::string& out, std::string_view utf8);

// Whether the repr writes this code point as \u{hex}: Grapheme_Extend, and the
// general categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs, except U+0020 SPACE.
// Generated from the UCD (unicode_table.cpp).
bool escaped_in_repr(char32_t cp) noexcept;

// The Unicode version behind `escaped_in_repr`, e.g. "15.0.0".
extern const std::string_view kUnicodeVersion;

}  // namespace tevora_py

#endif  // TEVORA_PY_QUOTED_HPP_

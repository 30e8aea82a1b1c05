#pragma once

// Texts from outside the program (reader names, paths, a card's answer, KSCard.ini's lines) made
// safe for where they go: a terminal line, the journal, JSON.

#include <string>
#include <string_view>

namespace qel::app {

// `text` as one line of standard error, or of any other line the program writes for a terminal:
// the line breaks of a multi-line failure text become "; " (a period that ends a line before one
// is left out), and every other control character is escaped (\xHH), so that a reader name, a
// path or a card's answer can neither forge a line nor drive the terminal. Controls are C0 and
// DEL, and C1 both as UTF-8 (C2 80 to C2 9F) and as a byte of its own that starts no valid UTF-8
// sequence (80 to 9F, which a terminal that takes bytes as Latin-1 obeys); valid UTF-8 and the
// other bytes pass unchanged.
std::string error_line(std::string_view text);

// A readout line for a terminal or a pipe: the CR LF inside a multi-line failure text becomes
// LF, every other control character (a lone CR or LF included) is escaped as error_line escapes
// it, and the line gets its LF.
std::string terminal_line(const std::string& line);

// The lines of a multi-line failure text as a Linux program writes them: each CR LF becomes LF,
// and nothing else changes. For JSON and the journal, which carry every byte as it is.
std::string lf_line_ends(std::string_view text);

// `text` as UTF-8 for JSON, which takes nothing else: reader names and failure texts come from
// PC/SC and the card, and a byte that starts no valid UTF-8 sequence is taken as Latin-1 (the
// character of its value). Overlong forms, surrogates and code points past U+10FFFF are invalid.
std::string as_utf8(std::string_view text);
}  // namespace qel::app

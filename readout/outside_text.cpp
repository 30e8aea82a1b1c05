#include "readout/outside_text.h"

#include <cstdint>

#include "util/Hex.h"

namespace qel::app {

namespace {

// Length of the valid UTF-8 sequence at `at`, or 0 when the byte there starts none. Overlong
// forms, surrogates and code points past U+10FFFF count as invalid, as JSON parsers refuse them.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(at + i);
        // Only the byte after the lead has the narrowed range.
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
            return 0;
    }
    return length;
}

std::string hex_escape(unsigned char byte) {
    const std::uint8_t bytes[] = {byte};
    return "\\x" + util::to_hex(bytes);
}

// What becomes of the line breaks of a multi-line text from outside.
enum class LineBreaks {
    Joined,  // CR LF, LF and CR alike: "; " between two lines, none at the end
    Lf,      // CR LF becomes LF; a lone CR or LF is a control like any other
};

// A line that ends with one period, not with an ellipsis.
bool ends_sentence(const std::string& line) {
    return line.size() >= 2 && line.back() == '.' && line[line.size() - 2] != '.';
}

// The one rule for a text from outside the program on a terminal (see error_line).
std::string escaped(std::string_view text, LineBreaks breaks) {
    std::string line;
    line.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool crlf = byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
        if (breaks == LineBreaks::Joined && (byte == '\r' || byte == '\n')) {
            i += crlf ? 2 : 1;
            if (i < text.size()) {
                // PC/SC's texts are sentences: their period would stand before the joint.
                if (ends_sentence(line))
                    line.pop_back();
                line += "; ";
            }
        } else if (breaks == LineBreaks::Lf && crlf) {
            line += '\n';
            i += 2;
        } else if (byte < 0x20 || byte == 0x7F) {
            line += hex_escape(byte);
            ++i;
        } else if (byte < 0x80) {
            line += static_cast<char>(byte);
            ++i;
        } else if (const std::size_t length = utf8_sequence_length(text, i); length == 0) {
            // No UTF-8: a terminal that takes bytes as Latin-1 obeys 80 to 9F (9B is its CSI).
            line += byte <= 0x9F ? hex_escape(byte) : std::string(1, static_cast<char>(byte));
            ++i;
        } else if (byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080 to U+009F: a terminal that reads UTF-8 takes them for control codes.
            line += hex_escape(byte) + hex_escape(static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            // Continuation bytes in the range of C1 belong to their character.
            line.append(text.substr(i, length));
            i += length;
        }
    }
    return line;
}

}  // namespace

std::string error_line(std::string_view text) {
    return escaped(text, LineBreaks::Joined);
}

std::string terminal_line(const std::string& line) {
    return escaped(line, LineBreaks::Lf) + '\n';
}

std::string lf_line_ends(std::string_view text) {
    std::string lines;
    lines.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        lines += text[i];
    }
    return lines;
}

std::string as_utf8(std::string_view text) {
    std::string utf8;
    utf8.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = byte < 0x80 ? 1 : utf8_sequence_length(text, i);
        if (length == 0) {
            // Latin-1: the character of the byte's value, U+0080 to U+00FF, in two bytes.
            utf8 += static_cast<char>(0xC0 | (byte >> 6));
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
            ++i;
        } else {
            utf8.append(text.substr(i, length));
            i += length;
        }
    }
    return utf8;
}

}  // namespace qel::app

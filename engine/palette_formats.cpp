#include "engine/palette_formats.h"

#include "settings/png_signature.h"

#include <cstring>
#include <string_view>

namespace {

// ------------------------------------------------------------ text ------

// The file as text, without the byte-order mark some editors put first.
std::string_view text_of(const uint8_t *bytes, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(bytes), size);
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    return text;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

void skip_blanks(std::string_view &text)
{
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
}

// The next line without its end (LF, CR LF or a lone CR) and without the
// blanks around it. Returns false at the end of the text.
bool next_line(std::string_view &text, std::string_view &line)
{
    if (text.empty())
        return false;
    size_t end = text.find_first_of("\r\n");
    line = text.substr(0, end);
    if (end == std::string_view::npos)
        text = std::string_view();
    else
        text.remove_prefix(end + (text.substr(end, 2) == "\r\n" ? 2 : 1));
    skip_blanks(line);
    while (!line.empty() && is_blank(line.back()))
        line.remove_suffix(1);
    return true;
}

// A decimal level 0 ... 255 at the front of text, after any blanks; it must
// end at a blank or at the end of the text.
bool take_level(std::string_view &text, uint8_t &level)
{
    skip_blanks(text);
    unsigned value = 0;
    size_t digits = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        value = value * 10 + static_cast<unsigned>(text[digits] - '0');
        if (value > 255)
            return false;
    }
    if (digits == 0 || (digits < text.size() && !is_blank(text[digits])))
        return false;
    text.remove_prefix(digits);
    level = static_cast<uint8_t>(value);
    return true;
}

bool add_colour(parsed_palette &palette, uint8_t red, uint8_t green, uint8_t blue)
{
    if (palette.count == palette_entries)
        return false;
    uint8_t *entry = palette.rgb + 3 * palette.count++;
    entry[0] = red;
    entry[1] = green;
    entry[2] = blue;
    return true;
}

// "R G B" at the front of the line, each 0 ... 255; the rest is left in line.
bool add_decimal_colour(parsed_palette &palette, std::string_view &line)
{
    uint8_t red, green, blue;
    return take_level(line, red) && take_level(line, green) && take_level(line, blue) &&
           add_colour(palette, red, green, blue);
}

palette_outcome finished(const parsed_palette &palette)
{
    return palette.count > 0 ? palette_colours : palette_malformed;
}

// ------------------------------------------------------------ GIMP ------

bool first_line_is(const uint8_t *bytes, size_t size, std::string_view expected)
{
    std::string_view text = text_of(bytes, size), line;
    return next_line(text, line) && line == expected;
}

bool is_gimp(const uint8_t *bytes, size_t size)
{
    return first_line_is(bytes, size, "GIMP Palette");
}

palette_outcome read_gimp(const uint8_t *bytes, size_t size, parsed_palette &palette)
{
    std::string_view text = text_of(bytes, size), line;
    next_line(text, line);
    while (next_line(text, line)) {
        if (line.empty() || line.front() == '#' || line.substr(0, 5) == "Name:" || line.substr(0, 8) == "Columns:")
            continue;
        // What follows the three levels is the colour's name.
        if (!add_decimal_colour(palette, line))
            return palette_malformed;
    }
    return finished(palette);
}

// ------------------------------------------------------------ JASC ------

bool is_jasc(const uint8_t *bytes, size_t size)
{
    return first_line_is(bytes, size, "JASC-PAL");
}

palette_outcome read_jasc(const uint8_t *bytes, size_t size, parsed_palette &palette)
{
    std::string_view text = text_of(bytes, size), line;
    next_line(text, line);
    if (!next_line(text, line) || line != "0100" || !next_line(text, line))
        return palette_malformed;
    // The count line: up to 256, and nothing after it.
    unsigned count = 0;
    for (char c : line) {
        if (c < '0' || c > '9' || (count = count * 10 + static_cast<unsigned>(c - '0')) > unsigned(palette_entries))
            return palette_malformed;
    }
    for (unsigned i = 0; i < count; ++i) {
        if (!next_line(text, line) || !add_decimal_colour(palette, line) || !line.empty())
            return palette_malformed;
    }
    // Blank lines may end the file; more colours than the count may not.
    while (next_line(text, line)) {
        if (!line.empty())
            return palette_malformed;
    }
    return finished(palette);
}

// ------------------------------------------------------------ hexadecimal lists

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "RRGGBB", "#RRGGBB" or "AARRGGBB". "#" with eight digits is refused: some
// write alpha last there, some first, so no reading of it is safe.
bool read_hex_colour(std::string_view line, uint8_t rgb[3])
{
    const bool hash = !line.empty() && line.front() == '#';
    if (hash)
        line.remove_prefix(1);
    if (line.size() != 6 && (line.size() != 8 || hash))
        return false;
    line.remove_prefix(line.size() - 6);  // the alpha of AARRGGBB
    for (int c = 0; c < 3; ++c) {
        const int high = hex_digit(line[2 * c]), low = hex_digit(line[2 * c + 1]);
        if (high < 0 || low < 0)
            return false;
        rgb[c] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

bool is_comment_or_blank(std::string_view line)
{
    return line.empty() || line.front() == ';';
}

// A list has no header, so it is known by its first colour line, and only in
// a file that is all text: a colour table of 768 bytes nearly always holds a
// control byte (black is three of them), and so never passes for a list.
bool is_hex_list(const uint8_t *bytes, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] < 0x20 && bytes[i] != '\t' && bytes[i] != '\n' && bytes[i] != '\r')
            return false;
    }
    std::string_view text = text_of(bytes, size), line;
    while (next_line(text, line)) {
        if (!is_comment_or_blank(line)) {
            uint8_t rgb[3];
            return read_hex_colour(line, rgb);
        }
    }
    return false;
}

palette_outcome read_hex_list(const uint8_t *bytes, size_t size, parsed_palette &palette)
{
    std::string_view text = text_of(bytes, size), line;
    while (next_line(text, line)) {
        if (is_comment_or_blank(line))
            continue;
        uint8_t rgb[3];
        if (!read_hex_colour(line, rgb) || !add_colour(palette, rgb[0], rgb[1], rgb[2]))
            return palette_malformed;
    }
    return finished(palette);
}

// ------------------------------------------------------------ colour lists

bool is_list_separator(char c)
{
    return c == ' ' || c == '\t' || c == ',';
}

// "#rgb" or "#rrggbb"; a digit of the short form stands for itself twice,
// so that "#f80" is "#ff8800".
bool read_listed_colour(std::string_view word, uint8_t rgb[3])
{
    if (word.size() != 4 && word.size() != 7)
        return false;
    if (word.front() != '#')
        return false;
    const size_t digits = (word.size() - 1) / 3;
    for (int c = 0; c < 3; ++c) {
        int level = 0;
        for (size_t d = 0; d < digits; ++d) {
            const int digit = hex_digit(word[1 + c * digits + d]);
            if (digit < 0)
                return false;
            level = level * 16 + digit;
        }
        rgb[c] = static_cast<uint8_t>(digits == 1 ? level * 17 : level);
    }
    return true;
}

// ------------------------------------------------------------ binary ----

uint32_t little_endian(const uint8_t *p, int count)
{
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | p[i];
    return value;
}

uint32_t big_endian_32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

bool is_riff_palette(const uint8_t *bytes, size_t size)
{
    return size >= 12 && std::memcmp(bytes, "RIFF", 4) == 0 && std::memcmp(bytes + 8, "PAL ", 4) == 0;
}

// Chunks of an identifier and a little-endian size, each padded to an even
// length; the "data" chunk holds the version, the count and 4-byte entries
// (red, green, blue, flags).
palette_outcome read_riff_palette(const uint8_t *bytes, size_t size, parsed_palette &palette)
{
    size_t at = 12;
    while (size - at >= 8) {
        const uint8_t *chunk = bytes + at;
        const uint64_t length = little_endian(chunk + 4, 4);
        if (std::memcmp(chunk, "data", 4) != 0) {
            at += 8 + length + (length & 1);
            if (at > size)
                break;
            continue;
        }
        // The version and the count must be in the file before the count is read.
        if (length < 4 || size - at < 12)
            return palette_malformed;
        const uint32_t count = little_endian(chunk + 10, 2);
        if (count > unsigned(palette_entries) || 4 + 4 * uint64_t(count) > length || 12 + 4 * uint64_t(count) > size - at)
            return palette_malformed;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t *entry = chunk + 12 + 4 * i;
            add_colour(palette, entry[0], entry[1], entry[2]);
        }
        return finished(palette);
    }
    return palette_malformed;
}

bool is_png(const uint8_t *bytes, size_t size)
{
    return size >= sizeof png_signature && std::memcmp(bytes, png_signature, sizeof png_signature) == 0;
}

// The header first, with colour type 3 (indexed) at its tenth byte; then the
// PLTE chunk, which comes before the image data.
palette_outcome read_png_palette(const uint8_t *bytes, size_t size, parsed_palette &palette)
{
    if (size < 8 + 8 + 13 || big_endian_32(bytes + 8) != 13 || std::memcmp(bytes + 12, "IHDR", 4) != 0)
        return palette_malformed;
    if (bytes[16 + 9] != 3)
        return palette_from_pixels;
    size_t at = 8;
    while (size - at >= 12) {
        const uint8_t *chunk = bytes + at;
        const uint64_t length = big_endian_32(chunk);
        if (std::memcmp(chunk + 4, "PLTE", 4) == 0) {
            if (length == 0 || length % 3 != 0 || length > colour_table_bytes || 12 + length > size - at)
                return palette_malformed;
            for (uint64_t i = 0; i < length; i += 3)
                add_colour(palette, chunk[8 + i], chunk[9 + i], chunk[10 + i]);
            return palette_colours;
        }
        if (std::memcmp(chunk + 4, "IDAT", 4) == 0 || std::memcmp(chunk + 4, "IEND", 4) == 0)
            break;
        at += 12 + length;
        if (at > size)
            break;
    }
    return palette_malformed;
}

// ------------------------------------------------------------ choosing --

struct palette_format {
    bool (*recognise)(const uint8_t *bytes, size_t size);
    palette_outcome (*read)(const uint8_t *bytes, size_t size, parsed_palette &palette);
    bool text;  // refused whole beyond max_palette_text_bytes
};

// The list goes last: it is the one known without a header.
const palette_format palette_formats[] = {
    { is_gimp, read_gimp, true },
    { is_jasc, read_jasc, true },
    { is_riff_palette, read_riff_palette, false },
    { is_png, read_png_palette, false },
    { is_hex_list, read_hex_list, true },
};

}  // namespace

parsed_palette parse_palette_file(const uint8_t *bytes, size_t size)
{
    parsed_palette palette;
    for (const palette_format &format : palette_formats) {
        if (!format.recognise(bytes, size))
            continue;
        if (format.text && size > max_palette_text_bytes)
            palette.outcome = palette_malformed;
        else
            palette.outcome = format.read(bytes, size, palette);
        if (palette.outcome != palette_colours)
            palette.count = 0;
        break;
    }
    return palette;
}

parsed_palette parse_colour_list(std::string_view text)
{
    parsed_palette palette;
    while (!text.empty()) {
        if (is_list_separator(text.front())) {
            text.remove_prefix(1);
            continue;
        }
        size_t end = 0;
        while (end < text.size() && !is_list_separator(text[end]))
            ++end;
        uint8_t rgb[3];
        if (!read_listed_colour(text.substr(0, end), rgb)) {
            palette.count = 0;
            return palette;
        }
        if (!add_colour(palette, rgb[0], rgb[1], rgb[2])) {
            palette.count = 0;
            palette.outcome = palette_malformed;
            return palette;
        }
        text.remove_prefix(end);
    }
    palette.outcome = palette.count > 0 ? palette_colours : palette_not_recognised;
    return palette;
}

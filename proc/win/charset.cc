// Character-set conversion on Windows, through the system's code pages. The
// text goes one character at a time: read from the input set as a code point
// (MultiByteToWideChar, or the library's own reading of the Unicode forms and
// ASCII), then written in the output set (WideCharToMultiByte, or again the
// library's own). Reading a character at a time is what tells an invalid
// sequence, to be dropped, from one that the input ends inside, to be left.
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "proc/proc_internal.h"

namespace keel::proc {

namespace {

constexpr UINT kGb18030 = 54936;

// What the code pages' names stand for; the names are compared in either case.
const struct {
    const char *name;
    UINT page;
} kNamedPages[] = {
    {"UTF-8", CP_UTF8},   {"UTF8", CP_UTF8},     {"UTF-16LE", 1200},   {"UTF-16BE", 1201},  {"UTF-32LE", 12000},
    {"UTF-32BE", 12001},  {"ASCII", 20127},      {"US-ASCII", 20127},  {"GBK", 936},        {"GB2312", 936},
    {"EUC-CN", 936},      {"GB18030", kGb18030}, {"BIG5", 950},        {"BIG-5", 950},      {"SHIFT_JIS", 932},
    {"SJIS", 932},        {"EUC-KR", 949},       {"UHC", 949},         {"EUC-JP", 20932},   {"KOI8-R", 20866},
    {"KOI8-U", 21866},    {"LATIN1", 28591},
};
// Names of numbered sets: the prefix, and what the number adds up to.
const struct {
    const char *prefix;
    UINT base;
} kNumberedPages[] = {{"ISO-8859-", 28590}, {"ISO8859-", 28590}, {"ISO_8859-", 28590},
                      {"WINDOWS-", 0},      {"CP", 0}};

struct Charset {
    enum Kind { kPage, kUtf8, kUnits, kAscii } kind = kPage;
    UINT page = 0;
    int width = 0;            // kUnits: 2 or 4 bytes a unit
    bool big_endian = false;  // kUnits
};

// The code page of a set's name; 0 when the name is none of the known ones.
UINT page_of(const char *name) {
    for (const auto &named : kNamedPages)
        if (_stricmp(name, named.name) == 0) return named.page;
    for (const auto &numbered : kNumberedPages) {
        size_t len = strlen(numbered.prefix);
        if (_strnicmp(name, numbered.prefix, len) != 0 || name[len] < '0' || name[len] > '9') continue;
        char *end = nullptr;
        unsigned long n = strtoul(name + len, &end, 10);
        return *end == '\0' && n < 65536 ? numbered.base + static_cast<UINT>(n) : 0;
    }
    return 0;
}

// The Unicode forms and ASCII are read and written here; other code pages
// must be installed and have characters of one or two bytes (GB18030 also of
// four): a page with shift states cannot be read a character at a time.
bool charset_of(const char *name, Charset *set) {
    UINT page = page_of(name);
    switch (page) {
        case CP_UTF8: set->kind = Charset::kUtf8; return true;
        case 20127: set->kind = Charset::kAscii; return true;
        case 1200:
        case 1201:
        case 12000:
        case 12001:
            set->kind = Charset::kUnits;
            set->width = page < 12000 ? 2 : 4;
            set->big_endian = page % 2 == 1;
            return true;
        default: break;
    }
    CPINFO info;
    if (page == 0 || !IsValidCodePage(page) || !GetCPInfo(page, &info)) return false;
    if (info.MaxCharSize > 2 && page != kGb18030) return false;
    set->kind = Charset::kPage;
    set->page = page;
    return true;
}

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

char32_t read_unit(const unsigned char *p, int width, bool big_endian) {
    char32_t unit = 0;
    for (int i = 0; i < width; ++i) unit |= static_cast<char32_t>(p[big_endian ? width - 1 - i : i]) << (8 * i);
    return unit;
}

void write_unit(char32_t unit, int width, bool big_endian, unsigned char *out) {
    for (int i = 0; i < width; ++i) out[big_endian ? width - 1 - i : i] = static_cast<unsigned char>(unit >> (8 * i));
}

// The bytes of one character in a code page: a lead byte and what follows.
int page_char_size(UINT page, const unsigned char *p, size_t n) {
    if (page != kGb18030) return IsDBCSLeadByteEx(page, p[0]) ? 2 : 1;
    if (p[0] < 0x81 || p[0] > 0xFE) return 1;
    if (n < 2) return 2;
    return p[1] >= 0x30 && p[1] <= 0x39 ? 4 : 2;
}

// Reads the character at p (n bytes left, n > 0). Returns its size with its
// code point in *c; 0 when the input ends inside it; -k for k bytes that make
// no character and are to be dropped (one byte, or one unit of a Unicode form).
int decode(const Charset &set, const unsigned char *p, size_t n, char32_t *c) {
    switch (set.kind) {
        case Charset::kAscii:
            *c = p[0];
            return p[0] < 0x80 ? 1 : -1;
        case Charset::kUtf8: {
            int more = p[0] < 0x80 ? 0 : p[0] < 0xC2 ? -1 : p[0] < 0xE0 ? 1 : p[0] < 0xF0 ? 2 : p[0] < 0xF5 ? 3 : -1;
            if (more < 0) return -1;
            const char32_t least[] = {0, 0x80, 0x800, 0x10000};
            char32_t code = more == 0 ? p[0] : p[0] & (0x3F >> more);
            for (int i = 1; i <= more; ++i) {
                if (static_cast<size_t>(i) >= n) return 0;
                if ((p[i] & 0xC0) != 0x80) return -1;
                code = code << 6 | (p[i] & 0x3F);
            }
            if (code < least[more] || code > 0x10FFFF || is_surrogate(code)) return -1;
            *c = code;
            return more + 1;
        }
        case Charset::kUnits: {
            int width = set.width;
            if (n < static_cast<size_t>(width)) return 0;
            char32_t unit = read_unit(p, width, set.big_endian);
            if (width == 4 || !is_surrogate(unit)) {
                *c = unit;
                return unit > 0x10FFFF || is_surrogate(unit) ? -width : width;
            }
            if (unit >= 0xDC00) return -2;  // a low surrogate without its high one
            if (n < 4) return 0;
            char32_t low = read_unit(p + 2, 2, set.big_endian);
            if (low < 0xDC00 || low > 0xDFFF) return -2;  // a high surrogate alone is one bad unit
            *c = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            return 4;
        }
        case Charset::kPage: {
            int size = page_char_size(set.page, p, n);
            if (n < static_cast<size_t>(size)) return 0;
            WCHAR wide[2];
            int got = MultiByteToWideChar(set.page, MB_ERR_INVALID_CHARS, reinterpret_cast<const char *>(p), size,
                                          wide, 2);
            if (got == 1 && !is_surrogate(wide[0])) {
                *c = wide[0];
            } else if (got == 2 && wide[0] >= 0xD800 && wide[0] < 0xDC00 && wide[1] >= 0xDC00 && wide[1] <= 0xDFFF) {
                *c = 0x10000 + ((wide[0] - 0xD800u) << 10) + (wide[1] - 0xDC00u);
            } else {
                return -1;
            }
            return size;
        }
    }
    return -1;
}

// Writes code point c in the set into out (room for 8 bytes). Returns the
// bytes written, or -1 when the set has no such character.
int encode(const Charset &set, char32_t c, unsigned char *out) {
    switch (set.kind) {
        case Charset::kAscii:
            out[0] = static_cast<unsigned char>(c);
            return c < 0x80 ? 1 : -1;
        case Charset::kUtf8: {
            int more = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
            const unsigned char lead[] = {0x00, 0xC0, 0xE0, 0xF0};
            out[0] = static_cast<unsigned char>(lead[more] | (c >> (6 * more)));
            for (int i = 1; i <= more; ++i)
                out[i] = static_cast<unsigned char>(0x80 | ((c >> (6 * (more - i))) & 0x3F));
            return more + 1;
        }
        case Charset::kUnits:
            if (set.width == 4 || c < 0x10000) {
                write_unit(c, set.width, set.big_endian, out);
                return set.width;
            }
            write_unit(0xD800 + ((c - 0x10000) >> 10), 2, set.big_endian, out);
            write_unit(0xDC00 + ((c - 0x10000) & 0x3FF), 2, set.big_endian, out + 2);
            return 4;
        case Charset::kPage: {
            WCHAR wide[2];
            int units = 1;
            if (c < 0x10000) {
                wide[0] = static_cast<WCHAR>(c);
            } else {
                wide[0] = static_cast<WCHAR>(0xD800 + ((c - 0x10000) >> 10));
                wide[1] = static_cast<WCHAR>(0xDC00 + ((c - 0x10000) & 0x3FF));
                units = 2;
            }
            // No best fit: a character the page lacks is unconvertible, not
            // replaced by a look-alike. GB18030 has every character and takes
            // neither the flag nor the question.
            BOOL defaulted = FALSE;
            bool gb18030 = set.page == kGb18030;
            int got = WideCharToMultiByte(set.page, gb18030 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, wide,
                                          units, reinterpret_cast<char *>(out), 8, nullptr,
                                          gb18030 ? nullptr : &defaulted);
            return got > 0 && !defaulted ? got : -1;
        }
    }
    return -1;
}

}  // namespace

Conversion convert_text(const char *from, const char *to, const char *src, size_t len, char *out, size_t room,
                        size_t *written, bool *invalid) {
    Charset in, target;
    *written = 0;
    if (!charset_of(from, &in) || !charset_of(to, &target)) return Conversion::kUnknown;
    const auto *bytes = reinterpret_cast<const unsigned char *>(src);
    size_t at = 0;
    while (at < len) {
        char32_t c = 0;
        int used = decode(in, bytes + at, len - at, &c);
        if (used == 0) break;  // the input ends inside a sequence: keep what came before it
        unsigned char converted[8];
        int size = used > 0 ? encode(target, c, converted) : -1;
        if (size < 0) {
            *invalid = true;
            at += static_cast<size_t>(used > 0 ? used : -used);
            continue;
        }
        if (static_cast<size_t>(size) > room - *written) {
            errno = E2BIG;
            return Conversion::kFull;
        }
        memcpy(out + *written, converted, static_cast<size_t>(size));
        *written += static_cast<size_t>(size);
        at += static_cast<size_t>(used);
    }
    return Conversion::kDone;
}

}  // namespace keel::proc

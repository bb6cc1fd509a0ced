#include "lib/format.h"

#include <charconv>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "lib/log.h"
#include "lib/xalloc.h"

void fmt_bytes_ex(fmt_size *out, uint64_t n, int long_units) {
    static const struct {
        uint64_t above;
        const char *long_unit;
        const char *short_unit;
    } units[] = {
        {1ull << 40, "TB", "T"},
        {1ull << 30, "GB", "G"},
        {1ull << 20, "MB", "M"},
        {1ull << 10, "KB", "K"},
    };
    out->bytes = n;
    for (const auto &u : units) {
        if (n > u.above) {
            out->value = static_cast<double>(n) / static_cast<double>(u.above);
            out->unit = long_units ? u.long_unit : u.short_unit;
            return;
        }
    }
    out->value = static_cast<double>(n);
    out->unit = long_units ? "B" : " ";
}

void fmt_bytes(fmt_size *out, uint64_t n) {
    fmt_bytes_ex(out, n, 1);
}

static void fmt_local(char *buf, time_t t, const char *format) {
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr || strftime(buf, 32, format, &tm) == 0)
        buf[0] = '\0';
}

void fmt_time(char *buf, time_t t) {
    fmt_local(buf, t, "%x %X");
}

void fmt_date(char *buf, time_t t) {
    fmt_local(buf, t, "%d %b %Y %X");
}

size_t utf8_strlen(const char *text) {
    size_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        if ((*p & 0xC0) != 0x80)
            n++;
    }
    return n;
}

size_t str_printable(char *out, const char *text, size_t max) {
    const size_t n = strnlen(text, max);
    for (size_t i = 0; i < n; i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        out[i] = c < 0x20 || c == 0x7F ? '?' : text[i];
    }
    out[n] = '\0';
    return n;
}

int str_to_u16(const char *text, uint16_t *out) {
    const size_t len = strlen(text);
    if (len == 0 || strspn(text, "0123456789") != len) {
        LOG_ERROR("Not a number: %s", text);
        return -1;
    }
    uint64_t v = 0;
    if (std::from_chars(text, text + len, v).ec != std::errc{}) {
        LOG_ERROR("Invalid range.");
        return -1;
    }
    if (v > 65535) {
        LOG_ERROR("Value %s out of range.", text);
        return -1;
    }
    *out = static_cast<uint16_t>(v);
    return 0;
}

uint32_t test_setting_ms(const char *name, uint32_t dflt) {
#ifdef KRV_TEST_HOOKS
    const char *text = name != nullptr ? getenv(name) : nullptr;
    uint16_t ms = 0;
    if (text != nullptr && str_to_u16(text, &ms) == 0 && ms > 0)
        return ms;
#else
    (void)name;
#endif
    return dflt;
}

bool parse_u32_prefix(const char **p, uint32_t *out) {
    const char *s = *p;
    const char *end = s + strspn(s, "0123456789");
    uint32_t v = 0;
    if (end == s || std::from_chars(s, end, v).ec != std::errc{})
        return false;
    *p = end;
    *out = v;
    return true;
}

bool parse_agent_id(const char *text, uint64_t *id) {
    constexpr size_t DIGITS = 16;
    if (strlen(text) != DIGITS || strspn(text, "0123456789ABCDEF") != DIGITS)
        return false;
    return std::from_chars(text, text + DIGITS, *id, 16).ec == std::errc{};
}

char *path_strip_slashes(const char *path) {
    size_t n = strlen(path);
    while (n > 0 && path[n - 1] == '/')
        n--;
    if (n < 2)
        return nullptr;
    char *copy = static_cast<char *>(krv_malloc(n + 1));
    memcpy(copy, path, n);
    copy[n] = '\0';
    return copy;
}

std::string fmt_log_text(const char *text, size_t len) {
    static constexpr char CUT[] = "...";
    std::string out;
    // Where the text is cut when it turns out too long: after the last whole piece that
    // leaves room for the cut mark.
    size_t cut_at = 0;
    for (size_t i = 0; i < len && out.size() <= FMT_LOG_TEXT_MAX; i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != 0x1F) || c == 0x7F) {
            char piece[5];
            snprintf(piece, sizeof piece, "\\x%02X", c);
            out += piece;
        } else {
            out += static_cast<char>(c);
        }
        if (out.size() <= FMT_LOG_TEXT_MAX - (sizeof CUT - 1))
            cut_at = out.size();
    }
    if (out.size() > FMT_LOG_TEXT_MAX) {
        out.resize(cut_at);
        out += CUT;
    }
    return out;
}

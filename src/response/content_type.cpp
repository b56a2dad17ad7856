#include "common/text_scan.h"
#include "response/response.h"

namespace {

struct content_type_row {
    const char* extension;  // with its leading dot
    const char* type;
};

// The first matching row wins; extensions compare without regard to case.
constexpr content_type_row content_types[] = {
    {".html", "text/html; charset=utf-8"},
    {".htm", "text/html; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".js", "application/javascript; charset=utf-8"},
    {".mjs", "application/javascript; charset=utf-8"},
    {".json", "application/json"},
    {".png", "image/png"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".gif", "image/gif"},
    {".svg", "image/svg+xml"},
    {".ico", "image/x-icon"},
    {".webp", "image/webp"},
    {".pdf", "application/pdf"},
    {".txt", "text/plain; charset=utf-8"},
    {".xml", "application/xml"},
    {".zip", "application/zip"},
    {".gz", "application/gzip"},
    {".tar", "application/x-tar"},
    {".mp3", "audio/mpeg"},
    {".mp4", "video/mp4"},
    {".webm", "video/webm"},
    {".woff", "font/woff"},
    {".woff2", "font/woff2"},
    {".ttf", "font/ttf"},
    {".wasm", "application/wasm"},
};

constexpr const char* default_type = "application/octet-stream";

constexpr char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Extensions in the table are lower case.
constexpr bool equals_ignoring_case(std::string_view text, std::string_view lower)
{
    if (text.size() != lower.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (ascii_lower(text[i]) != lower[i])
            return false;
    return true;
}

}  // namespace

// The last dot of the whole name counts, even when it sits in a directory
// name: '/build.2/README' compares '.2/README' and matches nothing.
const char* content_type_for(std::string_view name)
{
    std::size_t dot = find_last_byte(name, '.');
    if (dot == not_found)
        return default_type;
    std::string_view suffix = name.substr(dot);
    for (const content_type_row& row : content_types)
        if (equals_ignoring_case(suffix, row.extension))
            return row.type;
    return default_type;
}

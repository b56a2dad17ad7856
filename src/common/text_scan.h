#pragma once

#include <cstddef>
#include <string_view>

// Byte searches written out as plain loops. A fresh worker runs each C
// library string routine it calls from a page of code it has not touched
// yet, and pays a page fault for it; over the few hundred bytes of a
// request head, a loop costs less than that fault.

inline constexpr std::size_t not_found = std::string_view::npos;

// The first `c` in `text` at or after `from`, or not_found.
constexpr std::size_t find_byte(std::string_view text, char c, std::size_t from = 0)
{
    for (std::size_t i = from; i < text.size(); ++i)
        if (text[i] == c)
            return i;
    return not_found;
}

// The last `c` in `text`, or not_found.
constexpr std::size_t find_last_byte(std::string_view text, char c)
{
    for (std::size_t i = text.size(); i > 0; --i)
        if (text[i - 1] == c)
            return i - 1;
    return not_found;
}

// The first occurrence of `word` (not empty) in `text`, or not_found.
constexpr std::size_t find_text(std::string_view text, std::string_view word)
{
    for (std::size_t at = find_byte(text, word[0]);
         at != not_found && at + word.size() <= text.size();
         at = find_byte(text, word[0], at + 1)) {
        std::size_t i = 1;
        while (i < word.size() && text[at + i] == word[i])
            ++i;
        if (i == word.size())
            return at;
    }
    return not_found;
}

// The length of the zero-terminated `text`.
constexpr std::size_t text_length(const char* text)
{
    std::size_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

// The text of `data` up to its first zero byte.
constexpr std::string_view up_to_zero(std::string_view data)
{
    return data.substr(0, find_byte(data, '\0'));  // not_found keeps it whole
}

// The text of `rest` up to the first `separator` (all of it if none), and
// `rest` moved past that separator: one field of a line, or one line of a
// text, at a time.
constexpr std::string_view next_field(std::string_view& rest, char separator)
{
    std::size_t end = find_byte(rest, separator);
    std::string_view field = rest.substr(0, end);
    rest = end == not_found ? std::string_view() : rest.substr(end + 1);
    return field;
}

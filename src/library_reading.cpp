#include "library_reading.hpp"

#include <algorithm>

namespace {

// The library reads with fgets() into a buffer of 4096 bytes.
constexpr std::size_t piece_size = 4095;
constexpr std::string_view skipped_first = " \t\n";
// Where the library stops looking at a piece: a comment mark, a newline, or a NUL byte (which
// ends what it sees of a string); after the blanks it skips, which hold no NUL.
constexpr std::string_view piece_ends{"#;\n\0", 4};
constexpr std::string_view stripped = " \t\r\n";
constexpr std::string_view include_directive = ".include ";
constexpr std::string_view properties_section = "[Properties]";

// Keys whose value is taken as it stands.
constexpr std::array<std::string_view, 7> text_keys = {
    "daemon-binary",  "extra-arguments",     "default-sink", "default-source",
    "default-server", "default-dbus-server", "cookie-file"};
constexpr std::array<std::string_view, 5> boolean_keys = {
    "disable-shm", "enable-shm", "enable-memfd", "auto-connect-localhost", "auto-connect-display"};
constexpr std::string_view size_key = "shm-size-bytes";
// The words every locale reads alike, in any case.
constexpr std::array<std::string_view, 6> on_words = {"1", "y", "t", "yes", "true", "on"};
constexpr std::array<std::string_view, 6> off_words = {"0", "n", "f", "no", "false", "off"};

// Beginnings that some locale reads as one letter after "z", in either case: Danish and
// Norwegian "aa"; Oromo "ch", "dh", "kh", "ny", "ph" and "sh"; Uzbek "ch", "sh", and "g" and
// "o" with a turned comma (U+02BB), or with the two apostrophes written where it cannot be typed.
constexpr std::array<std::string_view, 11> read_as_one_after_z = {
    "aa", "ch", "dh", "kh", "ny", "ph", "sh", "g\xca\xbb", "o\xca\xbb", "g''", "o''"};

Values apply(const std::array<Values, 2>& by_value, Values before)
{
    return ((before & autospawn_on) != 0 ? by_value[0] : 0) |
           ((before & autospawn_off) != 0 ? by_value[1] : 0);
}

std::string_view strip(std::string_view text)
{
    const auto start = text.find_first_not_of(stripped);
    if (start == std::string_view::npos)
        return {};
    return text.substr(start, text.find_last_not_of(stripped) - start + 1);
}

bool is_one_of(std::string_view word, const auto& words)
{
    return std::any_of(words.begin(), words.end(), [&](std::string_view known) {
        return std::equal(word.begin(), word.end(), known.begin(), known.end(), [](char a, char b) {
            return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
        });
    });
}

bool is_listed(std::string_view key, const auto& keys)
{
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// Up to nine digits always fit the size's 32 bits; anything else may not.
bool surely_a_size(std::string_view value)
{
    return !value.empty() && value.size() <= 9 &&
           value.find_first_not_of("0123456789") == std::string_view::npos;
}

Effect assignment(std::string_view key, std::string_view value)
{
    const bool fixed_boolean = is_one_of(value, on_words) || is_one_of(value, off_words);
    if (key == autospawn_key) {
        if (is_one_of(value, on_words))
            return Effect::sets(autospawn_on);
        if (is_one_of(value, off_words))
            return Effect::sets(autospawn_off);
        return Effect::sets_by_locale();
    }
    if (is_listed(key, text_keys))
        return Effect::nothing();
    if (is_listed(key, boolean_keys))
        return fixed_boolean ? Effect::nothing() : Effect::maybe_rejected();
    if (key == size_key)
        return surely_a_size(value) ? Effect::nothing() : Effect::maybe_rejected();
    return Effect::rejected();
}

} // namespace

Effect Effect::then(const Effect& next) const
{
    Effect result = *this;
    for (std::size_t before = 0; before < 2; ++before) {
        result.stopped_[before] |= apply(next.stopped_, reading_[before]);
        result.reading_[before] = apply(next.reading_, reading_[before]);
    }
    return result;
}

Values Effect::after(Values before) const
{
    return apply(stopped_, before) | apply(reading_, before);
}

FileReading::FileReading(std::string_view path)
    : directory_{path.substr(0, path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/'))}
{
}

void FileReading::add_line(std::string_view line)
{
    for (std::size_t offset = 0; offset < line.size(); offset += piece_size)
        if (const Piece piece = read_piece(line.substr(offset, piece_size)); piece.counts)
            add(piece);
}

void FileReading::add_line(std::string_view line, FileReading& same_line)
{
    for (std::size_t offset = 0; offset < line.size(); offset += piece_size) {
        const Piece piece = read_piece(line.substr(offset, piece_size));
        if (!piece.counts)
            continue;
        add(piece);
        same_line.add(piece);
    }
}

FileReading::Piece FileReading::read_piece(std::string_view piece)
{
    const auto start = piece.find_first_not_of(skipped_first);
    if (start == std::string_view::npos)
        return {};
    piece = piece.substr(start);
    piece = piece.substr(0, piece.find_first_of(piece_ends));
    if (piece.empty())
        return {};
    if (piece.starts_with(include_directive)) {
        return {.counts = true,
                .is_include = true,
                .include = strip(piece.substr(include_directive.size()))};
    }
    Piece read{.counts = true};
    if (piece.front() == '[') {
        if (piece.back() != ']' || piece == properties_section)
            read.effect = Effect::rejected();
    } else if (const auto equals = piece.find('='); equals == std::string_view::npos) {
        read.effect = Effect::rejected();
    } else {
        const std::string_view key = strip(piece.substr(0, equals));
        const std::string_view value = strip(piece.substr(equals + 1));
        read.effect = assignment(key, value);
        read.may_enable = key == autospawn_key && !is_one_of(value, off_words);
    }
    return read;
}

void FileReading::add(const Piece& piece)
{
    if (piece.is_include) {
        const std::string_view named = piece.include;
        parts_.push_back({rest_, named.starts_with('/') ? std::string{named}
                                                        : directory_ + '/' + std::string{named}});
        rest_ = Effect::nothing();
        return;
    }
    rest_ = rest_.then(piece.effect);
    may_enable_ = may_enable_ || piece.may_enable;
}

BeforeOwn read_before_own_in_every_locale(std::string_view drop_in_name)
{
    std::string lower{drop_in_name};
    for (char& c : lower)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    const char first = lower.empty() ? '\0' : lower.front();
    const bool one_letter_after_z =
        std::any_of(read_as_one_after_z.begin(), read_as_one_after_z.end(),
                    [&](std::string_view letter) { return lower.starts_with(letter); });
    return {.before_99 = first >= '0' && first <= '8',
            .before_zz = first >= 'a' && first <= 's' && !one_letter_after_z};
}

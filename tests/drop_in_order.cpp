// The order in which the client library reads drop-ins, in each locale named, checked against
// what the tool relies on (read_before_own_in_every_locale). The library sorts with strcoll()
// in the client's locale, so this does too.
//   drop_in_order [--orders] [--elements DIR] [--characters CHARMAP] LOCALE...
// with LOCPATH naming where the locales were built. What decides where a name sorts is its first
// collating element, so the names tried are every name of up to three characters from a sample
// that some locale sorts apart; with --elements, every collating element of more than one
// character that the locale sources in DIR define; with --characters, every character of the
// C library's character map CHARMAP (gzip-compressed, as the C library ships it) after each
// first character that the rule trusts. Only names the rule trusts are tried.
// Prints each distinct order of a few typical names, with the locales that give it (with
// --orders), and every name that a locale reads after an own drop-in that the tool takes it to
// come before; exits 1 if there is any.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <locale.h>

#include "library_reading.hpp"

namespace {

// What administrators and packages name their drop-ins, and what some locale sorts apart.
const std::vector<std::string> typical_names = {"00-disable-autospawn.conf",
                                                "01-enable-autospawn.conf",
                                                "9z.conf",
                                                "aa.conf",
                                                "B.conf",
                                                "ch.conf",
                                                "enable-autospawn.conf",
                                                "h.conf",
                                                "i.conf",
                                                "o.conf",
                                                "o''zbek.conf",
                                                "t.conf",
                                                "x.conf",
                                                "y.conf",
                                                "ZZZ-local.conf",
                                                "zzz.conf",
                                                "_x.conf",
                                                "~x.conf",
                                                "\xc3\xa4.conf",
                                                "\xc3\xb6.conf",
                                                std::string{own_drop_in_99},
                                                std::string{own_drop_in_zz}};

std::size_t elements_tried = 0;   // as defined, before the rule is applied
std::size_t characters_tried = 0; // after each trusted first character

void append_utf8(std::string& text, unsigned long code)
{
    if (code < 0x80) {
        text += static_cast<char>(code);
        return;
    }
    const int tail = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    constexpr std::array<unsigned long, 4> lead = {0, 0xc0, 0xe0, 0xf0};
    text += static_cast<char>(lead.at(tail) | (code >> (6 * tail)));
    for (int shift = 6 * (tail - 1); shift >= 0; shift -= 6)
        text += static_cast<char>(0x80U | ((code >> static_cast<unsigned>(shift)) & 0x3fU));
}

bool trusted(const std::string& name)
{
    const BeforeOwn before = read_before_own_in_every_locale(name);
    return before.before_99 || before.before_zz;
}

std::vector<std::string> trusted_firsts()
{
    std::vector<std::string> firsts;
    for (int c = 0x21; c < 0x7f; ++c)
        if (c != '/' && trusted(std::string(1, static_cast<char>(c))))
            firsts.emplace_back(1, static_cast<char>(c));
    return firsts;
}

// Every name of up to three characters before the suffix, from characters that sort apart
// somewhere (contractions such as Danish "aa", Czech "ch" or Hungarian "dzs" among them).
void add_sample_names(std::vector<std::string>& names)
{
    std::vector<std::string> seconds;
    for (int c = 0x21; c < 0x7f; ++c)
        if (c != '/')
            seconds.emplace_back(1, static_cast<char>(c));
    for (const char* letter :
         {"\xc3\xa4", "\xc3\xa5", "\xc3\xb6", "\xc3\xbc", "\xc3\xb8", "\xc3\xa6", "\xc3\x9f",
          "\xc4\x8d", "\xc5\xa1", "\xc5\xbe", "\xc4\xb1", "\xc5\x82", "\xc3\xb1", "\xe1\x9e\x80",
          "\xca\xbb", "\xca\xbc"})
        seconds.emplace_back(letter);
    for (const std::string& first : trusted_firsts()) {
        names.push_back(first + ".conf");
        for (const std::string& second : seconds) {
            names.push_back(first + second + ".conf");
            for (const std::string& third : seconds) {
                std::string name = first;
                name.append(second).append(third).append(".conf");
                names.push_back(std::move(name));
            }
        }
    }
}

// Every collating element of more than one character that a locale source defines, written as
// "<U0067><U02BB>" or "g<U02BB>" between the quotes after "from".
void add_collating_elements(const std::string& directory, std::vector<std::string>& names)
{
    constexpr std::string_view keyword = "collating-element";
    for (const auto& entry : std::filesystem::directory_iterator{directory}) {
        std::ifstream source{entry.path()};
        for (std::string line; std::getline(source, line);) {
            const std::size_t open = line.find('"');
            const std::size_t close = line.find('"', open + 1);
            if (!line.starts_with(keyword) || close == std::string::npos)
                continue;
            const std::string_view written{line.data() + open + 1, close - open - 1};
            std::string element;
            for (std::size_t at = 0; at < written.size();) {
                const std::size_t end = written.find('>', at);
                if (written.substr(at, 2) == "<U" && end != std::string_view::npos) {
                    append_utf8(
                        element,
                        std::strtoul(std::string{written.substr(at + 2, end - at - 2)}.c_str(),
                                     nullptr, 16));
                    at = end + 1;
                } else {
                    element += written[at++];
                }
            }
            names.push_back(element + ".conf");
            ++elements_tried;
        }
    }
}

// Every character of the map after each trusted first character.
bool add_every_character(const std::string& charmap, std::vector<std::string>& names)
{
    std::FILE* map = ::popen(("gzip -dc '" + charmap + "'").c_str(), "r");
    if (map == nullptr)
        return false;
    std::vector<unsigned long> codes;
    unsigned long first = 0;
    unsigned long last = 0;
    char line[512];
    while (std::fgets(line, sizeof line, map) != nullptr) {
        if (std::sscanf(line, "<U%lX>..<U%lX>", &first, &last) == 2 ||
            (std::sscanf(line, "<U%lX>", &first) == 1 && (last = first, true)))
            for (unsigned long c = first; c <= last; ++c)
                if (c != 0 && c != '/')
                    codes.push_back(c);
    }
    if (::pclose(map) != 0 || codes.empty())
        return false;
    characters_tried = codes.size();
    for (const std::string& start : trusted_firsts())
        for (const unsigned long c : codes) {
            std::string name = start;
            append_utf8(name, c);
            names.push_back(name + ".conf");
        }
    return true;
}

int check(int argc, char** argv)
{
    bool orders = false;
    std::vector<std::string> names;
    add_sample_names(names);
    int arg = 1;
    for (; arg < argc && argv[arg][0] == '-'; ++arg) {
        const std::string option = argv[arg];
        if (option == "--orders") {
            orders = true;
        } else if (option == "--elements" && arg + 1 < argc) {
            add_collating_elements(argv[++arg], names);
        } else if (option == "--characters" && arg + 1 < argc) {
            if (!add_every_character(argv[++arg], names)) {
                (void)std::fprintf(stderr, "%s: cannot read the character map\n", argv[arg]);
                return 2;
            }
        } else {
            (void)std::fprintf(stderr, "%s: unknown option\n", argv[arg]);
            return 2;
        }
    }
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& name) { return !trusted(name); }),
                names.end());
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());

    std::map<std::vector<std::string>, std::vector<std::string>> locales_by_order;
    std::map<std::string, std::vector<std::string>> wrong; // name and own: the locales
    const int locales = argc - arg;
    for (; arg < argc; ++arg) {
        const locale_t locale = ::newlocale(LC_COLLATE_MASK, argv[arg], nullptr);
        if (locale == nullptr) {
            (void)std::fprintf(stderr, "%s: no such locale here\n", argv[arg]);
            return 2;
        }
        const auto less = [&](const std::string& a, const std::string& b) {
            return ::strcoll_l(a.c_str(), b.c_str(), locale) < 0;
        };
        std::vector<std::string> order = typical_names;
        std::sort(order.begin(), order.end(), less);
        locales_by_order[order].emplace_back(argv[arg]);
        for (const std::string& name : names) {
            const BeforeOwn before = read_before_own_in_every_locale(name);
            for (const auto& [trusted_before, own] : {std::pair{before.before_99, own_drop_in_99},
                                                      std::pair{before.before_zz, own_drop_in_zz}})
                if (trusted_before && !less(name, std::string{own}))
                    wrong[name + " after " + std::string{own}].emplace_back(argv[arg]);
        }
        ::freelocale(locale);
    }
    if (orders) {
        (void)std::printf("%zu distinct orders\n", locales_by_order.size());
        for (const auto& [order, in] : locales_by_order) {
            (void)std::printf("\n%zu locales:", in.size());
            for (const std::string& name : in)
                (void)std::printf(" %s", name.c_str());
            (void)std::printf("\n ");
            for (const std::string& name : order)
                (void)std::printf(" %s", name.c_str());
            (void)std::printf("\n");
        }
    }
    for (const auto& [what, in] : wrong) {
        (void)std::printf("%s in", what.c_str());
        for (const std::string& name : in)
            (void)std::printf(" %s", name.c_str());
        (void)std::printf("\n");
    }
    (void)std::printf("%zu names read after an own drop-in that they should come before, in %d "
                      "locales and %zu names (%zu collating elements defined, %zu characters "
                      "after each of %zu first characters)\n",
                      wrong.size(), locales, names.size(), elements_tried, characters_tried,
                      trusted_firsts().size());
    return wrong.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return check(argc, argv);
    } catch (const std::exception& failure) { // a locale source or the map that cannot be read
        (void)std::fprintf(stderr, "drop_in_order: %s\n", failure.what());
        return 2;
    }
}

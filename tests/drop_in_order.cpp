// The order in which the client library reads drop-ins, in each locale named, checked against
// what the tool relies on (read_before_own_in_every_locale). The library sorts with strcoll()
// in the client's locale, so this does too.
//   drop_in_order [--orders] LOCALE...    with LOCPATH naming where the locales were built
// Prints each distinct order of a few typical names, with the locales that give it (with
// --orders), and every sample name that a locale reads after an own drop-in that the tool
// takes it to come before; exits 1 if there is any.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
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
                                                "t.conf",
                                                "x.conf",
                                                "y.conf",
                                                "ZZZ-local.conf",
                                                "zzz.conf",
                                                "_x.conf",
                                                "~x.conf",
                                                "\xc3\xa4.conf",
                                                "\xc3\xb6.conf",
                                                std::string{own_drop_in_names[0]},
                                                std::string{own_drop_in_names[1]}};

// Every name of up to three characters before the suffix, from characters that sort apart
// somewhere (contractions such as Danish "aa", Czech "ch" or Hungarian "dzs" among them), whose
// first character the tool relies on.
std::vector<std::string> sample_names()
{
    std::vector<std::string> seconds;
    for (int c = 0x21; c < 0x7f; ++c)
        if (c != '/')
            seconds.emplace_back(1, static_cast<char>(c));
    for (const char* letter :
         {"\xc3\xa4", "\xc3\xa5", "\xc3\xb6", "\xc3\xbc", "\xc3\xb8", "\xc3\xa6", "\xc3\x9f",
          "\xc4\x8d", "\xc5\xa1", "\xc5\xbe", "\xc4\xb1", "\xc5\x82", "\xc3\xb1", "\xe1\x9e\x80"})
        seconds.emplace_back(letter);
    std::vector<std::string> names;
    for (int c = 0x21; c < 0x7f; ++c) {
        const std::string first(1, static_cast<char>(c));
        const auto before = read_before_own_in_every_locale(first);
        if (!before[0] && !before[1])
            continue;
        names.push_back(first + ".conf");
        for (const std::string& second : seconds) {
            names.push_back(first + second + ".conf");
            for (char third = 'a'; third <= 'z'; ++third)
                names.push_back(first + second + third + ".conf");
            names.push_back(first + second + "-.conf");
        }
    }
    return names;
}

} // namespace

int main(int argc, char** argv)
{
    const bool orders = argc > 1 && std::strcmp(argv[1], "--orders") == 0;
    const std::vector<std::string> samples = sample_names();
    std::map<std::vector<std::string>, std::vector<std::string>> locales_by_order;
    int wrong = 0;
    for (int arg = orders ? 2 : 1; arg < argc; ++arg) {
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
        for (const std::string& name : samples) {
            const auto before = read_before_own_in_every_locale(name);
            for (std::size_t own = 0; own < own_drop_in_names.size(); ++own)
                if (before[own] && !less(name, std::string{own_drop_in_names[own]})) {
                    (void)std::printf("%s reads %s after %s\n", argv[arg], name.c_str(),
                                      own_drop_in_names[own].data());
                    ++wrong;
                }
        }
        ::freelocale(locale);
    }
    if (orders) {
        (void)std::printf("%zu distinct orders\n", locales_by_order.size());
        for (const auto& [order, locales] : locales_by_order) {
            (void)std::printf("\n%zu locales:", locales.size());
            for (const std::string& name : locales)
                (void)std::printf(" %s", name.c_str());
            (void)std::printf("\n ");
            for (const std::string& name : order)
                (void)std::printf(" %s", name.c_str());
            (void)std::printf("\n");
        }
    }
    (void)std::printf("%d names read after an own drop-in that they should come before, in %zu "
                      "locales and %zu names\n",
                      wrong, static_cast<std::size_t>(argc - (orders ? 2 : 1)), samples.size());
    return wrong == 0 ? 0 : 1;
}

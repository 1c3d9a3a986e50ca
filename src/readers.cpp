#include "readers.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Rights as one class's bits of a mode.
constexpr mode_t may_read = 4;
constexpr mode_t may_search = 1;

// Whether the access control list at path grants rights to every entry it has; everyone where
// it has none. Its stored form is the kernel's: a version, then entries of a tag, the rights and
// an id, little-endian.
Readers acl_grants_everyone(const char* path, mode_t rights)
{
    constexpr std::size_t header_size = 4;
    constexpr std::size_t entry_size = 8;
    constexpr unsigned masked_tags = 0x02 | 0x04 | 0x08; // named users, the group, named groups
    constexpr unsigned mask_tag = 0x10;
    std::array<unsigned char, header_size + 64 * entry_size> acl{};
    const ssize_t size = ::getxattr(path, "system.posix_acl_access", acl.data(), acl.size());
    if (size < 0 && (errno == ENODATA || errno == ENOTSUP))
        return Readers::everyone;
    if (size < 0 || static_cast<std::size_t>(size) < header_size ||
        (static_cast<std::size_t>(size) - header_size) % entry_size != 0)
        return Readers::unknown;
    const auto field = [&](std::size_t at) {
        return unsigned{acl.at(at)} | unsigned{acl.at(at + 1)} << 8U;
    };
    unsigned mask = 07;
    for (std::size_t at = header_size; at < static_cast<std::size_t>(size); at += entry_size)
        if (field(at) == mask_tag)
            mask = field(at + 2);
    for (std::size_t at = header_size; at < static_cast<std::size_t>(size); at += entry_size) {
        const unsigned tag = field(at);
        const unsigned granted = field(at + 2) & ((tag & masked_tags) != 0 ? mask : 07U);
        if (tag != mask_tag && (granted & rights) != rights)
            return Readers::not_everyone;
    }
    return Readers::everyone;
}

// Whether path grants rights to its owner, its group, others and its list's entries.
Readers grants_everyone(const char* path, mode_t rights)
{
    struct stat status {};
    if (::stat(path, &status) != 0)
        return Readers::unknown;
    const mode_t all_classes = rights << 6U | rights << 3U | rights;
    if ((status.st_mode & all_classes) != all_classes)
        return Readers::not_everyone;
    return acl_grants_everyone(path, rights);
}

// The kernel gives up on a path after following this many links.
constexpr int most_links = 40;

// Adds the names of path to names, so that the first to be looked up is the last.
void push_names(std::string_view path, std::vector<std::string>& names)
{
    std::vector<std::string> in_order;
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start)
            in_order.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    names.insert(names.end(), in_order.rbegin(), in_order.rend());
}

} // namespace

Readers readable_by_everyone(const char* path)
{
    // Walked as the kernel walks it: every directory that a name is looked up in must let
    // everyone search it, those that the links on the way lead through included.
    std::string reached = "/"; // where the walk stands, with no link in it
    std::vector<std::string> names;
    push_names(path, names);
    int links = 0;
    while (!names.empty()) {
        const std::string name = std::move(names.back());
        names.pop_back();
        if (const Readers searchers = grants_everyone(reached.c_str(), may_search);
            searchers != Readers::everyone)
            return searchers;
        if (name == ".")
            continue;
        if (name == "..") {
            reached.erase(std::max<std::size_t>(reached.rfind('/'), 1));
            continue;
        }
        std::string next = (reached == "/" ? "" : reached) + '/' + name;
        struct stat status {};
        if (::lstat(next.c_str(), &status) != 0)
            return Readers::unknown;
        if (S_ISLNK(status.st_mode)) {
            std::array<char, PATH_MAX> target{};
            const ssize_t size = ::readlink(next.c_str(), target.data(), target.size());
            if (++links > most_links || size <= 0 ||
                static_cast<std::size_t>(size) >= target.size())
                return Readers::unknown;
            const std::string_view leads_to{target.data(), static_cast<std::size_t>(size)};
            if (leads_to.front() == '/')
                reached.erase(1); // back at the root
            push_names(leads_to, names);
            continue;
        }
        if (!names.empty() && !S_ISDIR(status.st_mode))
            return Readers::unknown;
        reached = std::move(next);
    }
    struct stat status {};
    if (::stat(reached.c_str(), &status) != 0)
        return Readers::unknown;
    return grants_everyone(reached.c_str(),
                           S_ISDIR(status.st_mode) ? may_read | may_search : may_read);
}

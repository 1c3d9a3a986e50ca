#include "user_units.hpp"

#include <cerrno>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What a mask links to; a literal, so its data() ends in a null byte.
constexpr std::string_view mask_target = "/dev/null";

enum class UnitState {
    unmasked, // nothing there
    masked,   // a link to /dev/null, or an empty file, also through links: a mask to systemd
    foreign,  // a unit file, a link to one, or anything else of the administrator's
    unknown,  // its state could not be learnt
};

std::string unit_path(const char* unit)
{
    return std::string{user_unit_directory_path} + '/' + unit;
}

// As the service manager decides it: what the path leads to, through any links, relative or
// not, is an empty file or a character device (/dev/null).
UnitState inspect_unit(int directory, const char* unit)
{
    struct stat status {};
    if (::fstatat(directory, unit, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? UnitState::unmasked : UnitState::unknown;
    if (::fstatat(directory, unit, &status, 0) != 0)
        // A link that leads nowhere, or round in a circle, is the administrator's to mend.
        return errno == ENOENT || errno == ELOOP || errno == ENOTDIR ? UnitState::foreign
                                                                     : UnitState::unknown;
    const bool masked = S_ISCHR(status.st_mode) || (S_ISREG(status.st_mode) && status.st_size == 0);
    return masked ? UnitState::masked : UnitState::foreign;
}

} // namespace

std::optional<Failure> learn_user_units(UserUnits& units)
{
    units.directory.reset(::opendir(user_unit_directory_path));
    if (!units.directory) {
        if (is_absent(errno))
            return std::nullopt;
        return Failure{Failed::listing, user_unit_directory_path};
    }
    for (const char* unit : sound_server_units) {
        switch (inspect_unit(::dirfd(units.directory.get()), unit)) {
        case UnitState::unmasked:
            units.to_mask.push_back(unit);
            break;
        case UnitState::masked:
            break;
        case UnitState::foreign:
            return Failure{Failed::replacing, unit_path(unit)};
        case UnitState::unknown:
            return Failure{Failed::opening, unit_path(unit)};
        }
    }
    return std::nullopt;
}

std::optional<Failure> mask_unit(const UserUnits& units, const char* unit)
{
    const int directory = ::dirfd(units.directory.get());
    // A new name appears whole or not at all, and never replaces what someone put there since.
    if (::symlinkat(mask_target.data(), directory, unit) != 0)
        return Failure{Failed::replacing, unit_path(unit)};
    // The new link is on disk only once the directory itself is synced.
    if (::fsync(directory) != 0)
        return Failure{Failed::replacing, unit_path(unit)};
    return std::nullopt;
}

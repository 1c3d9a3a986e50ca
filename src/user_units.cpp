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
    masked,   // a link to /dev/null, or an empty file: systemd counts both as a mask
    foreign,  // a unit file, a link to one, or anything else of the administrator's
    unknown,  // its state could not be learnt
};

std::string unit_path(const char* unit)
{
    return std::string{user_unit_directory_path} + '/' + unit;
}

UnitState inspect_unit(int directory, const char* unit)
{
    struct stat status {};
    if (::fstatat(directory, unit, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? UnitState::unmasked : UnitState::unknown;
    if (S_ISREG(status.st_mode))
        return status.st_size == 0 ? UnitState::masked : UnitState::foreign;
    if (!S_ISLNK(status.st_mode))
        return UnitState::foreign;
    // One byte more than the mask's target, so that a longer target cannot look like it.
    std::array<char, mask_target.size() + 1> target{};
    const ssize_t length = ::readlinkat(directory, unit, target.data(), target.size());
    if (length < 0)
        return UnitState::unknown;
    return std::string_view{target.data(), static_cast<size_t>(length)} == mask_target
               ? UnitState::masked
               : UnitState::foreign;
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

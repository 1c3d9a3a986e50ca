#include "user_units.hpp"

#include <array>
#include <cerrno>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rewrite.hpp"

namespace {

// What a mask links to; a literal, so its data() ends in a null byte.
constexpr std::string_view mask_target = "/dev/null";

enum class UnitState {
    absent,         // nothing there
    masked,         // a link to /dev/null, or an empty file, also through links: a mask to systemd
    package_masked, // a link that the package's scripts made and remove again when it is installed
    foreign,        // a unit file, a link to one, or anything else of the administrator's
    unknown,        // its state could not be learnt
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
        return errno == ENOENT ? UnitState::absent : UnitState::unknown;
    if (::fstatat(directory, unit, &status, 0) != 0)
        // A link that leads nowhere, or round in a circle, is the administrator's to mend.
        return errno == ENOENT || errno == ELOOP || errno == ENOTDIR ? UnitState::foreign
                                                                     : UnitState::unknown;
    const bool masked = S_ISCHR(status.st_mode) || (S_ISREG(status.st_mode) && status.st_size == 0);
    if (!masked)
        return UnitState::foreign;
    // The packages' scripts take back only a link that reads "/dev/null" word for word, and
    // only where they noted that they made it.
    std::array<char, mask_target.size() + 1> target{};
    const ssize_t size = ::readlinkat(directory, unit, target.data(), target.size());
    if (size < 0)
        return errno == EINVAL ? UnitState::masked : UnitState::unknown; // not a link
    if (std::string_view{target.data(), static_cast<std::size_t>(size)} != mask_target)
        return UnitState::masked;
    const std::string note = std::string{package_masks_path} + '/' + unit;
    if (::stat(note.c_str(), &status) == 0)
        return UnitState::package_masked;
    return is_absent(errno) ? UnitState::masked : UnitState::unknown;
}

} // namespace

std::optional<Outcome> learn_user_units(const WorkDirectory& directory,
                                        std::vector<UnitMask>& masks)
{
    if (directory.state == WorkDirectory::State::absent)
        return std::nullopt;
    if (directory.state != WorkDirectory::State::open)
        return Outcome{RewriteOutcome::error_reading_directory, user_unit_directory_path};
    for (const char* unit : sound_server_units) {
        switch (inspect_unit(directory.fd(), unit)) {
        case UnitState::absent:
            masks.push_back({unit, Mask::link});
            break;
        case UnitState::package_masked:
            masks.push_back({unit, Mask::empty_file});
            break;
        case UnitState::masked:
            break;
        case UnitState::foreign:
            return Outcome{RewriteOutcome::error_replacing, unit_path(unit)};
        case UnitState::unknown:
            return Outcome{RewriteOutcome::error_opening, unit_path(unit)};
        }
    }
    return std::nullopt;
}

std::optional<Outcome> mask_unit(int directory, const UnitMask& mask)
{
    if (mask.how == Mask::empty_file) {
        // Replaces the package's link whole; the copy's rename syncs the directory.
        std::optional<PendingFile> empty = PendingFile::create(directory, mask.unit);
        if (!empty)
            return Outcome{RewriteOutcome::error_creating_temporary, unit_path(mask.unit)};
        switch (empty->commit(own_attributes)) {
        case PendingFile::Commit::done:
            return std::nullopt;
        case PendingFile::Commit::not_written:
            return Outcome{RewriteOutcome::error_writing_temporary, unit_path(mask.unit)};
        case PendingFile::Commit::not_replaced:
            break;
        }
        return Outcome{RewriteOutcome::error_replacing, unit_path(mask.unit)};
    }
    // A new name appears whole or not at all, and never replaces what someone put there since.
    if (::symlinkat(mask_target.data(), directory, mask.unit) != 0)
        return Outcome{RewriteOutcome::error_replacing, unit_path(mask.unit)};
    // The new link is on disk only once the directory itself is synced.
    if (::fsync(directory) != 0)
        return Outcome{RewriteOutcome::error_replacing, unit_path(mask.unit)};
    return std::nullopt;
}

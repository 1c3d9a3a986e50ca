// The sound server's per-user units. Where the service manager runs the user sessions, it
// starts them at every login or on a client's connection, whatever autospawn says. Masked for
// every user, they start for no one; and a mask survives package upgrades.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "outcome.hpp"
#include "regular_files.hpp"

// Where `systemctl --global mask` puts its masks.
inline constexpr const char* user_unit_directory_path = "/etc/systemd/user";
inline constexpr std::array<const char*, 2> sound_server_units = {"pulseaudio.socket",
                                                                  "pulseaudio.service"};

// Where Debian's packages note each mask that their own scripts made, so that installing the
// package again takes it back: a link to "/dev/null" with such a note is removed then.
inline constexpr const char* package_masks_path = "/var/lib/systemd/deb-systemd-user-helper-masked";

// How a unit is to be masked.
enum class Mask {
    link,       // a new link to /dev/null, as `systemctl --global mask` makes it
    empty_file, // an empty file in place of a package's link, which no package script removes
};
struct UnitMask {
    const char* unit;
    Mask how;
};

// Looks at each unit's path in the directory, and at the packages' notes, and changes nothing;
// adds the units to mask, in the order to mask them: none when all are masked to last already,
// or the directory is absent (then nothing is started per user). Anything there but a mask is
// the administrator's own, which is never overwritten: a failure.
std::optional<Outcome> learn_user_units(const WorkDirectory& directory,
                                        std::vector<UnitMask>& masks);
// Masks a unit in the open directory as planned, whole or not at all, then syncs the directory.
std::optional<Outcome> mask_unit(int directory, const UnitMask& mask);

// The sound server's per-user units. Where the service manager runs the user sessions, it
// starts them at every login or on a client's connection, whatever autospawn says. Masked for
// every user, they start for no one; and a mask survives package upgrades.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "system_files.hpp"

// Where `systemctl --global mask` puts its masks.
inline constexpr const char* user_unit_directory_path = "/etc/systemd/user";
inline constexpr std::array<const char*, 2> sound_server_units = {"pulseaudio.socket",
                                                                  "pulseaudio.service"};

// The units to mask, in the order to mask them: none when all are masked already.
struct UserUnits {
    Directory directory; // null when there is none: then nothing is started per user
    std::vector<const char*> to_mask;
};

// Looks at each unit's path and changes nothing. Anything there but a mask is the
// administrator's own, which is never overwritten: a failure.
std::optional<Failure> learn_user_units(UserUnits& units);
// Masks unit in units.directory with one new symbolic link, then syncs the directory.
std::optional<Failure> mask_unit(const UserUnits& units, const char* unit);

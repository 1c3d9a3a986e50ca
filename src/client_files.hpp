// The files the client library reads its settings from: which they are, in which order, what
// each says, and which of them to rewrite so that autospawn ends up off.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "outcome.hpp"
#include "regular_files.hpp"
#include "rewrite.hpp"

inline constexpr const char* client_conf_path = "/etc/pulse/client.conf";
// Holds client.conf and its copy, client.conf.tmp, so that the rename stays within one file
// system; synced so that the rename survives a crash.
inline constexpr const char* pulse_directory_path = "/etc/pulse";
// Read after client.conf, each file overriding what came before it.
inline constexpr const char* drop_in_directory_path = "/etc/pulse/client.conf.d";
// The library reads only the names that end in it; the temporary copies do not.
inline constexpr std::string_view drop_in_suffix = ".conf";

// Reads client.conf, every drop-in and every file they include, and changes nothing; adds the
// files to rewrite so that the library ends up with autospawn off, in the order to rewrite
// them: none when it is off already. Among them the tool's own drop-ins (own_drop_in_99 and
// own_drop_in_zz), one of which every locale reads after the packages'
// ("01-enable-autospawn.conf", Gentoo's "enable-autospawn.conf"), and any other drop-in that
// could switch autospawn on and that some locale reads after both. No package owns the own
// drop-ins, so upgrades leave them alone.
// Refuses where autospawn could not be made off for every user in every locale: without a
// change outside the directories of client.conf and the drop-ins, where the library stops
// reading before the tool's setting, or where not every user may read client.conf or, when
// the tool's own drop-ins are needed, list the drop-ins.
std::optional<Outcome> learn_client_files(const WorkDirectory& pulse_directory,
                                          const WorkDirectory& drop_in_directory,
                                          std::vector<RewriteTarget>& targets);

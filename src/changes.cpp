#include "changes.hpp"

#include <algorithm>

#include "client_files.hpp"

std::vector<int> Changes::changed_directories() const
{
    std::vector<int> found;
    for (const RewriteTarget& target : rewrites)
        if (std::find(found.begin(), found.end(), target.directory) == found.end())
            found.push_back(target.directory);
    if (!masks.empty())
        found.push_back(directories.user_units.fd());
    return found;
}

std::optional<Outcome> learn_changes(Changes& changes)
{
    WorkDirectories& directories = changes.directories;
    directories = {.pulse = open_work_directory(pulse_directory_path),
                   .drop_ins = open_work_directory(drop_in_directory_path),
                   .user_units = open_work_directory(user_unit_directory_path)};
    // client.conf is there, so its directory is too: what it is not is the copy's place.
    std::optional<Outcome> failure;
    if (directories.pulse.state != WorkDirectory::State::open)
        failure = Outcome{RewriteOutcome::error_creating_temporary, pulse_directory_path};
    if (!failure)
        failure = learn_client_files(directories.pulse, directories.drop_ins, changes.rewrites);
    if (!failure)
        failure = learn_user_units(directories.user_units, changes.masks);
    // A refusal changes nothing, so it needs nowhere to write.
    if (failure)
        changes = {};
    return failure;
}

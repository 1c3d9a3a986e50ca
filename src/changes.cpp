#include "changes.hpp"

#include <algorithm>

std::vector<int> Changes::directories() const
{
    std::vector<int> found;
    for (const RewriteTarget& target : client_files.targets)
        if (std::find(found.begin(), found.end(), target.directory) == found.end())
            found.push_back(target.directory);
    if (!user_units.to_mask.empty())
        found.push_back(::dirfd(user_units.directory.get()));
    return found;
}

std::optional<Outcome> learn_changes(int pulse_directory, Changes& changes)
{
    std::optional<Outcome> failure = learn_client_files(pulse_directory, changes.client_files);
    if (!failure)
        failure = learn_user_units(changes.user_units);
    // A refusal changes nothing, so it needs nowhere to write.
    if (failure)
        changes = {};
    return failure;
}

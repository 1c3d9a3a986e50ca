#include "changes.hpp"

std::optional<Failure> learn_changes(int pulse_directory, Changes& changes)
{
    if (std::optional<Failure> failure = learn_client_files(pulse_directory, changes.client_files))
        return failure;
    return learn_user_units(changes.user_units);
}

// The list of changes: everything a run will change, learnt in full before the first change
// is made, together with the open directories that the changes are made in.
#pragma once

#include <optional>
#include <vector>

#include "client_files.hpp"
#include "outcome.hpp"
#include "system_files.hpp"
#include "user_units.hpp"

struct Changes {
    ClientFiles client_files; // the files to rewrite, each naming its directory
    UserUnits user_units;     // the units to mask, and their directory

    [[nodiscard]] bool empty() const
    {
        return client_files.targets.empty() && user_units.to_mask.empty();
    }
    // The directories that something is changed in, each once, as they were opened.
    [[nodiscard]] std::vector<int> directories() const;
};

// Looks at every file and unit concerned, with pulse_directory open, and changes nothing; so
// a refusal, or an error found while looking, leaves every file as it was. After a failure,
// changes is empty.
std::optional<Outcome> learn_changes(int pulse_directory, Changes& changes);

// The list of changes: everything a run will change, learnt in full before the first change
// is made, together with the directories that the run works in.
#pragma once

#include <optional>
#include <vector>

#include "outcome.hpp"
#include "regular_files.hpp"
#include "rewrite.hpp"
#include "user_units.hpp"

// Each opened once, before anything in it is read, and held until the run ends.
struct WorkDirectories {
    WorkDirectory pulse;      // client.conf and the files beside it
    WorkDirectory drop_ins;   // client.conf.d
    WorkDirectory user_units; // the per-user units' masks
};

struct Changes {
    WorkDirectories directories;
    std::vector<RewriteTarget> rewrites; // client.conf first
    std::vector<UnitMask> masks;

    [[nodiscard]] bool empty() const { return rewrites.empty() && masks.empty(); }
    // The directories that something is changed in, each once.
    [[nodiscard]] std::vector<int> changed_directories() const;
};

// Opens the directories, looks at every file and unit concerned, and changes nothing; so a
// refusal, or an error found while looking, leaves every file as it was. After a failure,
// changes is empty.
std::optional<Outcome> learn_changes(Changes& changes);

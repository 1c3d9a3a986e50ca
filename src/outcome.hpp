// How a run ends, and the one sentence that says so.
#pragma once

#include <string>

// Each value is one sentence; those of the errors name the file concerned.
enum class RewriteOutcome {
    already_disabled, // nothing needed changing
    disabled_now,     // every change was made
    not_root,
    not_installed, // no client.conf
    error_opening,
    error_reading,
    error_reading_directory,
    error_creating_temporary, // its sentence names no file
    error_writing_temporary,  // its sentence names no file
    error_replacing,
};

struct Outcome {
    RewriteOutcome kind;
    std::string path{}; // what an error's sentence names
};

std::string sentence(const Outcome& outcome);

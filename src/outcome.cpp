#include "outcome.hpp"

std::string sentence(const Outcome& outcome)
{
    switch (outcome.kind) {
    case RewriteOutcome::already_disabled:
        return "Pulseaudio autostart has been disabled before. It's all right.";
    case RewriteOutcome::disabled_now:
        return "Pulseaudio autostart is disabled. Please reboot the computer!";
    case RewriteOutcome::not_root:
        return "Error! Please run this program as Root User!";
    case RewriteOutcome::not_installed:
        return "Pulseaudio is not installed. It's all right.";
    case RewriteOutcome::error_opening:
        return "Error opening file " + outcome.path;
    case RewriteOutcome::error_reading:
        return "Error reading file " + outcome.path;
    case RewriteOutcome::error_reading_directory:
        return "Error reading directory " + outcome.path;
    case RewriteOutcome::error_creating_temporary:
        return "Error creating temporary file";
    case RewriteOutcome::error_writing_temporary:
        return "Error writing temporary file";
    case RewriteOutcome::error_replacing:
        return "Error replacing file " + outcome.path;
    }
    return {}; // not reached: every value is handled above
}

// pulse-autospawn-off: switches off the sound server's automatic start for every user: in
// /etc/pulse/client.conf, in two drop-ins of its own and in any other file that would switch it
// on again, so that the client library ends up with autospawn off in every locale, and by
// masking the per-user units that the service manager would start; then says in one sentence
// what happened.
#include "changes.hpp"
#include "client_files.hpp"
#include "confinement.hpp"
#include "descriptors.hpp"
#include "outcome.hpp"
#include "regular_files.hpp"
#include "rewrite.hpp"
#include "user_units.hpp"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include <unistd.h>

namespace {

// In root's own directory, so that no other user can open it, let alone hold it; the lock goes
// with the machine's next boot.
constexpr const char* lock_path = "/run/pulse-autospawn-off.lock";
// Long enough for any other run to finish, short enough that a stuck one is reported.
constexpr long lock_patience_ms = 10000;

// Standard output is the tool's only channel, so a failed message has nowhere to be reported.
void say(std::string_view text)
{
    (void)std::printf("%.*s\n", static_cast<int>(text.size()), text.data());
    (void)std::fflush(stdout);
}

// Every run ends with one sentence and exit status 0.
int finish(const Outcome& outcome)
{
    say(sentence(outcome));
    return 0;
}

} // namespace

int main()
{
    say("");
    say("");
    if (::geteuid() != 0)
        return finish({RewriteOutcome::not_root});
    // Only a missing file means the sound server is absent. Whatever else is there must be a
    // regular file, and is not opened otherwise: a FIFO would block, a device never end.
    const FileState conf_state = inspect(client_conf_path);
    if (conf_state == FileState::missing)
        return finish({RewriteOutcome::not_installed});
    if (conf_state != FileState::regular)
        return finish({RewriteOutcome::error_opening, client_conf_path});
    // Runs share the temporary paths: a second run waits here, then reads the finished files.
    // Held until main returns, after every change.
    const FileDescriptor lock = lock_exclusively(lock_path, lock_patience_ms);
    if (!lock.valid())
        return finish({RewriteOutcome::error_creating_temporary, pulse_directory_path});

    Changes changes;
    const std::optional<Outcome> learning_failure = learn_changes(changes);
    // Whatever was learnt, the kernel refuses from here on every write that it does not need.
    confine_to(changes.changed_directories());
    if (learning_failure)
        return finish(*learning_failure);
    if (changes.empty())
        return finish({RewriteOutcome::already_disabled});

    // One by one, client.conf first and the masks last; the first failure ends the run, and
    // what was done before it stays done for the next run to build on.
    for (const RewriteTarget& target : changes.rewrites)
        if (const std::optional<Outcome> failure = rewrite_target(target))
            return finish(*failure);
    for (const UnitMask& mask : changes.masks)
        if (const std::optional<Outcome> failure =
                mask_unit(changes.directories.user_units.fd(), mask))
            return finish(*failure);
    return finish({RewriteOutcome::disabled_now});
}

#include "confinement.hpp"

#include <cstdint>

#include <sys/prctl.h>
#include <unistd.h>

#include "descriptors.hpp"
#include "landlock.hpp"

namespace {

using namespace landlock;

// The first ABI that knows each right used here beyond the first ABI's.
constexpr int refer_abi = 2;
constexpr int truncate_abi = 3;
constexpr int network_abi = 4;
constexpr int scoping_abi = 6;

// What beneath the writable directories the changes need: replacing a file through a copy
// beside it, and making a mask.
constexpr std::uint64_t file_writes =
    fs_write_file | fs_remove_file | fs_make_reg | fs_make_sym | fs_truncate;
// Refused everywhere: nothing of the tool's own is a directory, device, FIFO or socket, it
// never moves a file from one directory to another, and it starts no program.
constexpr std::uint64_t refused_everywhere = fs_remove_dir | fs_make_char | fs_make_dir |
                                             fs_make_sock | fs_make_fifo | fs_make_block |
                                             fs_refer | fs_execute;

// The file-system rights that a kernel of this ABI knows, of those handled here.
std::uint64_t known_rights(int abi)
{
    std::uint64_t rights = file_writes | refused_everywhere;
    if (abi < truncate_abi)
        rights &= ~fs_truncate;
    if (abi < refer_abi)
        rights &= ~fs_refer;
    return rights;
}

} // namespace

int landlock_abi()
{
    // Fails with ENOSYS or EOPNOTSUPP where the kernel has no Landlock.
    const long abi =
        ::syscall(create_ruleset_call, nullptr, std::size_t{0}, create_ruleset_version);
    return abi > 0 ? static_cast<int>(abi) : 0;
}

void confine_to(const std::vector<int>& writable_directories)
{
    // Landlock requires it; and the tool runs nothing that could gain privileges anyway.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return;
    const int abi = landlock_abi();
    if (abi == 0)
        return; // nothing to confine with
    const RulesetAttributes attributes{
        .handled_access_fs = known_rights(abi),
        .handled_access_net = abi >= network_abi ? net_bind_tcp | net_connect_tcp : 0,
        .scoped = abi >= scoping_abi ? scope_abstract_unix_socket | scope_signal : 0,
    };
    const FileDescriptor ruleset{
        static_cast<int>(::syscall(create_ruleset_call, &attributes, sizeof attributes, 0))};
    if (!ruleset.valid())
        return;
    for (const int directory : writable_directories) {
        const PathBeneathAttributes rule{
            .allowed_access = file_writes & attributes.handled_access_fs,
            .parent_fd = directory,
        };
        // Half a ruleset would refuse a change that the run is about to make.
        if (::syscall(add_rule_call, ruleset.get(), rule_path_beneath, &rule, 0) != 0)
            return;
    }
    // Should it fail, the run goes on unconfined, as on a kernel without Landlock.
    (void)::syscall(restrict_self_call, ruleset.get(), 0);
}

#include "confinement.hpp"

#include <cstddef>
#include <cstdint>

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "system_files.hpp"

// The kernel's interface is stable, so a binary built against any headers confines a run as
// fully as the running kernel allows. What older headers lack is defined here as the kernel
// defines it; each right is used only where the kernel's ABI number says that it knows it.
#if __has_include(<linux/landlock.h>)
#include <linux/landlock.h>
#else // before Linux 5.13: the first ABI
#define LANDLOCK_CREATE_RULESET_VERSION (1U << 0)
#define LANDLOCK_RULE_PATH_BENEATH 1
#define LANDLOCK_ACCESS_FS_EXECUTE (1ULL << 0)
#define LANDLOCK_ACCESS_FS_WRITE_FILE (1ULL << 1)
#define LANDLOCK_ACCESS_FS_REMOVE_DIR (1ULL << 4)
#define LANDLOCK_ACCESS_FS_REMOVE_FILE (1ULL << 5)
#define LANDLOCK_ACCESS_FS_MAKE_CHAR (1ULL << 6)
#define LANDLOCK_ACCESS_FS_MAKE_DIR (1ULL << 7)
#define LANDLOCK_ACCESS_FS_MAKE_REG (1ULL << 8)
#define LANDLOCK_ACCESS_FS_MAKE_SOCK (1ULL << 9)
#define LANDLOCK_ACCESS_FS_MAKE_FIFO (1ULL << 10)
#define LANDLOCK_ACCESS_FS_MAKE_BLOCK (1ULL << 11)
#define LANDLOCK_ACCESS_FS_MAKE_SYM (1ULL << 12)
#endif
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif
// A C library older than 2.34 or so does not name the calls; their numbers are the same on
// every architecture but alpha.
#ifndef SYS_landlock_create_ruleset
#ifdef __alpha__
#define SYS_landlock_create_ruleset 554
#define SYS_landlock_add_rule 555
#define SYS_landlock_restrict_self 556
#else
#define SYS_landlock_create_ruleset 444
#define SYS_landlock_add_rule 445
#define SYS_landlock_restrict_self 446
#endif
#endif

namespace {

// The ruleset's attributes as today's kernels know them; an older kernel accepts the larger
// size as long as the fields it does not know are zero.
struct RulesetAttributes {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net; // ABI 4
    std::uint64_t scoped;             // ABI 6
};

// A rule for a directory and everything beneath it, laid out as the kernel reads it.
struct [[gnu::packed]] PathBeneathAttributes {
    std::uint64_t allowed_access;
    std::int32_t parent_fd;
};

// The first ABI that knows each right used here beyond the first ABI's.
constexpr int refer_abi = 2;
constexpr int truncate_abi = 3;
constexpr int network_abi = 4;
constexpr int scoping_abi = 6;

// What beneath the writable directories the changes need: replacing a file through a copy
// beside it, and making a mask.
constexpr std::uint64_t file_writes = LANDLOCK_ACCESS_FS_WRITE_FILE |
                                      LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_REG |
                                      LANDLOCK_ACCESS_FS_MAKE_SYM | LANDLOCK_ACCESS_FS_TRUNCATE;
// Refused everywhere: nothing of the tool's own is a directory, device, FIFO or socket, it
// never moves a file from one directory to another, and it starts no program.
constexpr std::uint64_t refused_everywhere =
    LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR |
    LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
    LANDLOCK_ACCESS_FS_REFER | LANDLOCK_ACCESS_FS_EXECUTE;

// The file-system rights that a kernel of this ABI knows, of those handled here.
std::uint64_t known_rights(int abi)
{
    std::uint64_t rights = file_writes | refused_everywhere;
    if (abi < truncate_abi)
        rights &= ~LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi < refer_abi)
        rights &= ~LANDLOCK_ACCESS_FS_REFER;
    return rights;
}

} // namespace

int landlock_abi()
{
    // Fails with ENOSYS or EOPNOTSUPP where the kernel has no Landlock.
    const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, std::size_t{0},
                               LANDLOCK_CREATE_RULESET_VERSION);
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
        .handled_access_net =
            abi >= network_abi ? LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP : 0,
        .scoped =
            abi >= scoping_abi ? LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL : 0,
    };
    const FileDescriptor ruleset{static_cast<int>(
        ::syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0))};
    if (!ruleset.valid())
        return;
    for (const int directory : writable_directories) {
        const PathBeneathAttributes rule{
            .allowed_access = file_writes & attributes.handled_access_fs,
            .parent_fd = directory,
        };
        // Half a ruleset would refuse a change that the run is about to make.
        if (::syscall(SYS_landlock_add_rule, ruleset.get(), LANDLOCK_RULE_PATH_BENEATH, &rule, 0) !=
            0)
            return;
    }
    // Should it fail, the run goes on unconfined, as on a kernel without Landlock.
    (void)::syscall(SYS_landlock_restrict_self, ruleset.get(), 0);
}

// Landlock's interface as the kernel defines it: the system calls, the rights and the
// attributes that the confinement passes.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/syscall.h>

// The kernel's interface is stable, so a binary built against any headers confines a run as
// fully as the running kernel allows. The tool's own definitions are the kernel's, used on
// every machine; wherever a header names the same thing, the build checks that both agree.
// Each right is used only where the kernel's ABI number says that it knows it.
#if __has_include(<linux/landlock.h>)
#include <linux/landlock.h>
#endif

namespace landlock {

inline constexpr std::uint64_t fs_right(int bit)
{
    return std::uint64_t{1} << bit;
}
inline constexpr unsigned create_ruleset_version = 1U << 0;
inline constexpr int rule_path_beneath = 1;
inline constexpr std::uint64_t fs_execute = fs_right(0);
inline constexpr std::uint64_t fs_write_file = fs_right(1);
inline constexpr std::uint64_t fs_remove_dir = fs_right(4);
inline constexpr std::uint64_t fs_remove_file = fs_right(5);
inline constexpr std::uint64_t fs_make_char = fs_right(6);
inline constexpr std::uint64_t fs_make_dir = fs_right(7);
inline constexpr std::uint64_t fs_make_reg = fs_right(8);
inline constexpr std::uint64_t fs_make_sock = fs_right(9);
inline constexpr std::uint64_t fs_make_fifo = fs_right(10);
inline constexpr std::uint64_t fs_make_block = fs_right(11);
inline constexpr std::uint64_t fs_make_sym = fs_right(12);
inline constexpr std::uint64_t fs_refer = fs_right(13);    // ABI 2
inline constexpr std::uint64_t fs_truncate = fs_right(14); // ABI 3
inline constexpr std::uint64_t net_bind_tcp = 1ULL << 0;   // ABI 4
inline constexpr std::uint64_t net_connect_tcp = 1ULL << 1;
inline constexpr std::uint64_t scope_abstract_unix_socket = 1ULL << 0; // ABI 6
inline constexpr std::uint64_t scope_signal = 1ULL << 1;
// The same on every architecture but alpha, where 110 is added.
#ifdef __alpha__
inline constexpr long create_ruleset_call = 554;
#else
inline constexpr long create_ruleset_call = 444;
#endif
inline constexpr long add_rule_call = create_ruleset_call + 1;
inline constexpr long restrict_self_call = create_ruleset_call + 2;

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

#ifdef LANDLOCK_CREATE_RULESET_VERSION // Linux 5.13's header: the first ABI
static_assert(create_ruleset_version == LANDLOCK_CREATE_RULESET_VERSION);
static_assert(rule_path_beneath == LANDLOCK_RULE_PATH_BENEATH);
static_assert(fs_execute == LANDLOCK_ACCESS_FS_EXECUTE);
static_assert(fs_write_file == LANDLOCK_ACCESS_FS_WRITE_FILE);
static_assert(fs_remove_dir == LANDLOCK_ACCESS_FS_REMOVE_DIR);
static_assert(fs_remove_file == LANDLOCK_ACCESS_FS_REMOVE_FILE);
static_assert(fs_make_char == LANDLOCK_ACCESS_FS_MAKE_CHAR);
static_assert(fs_make_dir == LANDLOCK_ACCESS_FS_MAKE_DIR);
static_assert(fs_make_reg == LANDLOCK_ACCESS_FS_MAKE_REG);
static_assert(fs_make_sock == LANDLOCK_ACCESS_FS_MAKE_SOCK);
static_assert(fs_make_fifo == LANDLOCK_ACCESS_FS_MAKE_FIFO);
static_assert(fs_make_block == LANDLOCK_ACCESS_FS_MAKE_BLOCK);
static_assert(fs_make_sym == LANDLOCK_ACCESS_FS_MAKE_SYM);
static_assert(offsetof(RulesetAttributes, handled_access_fs) ==
              offsetof(landlock_ruleset_attr, handled_access_fs));
static_assert(sizeof(PathBeneathAttributes) == sizeof(landlock_path_beneath_attr));
static_assert(offsetof(PathBeneathAttributes, allowed_access) ==
              offsetof(landlock_path_beneath_attr, allowed_access));
static_assert(offsetof(PathBeneathAttributes, parent_fd) ==
              offsetof(landlock_path_beneath_attr, parent_fd));
#endif
#ifdef LANDLOCK_ACCESS_FS_REFER
static_assert(fs_refer == LANDLOCK_ACCESS_FS_REFER);
#endif
#ifdef LANDLOCK_ACCESS_FS_TRUNCATE
static_assert(fs_truncate == LANDLOCK_ACCESS_FS_TRUNCATE);
#endif
#ifdef LANDLOCK_ACCESS_NET_BIND_TCP // with the ruleset's second field
static_assert(net_bind_tcp == LANDLOCK_ACCESS_NET_BIND_TCP);
static_assert(net_connect_tcp == LANDLOCK_ACCESS_NET_CONNECT_TCP);
static_assert(offsetof(RulesetAttributes, handled_access_net) ==
              offsetof(landlock_ruleset_attr, handled_access_net));
#endif
#ifdef LANDLOCK_SCOPE_SIGNAL // with the third
static_assert(scope_abstract_unix_socket == LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET);
static_assert(scope_signal == LANDLOCK_SCOPE_SIGNAL);
static_assert(offsetof(RulesetAttributes, scoped) == offsetof(landlock_ruleset_attr, scoped));
#endif
#ifdef SYS_landlock_create_ruleset // the C library's names
static_assert(create_ruleset_call == SYS_landlock_create_ruleset);
static_assert(add_rule_call == SYS_landlock_add_rule);
static_assert(restrict_self_call == SYS_landlock_restrict_self);
#endif

} // namespace landlock

// What the probe preloaded into the tool tries, and in which order it reports the results.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Of /etc, where the tool's changes are made, and outside it.
inline constexpr std::array<const char*, 6> probed_directories = {
    "/etc", "/etc/pulse", "/etc/pulse/client.conf.d", "/etc/systemd", "/etc/systemd/user", "/run"};

struct ProbedTry {
    const char* name;
    bool writable_allows; // whether it may work beneath a writable directory
    const char* refusal;  // the error that refuses it
    int refused_from_abi; // the first Landlock ABI that refuses it
};
// Tried in each probed directory, in this order: make a file, a directory, a FIFO and a
// symbolic link, truncate and unlink a file, and start a program there.
inline constexpr std::array<ProbedTry, 7> probed_writes = {{
    {"file", true, "EACCES", 1},
    {"directory", false, "EACCES", 1},
    {"fifo", false, "EACCES", 1},
    {"link", true, "EACCES", 1},
    {"truncate", true, "EACCES", 3},
    {"unlink", true, "EACCES", 1},
    {"execute", false, "EACCES", 1},
}};
// Then once each: a TCP connection, a signal to the tool's parent, and a connection to an
// abstract Unix socket opened before the tool's main.
inline constexpr std::array<ProbedTry, 3> probed_reaches = {{
    {"tcp", false, "EACCES", 4},
    {"signal", false, "EPERM", 6},
    {"abstract-socket", false, "EPERM", 6},
}};
// A closed port on the loopback address: unconfined, the connection is refused by the peer.
inline constexpr int probed_port = 9;
// Every name the probe leaves in a probed directory starts with it.
inline constexpr const char* probe_prefix = "confinement-probe.";

// Where set, to an ABI below this kernel's, the probe answers the tool's Landlock calls as a
// kernel of that ABI would: it reports that ABI, and refuses a ruleset that names a right or a
// field that the ABI does not know, as such a kernel refuses it whole.
inline constexpr const char* emulated_abi_variable = "PROBE_LANDLOCK_ABI";
// What each ABI knows, from the kernel's table of which ABI brought which right.
struct KnownToAbi {
    std::uint64_t filesystem;    // rights, as bits
    std::size_t attributes_size; // of the ruleset's attributes
    std::uint64_t network;
    std::uint64_t scopes;
};
inline constexpr std::array<KnownToAbi, 6> known_to_abi = {{
    {(1ULL << 13) - 1, 8, 0, 0},  // 1: EXECUTE to MAKE_SYM
    {(1ULL << 14) - 1, 8, 0, 0},  // 2: REFER
    {(1ULL << 15) - 1, 8, 0, 0},  // 3: TRUNCATE
    {(1ULL << 15) - 1, 16, 3, 0}, // 4: TCP bind and connect
    {(1ULL << 16) - 1, 16, 3, 0}, // 5: IOCTL_DEV
    {(1ULL << 16) - 1, 24, 3, 3}, // 6: abstract sockets and signals
}};

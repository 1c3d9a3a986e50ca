// What the probe preloaded into the tool tries, and in which order it reports the results.
#pragma once

#include <array>

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

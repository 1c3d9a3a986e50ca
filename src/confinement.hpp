// Asks the kernel, through Landlock, to refuse this process every write outside the
// directories that its changes are made in, the network, and starting any program. Best
// effort: where the kernel offers less, the run uses what there is, or goes on unconfined,
// exactly as before.
#pragma once

#include <vector>

// The Landlock ABI of the running kernel, or 0 where it has none (or has it switched off).
int landlock_abi();

// Lasts for the rest of the process's life. writable_directories are open directories: files
// and symbolic links may be created, written, truncated, renamed and removed beneath them, and
// nowhere else; directories, devices, FIFOs and sockets nowhere at all, and no program is
// started. Reads stay as they are.
void confine_to(const std::vector<int>& writable_directories);

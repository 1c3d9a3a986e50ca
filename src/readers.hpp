// Who may read a file, as the kernel decides it for every user.
#pragma once

// Who may read a file: every user, whoever they are and whatever groups they are in, or not.
enum class Readers {
    everyone,
    not_everyone,
    unknown, // something of that could not be learnt
};
// Whether every user may read what stands at path (and, for a directory, also look inside it):
// it, and every directory that the kernel looks a name up in on the way, link by link, allows
// that to its owner, its group and others, and to every user and group its access control list
// names, where it has one.
Readers readable_by_everyone(const char* path);

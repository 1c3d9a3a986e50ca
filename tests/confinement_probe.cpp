// Preloaded into the tool: once its main has returned, tries to make a file in each probed
// directory and to connect over TCP, and reports each result on standard error as
// "DIRECTORY ok" or "DIRECTORY ERRNO-NAME", then "tcp ...".
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "confinement_probe.hpp"

namespace {

// The names the tests expect; strerrorname_np is too new for older C libraries.
std::string errno_name(int error)
{
    switch (error) {
    case EACCES:
        return "EACCES";
    case EPERM:
        return "EPERM";
    case ENOENT:
        return "ENOENT";
    case ECONNREFUSED:
        return "ECONNREFUSED";
    }
    return "errno " + std::to_string(error);
}

void report(const char* what, bool succeeded)
{
    const int error = errno;
    (void)std::fprintf(stderr, "%s %s\n", what, succeeded ? "ok" : errno_name(error).c_str());
}

[[gnu::destructor]] void probe()
{
    for (const char* directory : probed_directories) {
        const std::string path =
            std::string{directory} + "/confinement-probe." + std::to_string(::getpid());
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        report(directory, fd >= 0);
        if (fd >= 0) {
            (void)::close(fd);
            (void)::unlink(path.c_str());
        }
    }
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(probed_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    report("tcp",
           ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0);
    (void)::close(socket);
}

} // namespace

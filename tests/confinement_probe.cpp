// Preloaded into the tool. Before its main, leaves in each probed directory a file to truncate,
// one to unlink and a program to start, and opens an abstract Unix socket; once main has
// returned, tries each probed write in each probed directory, then each probed reach, and
// reports each result on standard error as "WHERE TRY ok" or "WHERE TRY ERRNO-NAME", with "-"
// for WHERE of the reaches. What it leaves behind is for the test to remove. It also stands in
// for an older kernel, where the test asks it to.
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "confinement_probe.hpp"

namespace {

#ifdef SYS_landlock_create_ruleset
constexpr long landlock_create_ruleset_call = SYS_landlock_create_ruleset;
#else
constexpr long landlock_create_ruleset_call = 444; // a C library that does not name it
#endif

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

void report(const std::string& where, const char* what, bool succeeded)
{
    const int error = errno;
    (void)std::fprintf(stderr, "%s %s %s\n", where.c_str(), what,
                       succeeded ? "ok" : errno_name(error).c_str());
}

// Keeps the errno of the try before it, which is what is reported.
void close_after_try(int fd)
{
    const int error = errno;
    (void)::close(fd);
    errno = error;
}

std::string path(const char* directory, const char* name)
{
    return std::string{directory} + '/' + probe_prefix + name;
}

// Unique on the machine, as the abstract namespace is shared.
sockaddr_un abstract_address()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    (void)std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "%s%d", probe_prefix,
                        ::getpid());
    return address;
}

// Needs no loader, so only where it stands decides whether it may start: Debian's ldconfig is
// linked statically.
constexpr const char* program = "/sbin/ldconfig";

[[gnu::constructor]] void prepare()
{
    for (const char* directory : probed_directories) {
        std::ofstream{path(directory, "truncate")} << "bytes to truncate\n";
        std::ofstream{path(directory, "unlink")} << "";
        std::error_code ignored; // a directory that is not there
        std::filesystem::copy_file(program, path(directory, "execute"),
                                   std::filesystem::copy_options::overwrite_existing, ignored);
    }
    const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0); // open until the process ends
    const sockaddr_un address = abstract_address();
    (void)::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    (void)::listen(listening, 1);
}

// Starts the program in a child, which reports a failed execve through a pipe that a
// successful one closes.
bool started(const std::string& program_path)
{
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        return false;
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        (void)::unsetenv("LD_PRELOAD"); // the program is not to load the probe again
        (void)::close(STDOUT_FILENO);
        (void)::close(STDERR_FILENO);
        const char* const arguments[] = {program, "--version", nullptr};
        (void)::execv(program_path.c_str(), const_cast<char* const*>(arguments));
        const int error = errno;
        ::_exit(::write(pipe[1], &error, sizeof error) == sizeof error ? 127 : 126);
    }
    (void)::close(pipe[1]);
    int error = 0;
    const bool failed = ::read(pipe[0], &error, sizeof error) == sizeof error;
    (void)::close(pipe[0]);
    (void)::waitpid(child, nullptr, 0);
    errno = failed ? error : 0;
    return !failed;
}

// In the order of probed_writes, each given the directory.
const std::array<bool (*)(const char*), probed_writes.size()> writes = {
    [](const char* directory) {
        const int fd =
            ::open(path(directory, "file").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        close_after_try(fd);
        return fd >= 0;
    },
    [](const char* directory) { return ::mkdir(path(directory, "directory").c_str(), 0700) == 0; },
    [](const char* directory) { return ::mkfifo(path(directory, "fifo").c_str(), 0600) == 0; },
    [](const char* directory) {
        return ::symlink("nowhere", path(directory, "link").c_str()) == 0;
    },
    [](const char* directory) { return ::truncate(path(directory, "truncate").c_str(), 0) == 0; },
    [](const char* directory) { return ::unlink(path(directory, "unlink").c_str()) == 0; },
    [](const char* directory) { return started(path(directory, "execute")); },
};

// In the order of probed_reaches.
const std::array<bool (*)(), probed_reaches.size()> reaches = {
    [] {
        const int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in loopback{};
        loopback.sin_family = AF_INET;
        loopback.sin_port = htons(probed_port);
        loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool connected =
            ::connect(tcp, reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback) == 0;
        close_after_try(tcp);
        return connected;
    },
    [] { return ::kill(::getppid(), 0) == 0; }, // signal 0 only asks
    [] {
        const int unix_socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address = abstract_address();
        const bool connected = ::connect(unix_socket, reinterpret_cast<const sockaddr*>(&address),
                                         sizeof address) == 0;
        close_after_try(unix_socket);
        return connected;
    },
};

[[gnu::destructor]] void probe()
{
    for (const char* directory : probed_directories)
        for (std::size_t i = 0; i < writes.size(); ++i)
            report(directory, probed_writes[i].name, writes[i](directory));
    for (std::size_t i = 0; i < reaches.size(); ++i)
        report("-", probed_reaches[i].name, reaches[i]());
}

// The emulated ABI, or -1 for this kernel's own.
int emulated_abi()
{
    static const int abi = [] {
        const char* text = std::getenv(emulated_abi_variable);
        return text != nullptr ? std::atoi(text) : -1;
    }();
    return abi;
}

// landlock_create_ruleset as a kernel of the emulated ABI answers it; -2 to let this kernel.
long emulated_create_ruleset(const unsigned char* attributes, std::size_t size, long flags)
{
    constexpr long version_flag = 1;
    const int abi = emulated_abi();
    if (abi == 0) {
        errno = EOPNOTSUPP;
        return -1;
    }
    if (attributes == nullptr && size == 0 && flags == version_flag)
        return abi;
    const KnownToAbi& known = known_to_abi.at(static_cast<std::size_t>(abi) - 1);
    // A larger size is taken only where the bytes it does not know are zero.
    for (std::size_t at = known.attributes_size; at < size; ++at)
        if (attributes[at] != 0) {
            errno = E2BIG;
            return -1;
        }
    const auto field = [&](std::size_t index) {
        std::uint64_t value = 0;
        if (size >= (index + 1) * sizeof value)
            std::memcpy(&value, attributes + index * sizeof value, sizeof value);
        return value;
    };
    if ((field(0) & ~known.filesystem) != 0 || (field(1) & ~known.network) != 0 ||
        (field(2) & ~known.scopes) != 0) {
        errno = EINVAL;
        return -1;
    }
    return -2;
}

} // namespace

// Takes the tool's calls of syscall(); all but the emulated ones go on to the C library's.
long syscall(long number, ...) noexcept
{
    std::array<long, 6> arguments{};
    va_list list;
    va_start(list, number);
    for (long& argument : arguments)
        argument = va_arg(list, long);
    va_end(list);
    if (number == landlock_create_ruleset_call && emulated_abi() >= 0) {
        // syscall() passes every argument as a long, pointers included.
        // NOLINTNEXTLINE(performance-no-int-to-ptr)
        const auto* attributes = reinterpret_cast<const unsigned char*>(arguments[0]);
        const long answer = emulated_create_ruleset(
            attributes, static_cast<std::size_t>(arguments[1]), arguments[2]);
        if (answer != -2)
            return answer;
    }
    static const auto next = reinterpret_cast<long (*)(long, ...)>(::dlsym(RTLD_NEXT, "syscall"));
    return next(number, arguments[0], arguments[1], arguments[2], arguments[3], arguments[4],
                arguments[5]);
}

// Asks the real client library, in each locale given, whether it would start the sound server:
// as `pactl info` does, a context loads the configuration and connects, and the library's own
// log (PULSE_LOG) says which files it parsed and whether it tried to autospawn. The library is
// loaded once for all locales, where pactl loads it once each; each locale's log goes to its
// own file.
//   client_judge PREFIX LOCALE...    writes PREFIX.LOCALE for each
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <pulse/context.h>
#include <pulse/mainloop.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool settled(pa_context_state_t state)
{
    return state == PA_CONTEXT_READY || state == PA_CONTEXT_FAILED ||
           state == PA_CONTEXT_TERMINATED;
}

// One context's life, as pactl's: a connection to the default server, which the library may
// autospawn, until it is made or has failed.
void connect_once()
{
    pa_mainloop* loop = pa_mainloop_new();
    if (loop == nullptr)
        return;
    if (pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "client_judge")) {
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOFLAGS, nullptr) >= 0)
            while (!settled(pa_context_get_state(context)) &&
                   pa_mainloop_iterate(loop, 1, nullptr) >= 0) {
            }
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    pa_mainloop_free(loop);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        (void)std::fputs("usage: client_judge PREFIX LOCALE...\n", stderr);
        return 2;
    }
    // A process of its own for each locale, as pactl would be, without loading the library
    // again: one that waits for ever (a FIFO among the drop-ins) keeps no other from its verdict.
    for (int i = 2; i < argc; ++i) {
        const pid_t child = ::fork();
        if (child < 0) {
            std::perror("fork");
            return 1;
        }
        if (child > 0)
            continue;
        const std::string log = std::string{argv[1]} + '.' + argv[i];
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::dup2(fd, STDERR_FILENO) < 0 || ::close(fd) != 0) {
            std::perror(log.c_str());
            ::_exit(1);
        }
        // As pactl takes its locale: from LC_ALL, staying in C where it cannot be loaded.
        if (::setenv("LC_ALL", argv[i], 1) == 0)
            (void)std::setlocale(LC_ALL, "");
        connect_once();
        ::_exit(0);
    }
    int failed = 0;
    for (int status = 0; ::wait(&status) > 0;)
        failed += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    return failed == 0 ? 0 : 1;
}

// stack_landlock COUNT PROGRAM [ARG...]: runs PROGRAM inside COUNT nested
// Landlock domains, as a nested sandbox launcher would leave it. Each
// domain only forbids making FIFOs, which the server never does.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s COUNT PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        std::perror("prctl");
        return 1;
    }
    std::uint64_t make_fifo = 1ull << 10;
    for (int i = std::atoi(argv[1]); i > 0; --i) {
        long ruleset = syscall(SYS_landlock_create_ruleset, &make_fifo, sizeof make_fifo, 0);
        if (ruleset < 0 || syscall(SYS_landlock_restrict_self, ruleset, 0) != 0) {
            std::perror("landlock");
            return 1;
        }
        close(static_cast<int>(ruleset));
    }
    execv(argv[2], argv + 2);
    std::perror("execv");
    return 127;
}

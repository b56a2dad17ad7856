/* What Landlock adds to one worker: forks N children that each open a root
 * directory and a file beneath it and exit: plainly; after building and
 * applying a ruleset of their own (all file-system rights the kernel knows
 * handled, read access beneath the root allowed, TCP and scopes where
 * supported); and after applying the ruleset the parent prepared once, as a
 * quillbarrow worker does. Prints microseconds per child, in alternating
 * batches, and what each way adds. Usage: landlock_cost <dir> <file> */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

struct ruleset_attr { uint64_t fs, net, scoped; };
struct __attribute__((packed)) path_beneath { uint64_t allowed; int32_t fd; };

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

static int make_ruleset(int root, long abi)
{
    struct ruleset_attr attr = {(1ull << 13) - 1, 0, 0};
    size_t size = 8;
    if (abi >= 2) attr.fs |= 1ull << 13;
    if (abi >= 3) attr.fs |= 1ull << 14;
    if (abi >= 4) { attr.net = 3; size = 16; }
    if (abi >= 5) attr.fs |= 1ull << 15;
    if (abi >= 6) { attr.scoped = 3; size = 24; }
    int ruleset = (int)syscall(SYS_landlock_create_ruleset, &attr, size, 0);
    struct path_beneath rule = {(1ull << 2) | (1ull << 3), root};
    syscall(SYS_landlock_add_rule, ruleset, 1, &rule, 0);
    return ruleset;
}

/* How a worker restricts itself: with the ruleset the parent prepared for
 * the root (after checking that its root is that directory), or, when
 * prepared is below 0, with one of its own. */
static void confine(int root, long abi, int prepared)
{
    if (prepared >= 0) {
        struct stat status;
        fstat(root, &status);
        syscall(SYS_landlock_restrict_self, prepared, 0);
        return;
    }
    int ruleset = make_ruleset(root, abi);
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    syscall(SYS_landlock_restrict_self, ruleset, 0);
    close(ruleset);
}

enum { plain_worker, own_ruleset, prepared_ruleset };

static double batch(const char *dir, const char *file, int how, long abi, int prepared, int n)
{
    double start = now();
    for (int i = 0; i < n; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            int root = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (how != plain_worker)
                confine(root, abi, how == prepared_ruleset ? prepared : -1);
            int fd = openat(root, file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            close(fd);
            close(root);
            _exit(0);
        }
        waitpid(pid, NULL, 0);
    }
    return (now() - start) / n * 1e6;
}

static int compare(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    long abi = syscall(SYS_landlock_create_ruleset, NULL, 0, 1u);
    if (abi < 1) {
        printf("landlock: not available on this kernel\n");
        return 0;
    }
    /* As the server does: no new privileges and the ruleset, once, in the parent. */
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    int root = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int prepared = make_ruleset(root, abi);
    close(root);
    enum { rounds = 9, per_batch = 1000 };
    double plain[rounds], own[rounds], ready[rounds], own_diff[rounds], ready_diff[rounds];
    for (int r = 0; r < rounds; ++r) {
        plain[r] = batch(argv[1], argv[2], plain_worker, abi, prepared, per_batch);
        own[r] = batch(argv[1], argv[2], own_ruleset, abi, prepared, per_batch);
        ready[r] = batch(argv[1], argv[2], prepared_ruleset, abi, prepared, per_batch);
        own_diff[r] = own[r] - plain[r];
        ready_diff[r] = ready[r] - plain[r];
    }
    qsort(plain, rounds, sizeof plain[0], compare);
    qsort(own_diff, rounds, sizeof own_diff[0], compare);
    qsort(ready_diff, rounds, sizeof ready_diff[0], compare);
    printf("landlock ABI %ld: fork+open+exit %.1f us; a ruleset per worker +%.1f us, "
           "the prepared ruleset +%.1f us per worker\n",
           abi, plain[rounds / 2], own_diff[rounds / 2], ready_diff[rounds / 2]);
    return 0;
}

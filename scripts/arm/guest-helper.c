/* What the emulated machine's busybox lacks, for scripts/arm/guest-init.sh:
 *   guest-helper as-nobody PROGRAM [ARG...]   runs PROGRAM as uid and gid 65534
 *   guest-helper fetch PORT REQUEST           sends REQUEST (\r and \n written out)
 *       to 127.0.0.1:PORT and
 *       prints the response's header, then "body: N" (bytes, counted in 64
 *       bits), "nonzero: N" (bytes other than zero), then a body of up to
 *       4 KiB itself
 *   guest-helper hold PORT SECONDS            asks for /many/ and reads nothing */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int connect_to(const char* port)
{
    struct sockaddr_in address = {0};
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)atoi(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) {
        perror("connect");
        exit(1);
    }
    return fd;
}

static int fetch(const char* port, const char* text)
{
    /* The request as the shell gives it, with \r and \n written out. */
    char request[4096];
    size_t length = 0;
    for (const char* c = text; *c && length < sizeof request; ++c) {
        if (c[0] == '\\' && (c[1] == 'r' || c[1] == 'n'))
            request[length++] = *++c == 'r' ? '\r' : '\n';
        else
            request[length++] = *c;
    }
    int fd = connect_to(port);
    if (write(fd, request, length) != (ssize_t)length)
        return 1;
    static char buffer[1 << 16], head[8192], small[4097];
    size_t head_length = 0, small_length = 0;
    int in_body = 0;
    unsigned long long body = 0, nonzero = 0;
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
        for (ssize_t i = 0; i < got; ++i) {
            if (!in_body) {
                if (head_length < sizeof head - 1)
                    head[head_length++] = buffer[i];
                if (head_length >= 4 && memcmp(head + head_length - 4, "\r\n\r\n", 4) == 0)
                    in_body = 1;
                continue;
            }
            ++body;
            nonzero += buffer[i] != 0;
            if (small_length < sizeof small - 1)
                small[small_length++] = buffer[i];
        }
    }
    head[head_length] = '\0';
    small[small_length] = '\0';
    for (char* c = head; *c; ++c)
        if (*c != '\r')
            putchar(*c);
    printf("body: %llu\nnonzero: %llu\n", body, nonzero);
    if (body < sizeof small)
        fputs(small, stdout);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc >= 3 && strcmp(argv[1], "as-nobody") == 0) {
        if (setgroups(0, NULL) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            perror("as-nobody");
            return 1;
        }
        execv(argv[2], argv + 2);
        perror("execv");
        return 127;
    }
    if (argc == 4 && strcmp(argv[1], "fetch") == 0)
        return fetch(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "hold") == 0) {
        int fd = connect_to(argv[2]);
        /* A whole head for a large listing: a worker is made for it, and
           stays while it cannot send (a file's download it would hand
           back to the server process). */
        static const char request[] = "GET /many/ HTTP/1.1\r\n\r\n";
        if (write(fd, request, sizeof request - 1) != (ssize_t)(sizeof request - 1)) {
            perror("write");
            return 1;
        }
        sleep((unsigned)atoi(argv[3]));
        close(fd);
        return 0;
    }
    fprintf(stderr, "usage: %s as-nobody PROGRAM [ARG...] | fetch PORT REQUEST | hold PORT SECONDS\n",
            argv[0]);
    return 2;
}

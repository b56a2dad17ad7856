/* The floor of a fork-per-connection server on this machine: accept, fork,
 * read the request, write a fixed 1 KiB response, _exit. Built with
 * -DNO_FORK it answers in the accepting process instead: the kernel's own
 * cost of a connection. Usage: floor <port> */
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static char response[2048];
static size_t response_length;

static void answer(int fd)
{
    char request[4096];
    ssize_t got = read(fd, request, sizeof request);
    (void)got;
    ssize_t sent = write(fd, response, response_length);
    (void)sent;
    close(fd);
}

int main(int argc, char **argv)
{
    if (argc != 2)
        return 1;
    char body[1024];
    memset(body, 'x', sizeof body);
    response_length = (size_t)snprintf(response, sizeof response,
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1024\r\n"
        "Connection: close\r\n\r\n");
    memcpy(response + response_length, body, sizeof body);
    response_length += sizeof body;

    signal(SIGCHLD, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in address = {0};
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)atoi(argv[1]));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, (struct sockaddr *)&address, sizeof address) != 0 || listen(listener, 128) != 0)
        return 1;
    for (;;) {
        int fd = accept(listener, NULL, NULL);
        if (fd < 0)
            continue;
#ifdef NO_FORK
        answer(fd);
#else
        if (fork() == 0) {
            close(listener);
            answer(fd);
            _exit(0);
        }
        close(fd);
#endif
    }
}

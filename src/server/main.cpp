#include "server/server.h"

int main(int argc, char** argv)
{
    static server_config config;
    int status = start_server(argc, argv, config);
    if (status >= 0)
        return status;
    return accept_loop(config);
}

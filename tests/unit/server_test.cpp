#include <gtest/gtest.h>

#include <string>

#include "server/server.h"

namespace {

struct port_case {
    std::string text;
    bool valid;
    long port;
};

TEST(parse_port, accepts_whole_numbers_from_1_to_65535)
{
    const port_case cases[] = {
        {"80", true, 80},        {"1", true, 1},         {"65535", true, 65535},
        {"+80", true, 80},       {"  8080", true, 8080}, {"\t42", true, 42},
        {"0", false, 0},         {"65536", false, 0},    {"-1", false, 0},
        {"80x", false, 0},       {"", false, 0},         {"80 ", false, 0},
        {"0x50", false, 0},      {"++80", false, 0},     {"99999999999999999999", false, 0},
        {"-99999999999999999999", false, 0},
    };
    for (const port_case& c : cases) {
        SCOPED_TRACE(c.text);
        long port = -7;
        EXPECT_EQ(parse_port(c.text.c_str(), &port), c.valid);
        EXPECT_EQ(port, c.valid ? c.port : -7);
    }
}

}  // namespace

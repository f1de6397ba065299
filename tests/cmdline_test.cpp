#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmdline.h"

namespace {

struct parsed {
    bool ok;
    run_settings settings;
};

parsed parse(std::vector<const char *> args, const char *prefixes = "-")
{
    args.insert(args.begin(), "vesklo");
    parsed p{};
    p.ok = parse_args(static_cast<int>(args.size()), args.data(), prefixes, &p.settings);
    return p;
}

}  // namespace

TEST(Cmdline, UsageErrors)
{
    const std::vector<std::vector<const char *>> cases = {
        {},
        {"c"},
        {"c", "a"},
        {"x", "a", "b"},
        {"", "a", "b"},
        {"c", "a", "b", "-b", "9600"},  // the value must be in the same argument
        {"c", "a", "b", "c"},           // a third name
        {"c", "a", "b", ""},            // an empty third name
        {"c", "a", "b", "-q"},
        {"c", "-", "a", "b"},
        {"c", "a", "b", "-b"},
        {"c", "a", "b", "-bx"},
        {"c", "a", "b", "-b+"},
        {"c", "a", "b", "-b- 5"},
        {"c", "a", "b", "-h"},
        {"c", "a", "b", "-hz"},
        {"c", "a", "b", "-h0x"},       // a bare prefix
        {"c", "a", "b", "-h0xg"},
        {"c", "a", "b", "-b99999999999"},
        {"c", "a", "b", "-b2147483648"},
        {"c", "a", "b", "-b-2147483649"},
        {"c", "a", "b", "-h123456789"},
        {"c", "a", "b", "-h-100000000"},
        {"c", "", "", "a"},  // empty arguments leave the destination empty
        {"c", "/b9600", "a", "b"},  // "/" begins a name here: one name too many
    };
    for (const auto &args : cases) {
        std::string shown;
        for (const char *a : args) shown += std::string("[") + a + "]";
        EXPECT_FALSE(parse(args).ok) << shown;
    }
}

TEST(Cmdline, ValidLines)
{
    const struct {
        std::vector<const char *> args;
        const char *prefixes;
        char command;
        const char *source, *destination;
        std::int32_t baud, start;
    } cases[] = {
        {{"c", "a", "b"}, "-", 'c', "a", "b", 115200, -1},
        {{"C", "a", "b", "-B9600"}, "-", 'c', "a", "b", 9600, -1},
        {{"copy", "a", "b", "/b9600"}, "-/", 'c', "a", "b", 9600, -1},
        {{"E", "-b9600", "a", "b"}, "-", 'e', "a", "b", 9600, -1},
        {{"decode", "a", "-h100", "b"}, "-", 'd', "a", "b", 115200, 0x100},
        {{"c", "a", "b", "-b9600x"}, "-", 'c', "a", "b", 9600, -1},
        {{"c", "a", "b", "-b \t+57600"}, "-", 'c', "a", "b", 57600, -1},
        {{"c", "a", "b", "-b-5"}, "-", 'c', "a", "b", -5, -1},
        {{"c", "a", "b", "-b2147483647"}, "-", 'c', "a", "b", 2147483647, -1},
        {{"c", "a", "b", "-b-2147483648"}, "-", 'c', "a", "b", INT32_MIN, -1},
        {{"c", "a", "b", "-b1", "-b2"}, "-", 'c', "a", "b", 2, -1},  // the later value wins
        {{"c", "a", "b", "-h0x1c0"}, "-", 'c', "a", "b", 115200, 0x1C0},
        {{"c", "a", "b", "-H1C0"}, "-", 'c', "a", "b", 115200, 0x1C0},
        {{"c", "a", "b", "-h 0X1c0zz"}, "-", 'c', "a", "b", 115200, 0x1C0},
        {{"c", "a", "b", "-h0"}, "-", 'c', "a", "b", 115200, 0},
        {{"c", "a", "b", "-hffffffff"}, "-", 'c', "a", "b", 115200, -1},
        {{"c", "a", "b", "-hfffffffe"}, "-", 'c', "a", "b", 115200, -2},
        {{"c", "a", "b", "-h-1"}, "-", 'c', "a", "b", 115200, -1},
        {{"c", "a", "b", "-h-0x100"}, "-", 'c', "a", "b", 115200, -256},
        {{"c", "a", "b", "-h+80000000"}, "-", 'c', "a", "b", 115200, INT32_MIN},
        {{"c", "a", "b", "-h000000000008000"}, "-", 'c', "a", "b", 115200, 0x8000},
        {{"c", "", "a", "b"}, "-", 'c', "a", "b", 115200, -1},  // an empty name fills nothing
        {{"c", "a", "", "b"}, "-", 'c', "a", "b", 115200, -1},
        {{"c", "/tmp/a", "/dev/null"}, "-", 'c', "/tmp/a", "/dev/null", 115200, -1},
    };
    for (const auto &c : cases) {
        const parsed p = parse(c.args, c.prefixes);
        std::string shown;
        for (const char *a : c.args) shown += std::string("[") + a + "]";
        ASSERT_TRUE(p.ok) << shown;
        EXPECT_EQ(p.settings.command, c.command) << shown;
        EXPECT_STREQ(p.settings.source, c.source) << shown;
        EXPECT_STREQ(p.settings.destination, c.destination) << shown;
        EXPECT_EQ(p.settings.baud_rate, c.baud) << shown;
        EXPECT_EQ(p.settings.start_address, c.start) << shown;
    }
}

TEST(Cmdline, LongNamesAreHeldWhole)
{
    const std::string longer(300, 'n');
    const std::string other = longer + "x";
    const parsed p = parse({"c", longer.c_str(), other.c_str()});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(std::string(p.settings.source), longer);
    EXPECT_EQ(std::string(p.settings.destination), other);
}

TEST(Cmdline, InfoRequestsAreTheOneWordAlone)
{
    const struct {
        std::vector<const char *> args;
        info_request request;
    } cases[] = {
        {{"--help"}, info_help},
        {{"--version"}, info_version},
        {{"--list"}, info_list},
        {{"--help", "x"}, no_info_request},
        {{"--Help"}, no_info_request},
        {{"--lis"}, no_info_request},
        {{"-h"}, no_info_request},
        {{}, no_info_request},
        {{"c", "--list"}, no_info_request},
    };
    for (const auto &c : cases) {
        std::vector<const char *> args = c.args;
        args.insert(args.begin(), "vesklo");
        EXPECT_EQ(parse_info_request(static_cast<int>(args.size()), args.data()), c.request)
            << (c.args.empty() ? "" : c.args[0]);
    }
}

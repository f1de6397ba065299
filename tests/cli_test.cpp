// Black-box tests: the built tool on real files in a temporary directory.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "cli_support.h"

namespace {

const std::string usage =
    "  usage vesklo [command] [src_name] [dst_name] [-option]\n"
    "\n"
    "  command:\n"
    "    C : copy src_name to dst_name \n"
    "    E : copy src_name to dst_name with Hispeed encode\n"
    "    D : copy src_name to dst_name with Hispeed decode\n"
    "  option:              |cmd|defallt| note\n"
    "    -h[start_address]  |all|(auto) | add LOADM header with start_address\n"
    "    -b[baudrate]       |all|115200 | baudrate for COMx device\n";

const std::string finish = "\nfinish!\n";

class Cli : public testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir(); ASSERT_FALSE(dir.empty()); }
    void TearDown() override { remove_tree(dir); }
    std::string at(const std::string &name) const { return dir + "/" + name; }
    run_result run(const std::vector<std::string> &args) const { return run_vesklo(args, dir); }
    std::string dir;
};

std::string show(const std::vector<std::string> &args)
{
    std::string s;
    for (const auto &a : args) s += "[" + a + "]";
    return s;
}

}  // namespace

TEST_F(Cli, UsageErrorsPrintTheUsageAndOpenNothing)
{
    write_file(at("src"), "data");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"c"},
        {"c", "src"},
        {"x", "src", "dst"},
        {"c", "src", "dst", "-b", "9600"},
        {"c", "src", "dst", "third"},
        {"c", "src", "dst", ""},
        {"c", "src", "dst", "-x"},
        {"c", "src", "dst", "-"},
        {"c", "src", "dst", "-b99999999999"},
        {"c", "src", "dst", "-h123456789"},
        {"c", "src", "dst", "-h0x"},
    };
    for (const auto &args : cases) {
        const run_result r = run(args);
        EXPECT_EQ(r.status, 1) << show(args);
        EXPECT_EQ(r.output, usage) << show(args);
        EXPECT_FALSE(file_exists(at("dst"))) << show(args);
    }
}

// The three questions about the tool itself answer with status 0; any
// other use of them is a command line like any other.
TEST_F(Cli, HelpVersionAndListAnswer)
{
    const struct {
        std::vector<std::string> args;
        std::string output;
        int status;
    } cases[] = {
        {{"--help"}, usage, 0},
        {{"--version"}, "vesklo " VESKLO_VERSION "\n", 0},
        {{"--help", "--version"}, usage, 1},
        {{"--version", "src"}, usage, 1},
        {{"--HELP"}, usage, 1},
    };
    for (const auto &c : cases) {
        const run_result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << show(c.args);
        EXPECT_EQ(r.output, c.output) << show(c.args);
    }
    // What it lists depends on the machine; it answers either way.
    EXPECT_EQ(run({"--list"}).status, 0);
    // An answer that could not be written never arrived: status 1, and why.
    // (Wine reports 0 when a program's standard output is closed.)
    std::vector<std::string> unwritable = {">/dev/full"};
    if (!testing_windows_build()) unwritable.push_back(">&-");
    for (const std::string question : {"--help", "--version", "--list"})
        for (const std::string &redirect : unwritable) {
            if (question == "--list" && !VESKLO_LINUX_QUERIES) continue;
            const std::string shell = "cd '" + dir + "' && " + tool_command() + " " + question + " " +
                                      redirect + " 2>errors; echo $? > status";
            ASSERT_EQ(std::system(shell.c_str()), 0) << shell;
            EXPECT_EQ(read_file(at("status")), "1\n") << shell;
            const std::string errors = read_file(at("errors"));
            EXPECT_EQ(errors.rfind("vesklo: standard output: ", 0), 0u) << shell << errors;
        }
    // A build that takes the path of other POSIX systems lists no ports:
    // its answer has nothing to write.
    if (!VESKLO_LINUX_QUERIES) GTEST_SKIP() << "Linux only: a list of ports that cannot be written";
}

TEST_F(Cli, CopiesWithAndWithoutHeader)
{
    write_file(at("src"), pattern(20));
    const std::string header = std::string("\x00\x01\x14\x01", 4);
    const struct {
        std::vector<std::string> args;
        std::string output, written;
    } cases[] = {
        {{"c", "src", "dst"}, "." + finish, pattern(20)},
        {{"copy", "-B9600", "src", "dst"}, "." + finish, pattern(20)},
        {{"C", "src", "dst", "-h100"}, "Make LOADM Header start=0100 end=0114\n.." + finish,
         header + pattern(20)},
        {{"c", "src", "dst", "-h0x1c0", "-h100"}, "Make LOADM Header start=0100 end=0114\n.." + finish,
         header + pattern(20)},
        {{"c", "src", "dst", "-hfffffffe"}, "Make LOADM Header start=fffffffe end=0012\n.." + finish,
         std::string("\xFE\x00\x12\x00", 4) + pattern(20)},
        {{"c", "src", "dst", "-hffffffff"}, "." + finish, pattern(20)},
        {{"c", "src", "dst", "-h-1"}, "." + finish, pattern(20)},
        {{"c", "", "src", "dst"}, "." + finish, pattern(20)},
    };
    for (const auto &c : cases) {
        const run_result r = run(c.args);
        EXPECT_EQ(r.status, 0) << show(c.args);
        EXPECT_EQ(r.output, c.output) << show(c.args);
        EXPECT_EQ(r.errors, "") << show(c.args);
        EXPECT_EQ(read_file(at("dst")), c.written) << show(c.args);
    }
}

TEST_F(Cli, ChunkCountsFollowTheSourceSize)
{
    const struct {
        const char *command;
        std::size_t size;
        std::size_t dots, written;
    } cases[] = {
        {"c", 0, 0, 0},       {"c", 2048, 1, 2048},   {"c", 2049, 2, 2049},
        {"e", 1024, 1, 2048}, {"e", 1025, 2, 2050},   {"e", 0, 0, 0},
        {"d", 4096, 2, 2048}, {"d", 4097, 3, 2048},   {"d", 1, 1, 0},
    };
    for (const auto &c : cases) {
        write_file(at("src"), pattern(c.size));
        const run_result r = run({c.command, "src", "dst"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.output, std::string(c.dots, '.') + finish) << c.command << c.size;
        // The pattern is no Hispeed code, so d says so.
        EXPECT_EQ(r.errors.empty(), *c.command != 'd' || c.size == 0) << c.command << c.size;
        EXPECT_EQ(read_file(at("dst")).size(), c.written) << c.command << c.size;
    }
}

TEST_F(Cli, EncodeDecodeRoundTrip)
{
    write_file(at("abc"), "abc");
    EXPECT_EQ(run({"e", "abc", "abc.hs"}).status, 0);
    EXPECT_EQ(read_file(at("abc.hs")), "\x81\x9E\x86\x9E\x87\x9E");

    const std::string data = pattern(100000);
    write_file(at("prog"), data);
    EXPECT_EQ(run({"e", "prog", "prog.hs"}).status, 0);
    EXPECT_EQ(read_file(at("prog.hs")).size(), 2 * data.size());
    EXPECT_EQ(run({"d", "prog.hs", "back", "-h100"}).status, 0);
    EXPECT_TRUE(read_file(at("back")) == data);

    const run_result r = run({"e", "-h8000", "prog", "prog.hs"});
    EXPECT_EQ(r.output.substr(0, 39), "Make LOADM Header start=8000 end=206a0\n");
    EXPECT_EQ(run({"d", "prog.hs", "back"}).status, 0);
    EXPECT_TRUE(read_file(at("back")) == std::string("\x00\x80\xa0\x06", 4) + data);
}

namespace {

// Standard output says which end failed; standard error says why, in one
// line: the system's reason (exact on POSIX; Wine words them unlike
// Windows, so there only the hint is checked) and a hint where one helps.
void expect_reason(const run_result &r, const std::string &name, const std::string &posix,
                   const std::string &windows_hint)
{
    const std::string head = "vesklo: " + name + ": ";
    if (!testing_windows_build()) {
        EXPECT_EQ(r.errors, head + posix + "\n");
        return;
    }
    EXPECT_EQ(r.errors.rfind(head, 0), 0u) << r.errors;
    EXPECT_EQ(std::count(r.errors.begin(), r.errors.end(), '\n'), 1) << r.errors;
    const std::string tail = windows_hint + "\n";
    ASSERT_GT(r.errors.size(), head.size() + tail.size()) << r.errors;
    EXPECT_EQ(r.errors.substr(r.errors.size() - tail.size()), tail) << r.errors;
}

const std::string no_such_port =
    "no such port; COM1 is /dev/ttyS0, COM2 is /dev/ttyS1 and so on, and USB adapters appear "
    "as /dev/ttyUSB0, /dev/ttyACM0 or under /dev/serial/by-id/";

}  // namespace

TEST_F(Cli, OpenFailuresNameTheEndAndSayWhy)
{
    write_file(at("src"), "data");
    mkdir(at("dir").c_str(), 0755);
    // On Windows a file whose name begins with COM is named by its full
    // path in the \\?\ form, which no version of Windows reads as a device
    // (.\COM1.txt is COM1 to Wine and Windows 10); Wine's Z: is the root.
    std::string here = "\\\\?\\Z:" + dir + "/";
    std::replace(here.begin(), here.end(), '/', '\\');
    const std::string name_it = "; no such port: names beginning with COM are taken as ports; name "
                                "such a file " + here;
    const struct {
        std::vector<std::string> args;
        std::string output, name, posix_reason, windows_hint;
    } cases[] = {
        {{"c", "missing", "dst"}, "Can't open source file 'missing'\n", "missing",
         "No such file or directory", ""},
        {{"c", "-b9600", "-h10", "missing", "dst"}, "Can't open source file 'missing'\n",
         "missing", "No such file or directory", ""},
        {{"c", "%s%n%x", "dst"}, "Can't open source file '%s%n%x'\n", "%s%n%x",
         "No such file or directory", ""},
        // A line end in a name is escaped on standard error, kept on output.
        {{"c", "a\nb", "dst"}, "Can't open source file 'a\nb'\n", "a\\x0ab",
         "No such file or directory", ""},
        {{"c", "dir", "dst"}, "Can't open source file 'dir'\n", "dir", "Is a directory",
         "; it is a directory"},
        {{"c", "src", "dir"}, "Can't open destination file 'dir'\n", "dir", "Is a directory",
         "; it is a directory"},
        {{"c", "src", "nodir/dst"}, "Can't open destination file 'nodir/dst'\n", "nodir/dst",
         "No such file or directory", ""},
        {{"c", "src", "src"}, "Can't open destination file 'src'\n", "src",
         "Device or resource busy; it is the same file as the source",
         "; it is the same file as the source"},
        // On Windows the reason says how to name such a file.
        {{"c", "src", "COMX"}, "Can't open destination file 'COMX'\n", "COMX", no_such_port,
         name_it + "COMX"},
        {{"c", "src", "COMMENTS"}, "Can't open destination file 'COMMENTS'\n", "COMMENTS",
         no_such_port, name_it + "COMMENTS"},
        {{"c", "COMPILE.BIN", "dst"}, "Can't open source file 'COMPILE.BIN'\n", "COMPILE.BIN",
         no_such_port, name_it + "COMPILE.BIN"},
        {{"c", "src", "COM1.txt"}, "Can't open destination file 'COM1.txt'\n", "COM1.txt",
         no_such_port, name_it + "COM1.txt"},
        {{"c", "src", "COM12:"}, "Can't open destination file 'COM12:'\n", "COM12:", no_such_port,
         "; no such port: Device Manager lists the COM ports present"},
        {{"c", "COM0", "dst"}, "Can't open source file 'COM0'\n", "COM0", no_such_port,
         "; no such port: Device Manager lists the COM ports present"},
        // Other spellings of a port with no device behind it; files on POSIX.
        {{"c", "com3", "dst"}, "Can't open source file 'com3'\n", "com3",
         "No such file or directory", "; no such port: Device Manager lists the COM ports present"},
        {{"c", "\\\\.\\COM3", "dst"}, "Can't open source file '\\\\.\\COM3'\n", "\\\\.\\COM3",
         "No such file or directory", "; no such port: Device Manager lists the COM ports present"},
        // Windows drops the blanks and dots that end a name, and opens COM3.
        {{"c", "com3. ", "dst"}, "Can't open source file 'com3. '\n", "com3. ",
         "No such file or directory", "; no such port: Device Manager lists the COM ports present"},
    };
    for (const auto &c : cases) {
        const run_result r = run(c.args);
        EXPECT_EQ(r.status, 1) << show(c.args);
        EXPECT_EQ(r.output, c.output) << show(c.args);
        expect_reason(r, c.name, c.posix_reason, c.windows_hint);
        EXPECT_EQ(read_file(at("src")), "data") << show(c.args);
    }
    EXPECT_FALSE(file_exists(at("missing")));
    EXPECT_FALSE(file_exists(at("dst")));
    if (!testing_windows_build()) return;
    // The name offered is the file.
    for (const std::string name : {"COMX", "COM1.txt"}) {
        const std::string errors = run({"c", "src", name}).errors;
        const std::string offer = "name such a file ";
        const std::size_t at_offer = errors.find(offer);
        ASSERT_NE(at_offer, std::string::npos) << errors;
        const std::string offered = errors.substr(at_offer + offer.size(),
                                                  errors.size() - 1 - at_offer - offer.size());
        const run_result r = run({"c", "src", offered});
        EXPECT_EQ(r.status, 0) << offered << r.errors;
        EXPECT_EQ(read_file(at(name)), "data") << offered;
    }
}

// Damaged code is decoded all the same, and said once on standard error.
TEST_F(Cli, DamagedCodeIsDecodedAndTold)
{
    const std::string clean = "\x81\x9E\x86\x9E\x87\x9E";  // abc
    const std::string causes =
        "; likely a wrong baud rate, noise on the line, or a source that is not Hispeed code\n";
    const struct {
        std::string code, decoded, errors;
    } cases[] = {
        {clean, "abc", ""},
        {"\x01\x1E\x06\x1E\x07\x1E", "abc", ""},  // bit 7 lost on a 7-bit line
        {"\x81\x9E\x82\x9E\x87\xDE", "abc",
         "vesklo: hs: 2 of 6 code bytes were damaged (their doubled bits disagree)" + causes},
        {clean + "\x81", "abc", "vesklo: hs: an odd last code byte was dropped" + causes},
        {"\x2A\x55\x80", "\x1E",
         "vesklo: hs: 2 of 2 code bytes were damaged (their doubled bits disagree), and an odd "
         "last code byte was dropped" + causes},
    };
    for (const auto &c : cases) {
        write_file(at("hs"), c.code);
        const run_result r = run({"d", "hs", "out"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.output, "." + finish);
        EXPECT_EQ(read_file(at("out")), c.decoded);
        EXPECT_EQ(r.errors, c.errors);
    }
}

TEST_F(Cli, DestinationIsReplacedWhole)
{
    write_file(at("src"), "new");
    write_file(at("dst"), "an older and longer file");
    EXPECT_EQ(run({"c", "src", "dst"}).status, 0);
    EXPECT_EQ(read_file(at("dst")), "new");
    // A name beginning with a lower-case com is a disk file.
    EXPECT_EQ(run({"c", "src", "comedy"}).status, 0);
    EXPECT_EQ(read_file(at("comedy")), "new");
}

TEST_F(Cli, ReadOnlySourceAndLongNames)
{
    write_file(at("ro"), "read only");
    chmod(at("ro").c_str(), 0444);
    EXPECT_EQ(run({"c", "ro", "dst"}).status, 0);
    EXPECT_EQ(read_file(at("dst")), "read only");

    const std::string stem(150, 'n');
    write_file(at(stem + "1"), "long one");
    write_file(at(stem + "2"), "long two");
    EXPECT_EQ(run({"c", stem + "1", stem + "3"}).status, 0);
    EXPECT_EQ(read_file(at(stem + "3")), "long one");
    EXPECT_EQ(read_file(at(stem + "2")), "long two");
}

TEST_F(Cli, SlashOptionsOnWindows)
{
    if (!testing_windows_build()) GTEST_SKIP() << "Windows build only";
    write_file(at("src"), pattern(20));
    const run_result r = run({"c", "/H100", "src", "/b9600", "dst"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "Make LOADM Header start=0100 end=0114\n.." + finish);
    EXPECT_EQ(run({"c", "src", "dst", "/x"}).output, usage);
}

// A device with no line settings is written and read like a file, at
// either end, as /dev/null is on POSIX.
TEST_F(Cli, NulIsAFileOnWindows)
{
    if (!testing_windows_build()) GTEST_SKIP() << "Windows build only";
    write_file(at("src"), pattern(5000));
    run_result r = run({"c", "src", "NUL"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "..." + finish);
    r = run({"c", "NUL", "dst"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, finish);
    EXPECT_EQ(read_file(at("dst")), "");
}

// The same file through another path is refused as the same file, and
// left as it was: a link, and on Windows a \\?\ path, which Wine's Z: drive
// leads to the test's directory.
TEST_F(Cli, SameFileThroughOtherPathsIsLeftIntact)
{
    write_file(at("src"), "keep me");
    ASSERT_EQ(symlink("src", at("soft").c_str()), 0);
    ASSERT_EQ(link(at("src").c_str(), at("hard").c_str()), 0);
    std::vector<std::string> others = {"soft", "hard"};
    if (testing_windows_build()) {
        std::string path = "\\\\?\\Z:" + at("src");
        std::replace(path.begin(), path.end(), '/', '\\');
        others.push_back(path);
    }
    for (const std::string &other : others) {
        const run_result r = run({"c", "src", other});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.output, "Can't open destination file '" + other + "'\n");
        expect_reason(r, other, "Device or resource busy; it is the same file as the source",
                      "; it is the same file as the source");
        EXPECT_EQ(read_file(at("src")), "keep me");
    }
}

// Names are taken as typed: one that the ANSI code page cannot hold opens
// that file, never a look-alike (Oµ for Ωμ) that the code page can, and a
// full-width backslash is no path separator. On Windows a message shows a
// name in the code page, a look-alike standing in where it must, and
// wildcards in such names are expanded.
TEST_F(Cli, NamesAreTakenAsTyped)
{
    write_file(at("src"), "data");
    write_file(at("O\u00b5.bin"), "look-alike");
    mkdir(at("a").c_str(), 0755);
    const struct {
        std::vector<std::string> args;
        std::string written, file;
    } cases[] = {
        {{"c", "src", "\u03a9\u03bc.bin"}, "data", "\u03a9\u03bc.bin"},
        {{"c", "\u03a9\u03bc.bin", "back"}, "data", "back"},
        {{"c", "src", "a\uff3cb"}, "data", "a\uff3cb"},
    };
    for (const auto &c : cases) {
        const run_result r = run(c.args);
        EXPECT_EQ(r.status, 0) << show(c.args);
        EXPECT_EQ(read_file(at(c.file)), c.written) << show(c.args);
    }
    EXPECT_EQ(read_file(at("O\u00b5.bin")), "look-alike");
    EXPECT_FALSE(file_exists(at("a/b")));

    const run_result r = run({"c", "\u03a9x.bin", "dst"});
    EXPECT_EQ(r.output, testing_windows_build() ? "Can't open source file 'Ox.bin'\n"
                                                : "Can't open source file '\u03a9x.bin'\n");
    if (!testing_windows_build()) return;
    EXPECT_EQ(run({"c", "\u03a9*.bin", "wild"}).status, 0);
    EXPECT_EQ(read_file(at("wild")), "data");
}

// What only the POSIX build does: absolute paths, links, flock, devices.
class CliPosix : public Cli {
protected:
    void SetUp() override
    {
        if (testing_windows_build()) GTEST_SKIP() << "POSIX build only";
        Cli::SetUp();
    }
};

TEST_F(CliPosix, AbsolutePathsAreNames)
{
    write_file(at("src"), "abs");
    const run_result r = run({"c", at("src"), at("dst")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(at("dst")), "abs");
    EXPECT_EQ(run({"c", "/h100", "dst"}).output, "Can't open source file '/h100'\n");
}

TEST_F(CliPosix, LowerCaseComIsAFile)
{
    // On Windows com1 is the reserved device name of COM1, so this is
    // tested on POSIX only.
    write_file(at("src"), "file");
    EXPECT_EQ(run({"c", "src", "com1"}).status, 0);
    EXPECT_EQ(read_file(at("com1")), "file");
}

// Files over 2 GiB are files like any other, also on 32-bit systems: a
// 3 GiB destination (sparse) is replaced.
TEST_F(CliPosix, DestinationsOver2GiBAreReplaced)
{
    write_file(at("src"), "data");
    const int fd = open(at("big").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{3} << 30), 0);
    close(fd);
    const run_result r = run({"c", "src", "big"});
    EXPECT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(read_file(at("big")), "data");
}

TEST_F(CliPosix, FilesLockedByAnotherProgramAreRefused)
{
    write_file(at("src"), "source");
    write_file(at("dst"), "locked destination");
    for (const char *locked : {"src", "dst"}) {
        const int fd = open(at(locked).c_str(), O_RDONLY);
        ASSERT_EQ(flock(fd, LOCK_EX), 0);
        const run_result r = run({"c", "src", "dst"});
        close(fd);
        EXPECT_EQ(r.status, 1);
        const std::string end = std::string(locked) == "src" ? "source" : "destination";
        EXPECT_EQ(r.output, "Can't open " + end + " file '" + locked + "'\n");
        EXPECT_EQ(r.errors, std::string("vesklo: ") + locked +
                                ": Device or resource busy; in use by another program\n");
        EXPECT_EQ(read_file(at("dst")), "locked destination");
    }
    // Only files that hold data are locked: another program's lock on
    // /dev/null, or another run writing to it, keeps no run out.
    const int fd = open("/dev/null", O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    const run_result r = run({"c", "src", "/dev/null"});
    close(fd);
    EXPECT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(r.errors, "");
}

TEST_F(CliPosix, TransferFailuresAreReported)
{
    write_file(at("big"), pattern(10000));
    run_result r = run({"c", "big", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, ".\nCan't write destination file '/dev/full'\n");
    EXPECT_EQ(r.errors, "vesklo: /dev/full: No space left on device\n");
    r = run({"e", "-h100", "big", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "Make LOADM Header start=0100 end=2810\n.\nCan't write destination file '/dev/full'\n");
    // A failed run gives its reason only, not the damage it decoded too.
    write_file(at("damaged"), std::string(4096, '\x2A'));
    r = run({"d", "damaged", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errors, "vesklo: /dev/full: No space left on device\n");
    // Reading a process's own memory at address 0 fails with EIO.
    r = run({"c", "/proc/self/mem", "dst"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "\nCan't read source file '/proc/self/mem'\n");
    EXPECT_EQ(r.errors, "vesklo: /proc/self/mem: Input/output error\n");
    // Devices that are no terminal are plain files, and are not emptied.
    r = run({"c", "big", "/dev/null"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "....." + finish);
    r = run({"c", "/dev/null", "dst"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, finish);
}

// Closed standard descriptors must not be taken by an endpoint (the dots
// would land in the destination), and a pipe whose reader has gone is a
// failed write, not a silent death by SIGPIPE.
TEST_F(CliPosix, ClosedDescriptorsAndPipes)
{
    const std::string data = pattern(20 << 20);
    write_file(at("big"), data);
    const struct {
        const char *before, *after;
    } cases[] = {
        {"", " c big out <&- >&-; echo $? > status"},
        {"", " c big out 2>&- <&- >&-; echo $? > status"},
        {"(", " c big out; echo $? > status) | true"},
    };
    for (const auto &c : cases) {
        const std::string shell = c.before + tool_command() + c.after;
        ASSERT_EQ(std::system(("cd '" + dir + "' && " + shell).c_str()), 0) << shell;
        EXPECT_EQ(read_file(at("status")), "0\n") << shell;
        EXPECT_TRUE(read_file(at("out")) == data) << shell;
    }

    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0600), 0);
    std::thread reader([&] {
        const int fd = open(at("fifo").c_str(), O_RDONLY);
        char some[10];
        if (read(fd, some, sizeof some) < 0) ADD_FAILURE() << "fifo read";
        close(fd);
    });
    const run_result r = run({"c", "big", "fifo"});
    // A tool that never opened the fifo would leave the reader waiting for
    // a writer for ever.
    const int unblock = open(at("fifo").c_str(), O_WRONLY | O_NONBLOCK);
    if (unblock >= 0) close(unblock);
    reader.join();
    const std::string failed = "\nCan't write destination file 'fifo'\n";
    EXPECT_EQ(r.status, 1);
    ASSERT_GE(r.output.size(), failed.size());
    EXPECT_EQ(r.output.substr(r.output.size() - failed.size()), failed);
}

// Only the kernel makes device nodes: a destination missing from /dev (a
// USB adapter unplugged) is no port and is not made as a file there, where
// it would stand in the way of the adapter's node. Elsewhere in /dev files
// are made as anywhere.
TEST_F(CliPosix, NoFileIsMadeInDev)
{
    write_file(at("src"), "data");
    ASSERT_EQ(symlink("/dev", at("devlink").c_str()), 0);
    const std::string missing = "vesklo-test-" + std::to_string(getpid());
    const std::string hint =
        ": No such file or directory; USB adapters appear as /dev/ttyUSB0, /dev/ttyACM0 or "
        "under /dev/serial/by-id/\n";
    // A link whose target is missing from /dev is followed where it leads.
    ASSERT_EQ(symlink(("/dev/" + missing).c_str(), at("L").c_str()), 0);
    for (const std::string &name :
         {"/dev/" + missing, "/dev/./" + missing, "devlink/" + missing, std::string("L")}) {
        const run_result r = run({"c", "src", name});
        unlink(("/dev/" + missing).c_str());
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.output, "Can't open destination file '" + name + "'\n");
        EXPECT_EQ(r.errors, "vesklo: " + name + hint);
    }
    const run_result r = run({"c", "/dev/" + missing, "out"});
    EXPECT_EQ(r.errors, "vesklo: /dev/" + missing + hint);
    // A relative link in a folder whose path is near the longest a path
    // can be leads to a place whose whole path is longer still: the file
    // is made there, as the shell makes it.
    std::string deep = dir;
    while (deep.size() < 4051 - 201) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    }
    deep += "/" + std::string(4051 - 1 - deep.size(), 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    ASSERT_EQ(symlink(std::string(80, 't').c_str(), (deep + "/link").c_str()), 0);
    const run_result deep_run = run({"c", "src", deep + "/link"});
    EXPECT_EQ(deep_run.status, 0) << deep_run.errors;
    EXPECT_EQ(read_file(deep + "/link"), "data");

    const std::string shm = "/dev/shm/" + missing;
    if (access("/dev/shm", W_OK) != 0) return;
    EXPECT_EQ(run({"c", "src", shm}).status, 0);
    EXPECT_EQ(read_file(shm), "data");
    unlink(shm.c_str());
}

// The same rule where /dev is laid out as the test needs it: in a mount
// namespace of its own, over a /dev of its own (a tmpfs), with /dev/serial
// missing (the usual state once the last adapter is out), present, and
// reached through a bind mount of /dev or of /dev/serial/by-id; and the
// device filesystem mounted elsewhere, while an ordinary folder bound into
// /dev takes files as anywhere.
TEST_F(CliPosix, NoFileIsMadeInDevThroughLinksAndMounts)
{
    if (geteuid() != 0 || std::system("unshare -m true 2>/dev/null") != 0)
        GTEST_SKIP() << "needs root (a mount namespace)";
    write_file(at("src"), "data");
    const std::string missing = "vesklo-test-" + std::to_string(getpid());
    const std::string usb =
        ": No such file or directory; USB adapters appear as /dev/ttyUSB0, /dev/ttyACM0 or under "
        "/dev/serial/by-id/\n";
    const struct {
        std::string setup, name;
        std::string errors;  // empty: the copy is made
    } cases[] = {
        {"", "/dev/serial/by-id/usb-X-if00-port0", usb},
        {"mkdir -p /dev/serial/by-id && ln -s /dev/serial/by-id/usb-Z L", "L", usb},
        {"mkdir -p /dev/serial/by-id", "/dev/serial/by-id/usb-Z", usb},
        {"mkdir devbind && mount --bind /dev devbind", "devbind/ttyUSB9", usb},
        {"mkdir -p /dev/serial/by-id b && mount --bind /dev/serial/by-id b", "b/usb-X", usb},
        {"mkdir -p /dev/serial/by-id b && mount --bind /dev/serial/by-id b && ln -s b/usb-Y L",
         "L", usb},
        // The device filesystem itself, mounted elsewhere as a container's
        // host /dev is: judged by what it is, not where it is.
        {"mkdir hostdev && mount -t devtmpfs none hostdev", "hostdev/" + missing, usb},
        {"mkdir -p /dev/shm && mount -t tmpfs none /dev/shm", "/dev/shm/out", ""},
        {"mkdir plain /dev/plain && mount --bind plain /dev/plain", "/dev/plain/out", ""},
    };
    int i = 0;
    for (const auto &c : cases) {
        const std::string n = std::to_string(i++);
        // Only Linux's mount table tells the device filesystem.
        if (c.setup.find("devtmpfs") != std::string::npos && !VESKLO_LINUX_QUERIES) continue;
        // Whether a file is found where the name leads, after the run.
        const std::string script = "mount -t tmpfs none /dev && cd '" + dir + "' && " +
                                   (c.setup.empty() ? "true" : c.setup) + " && " + tool_command() +
                                   " c src '" + c.name + "' >/dev/null 2>errors" + n +
                                   "; echo \\$? > status" + n + "; [ -f '" + c.name +
                                   "' ] && echo made > made" + n + " && rm -f '" + c.name +
                                   "'; true";
        const std::string shell = "unshare -m sh -c \"" + script + "\"";
        ASSERT_EQ(std::system(shell.c_str()), 0) << shell;
        EXPECT_EQ(read_file(at("status" + n)), c.errors.empty() ? "0\n" : "1\n") << c.name;
        EXPECT_EQ(read_file(at("errors" + n)), c.errors.empty() ? "" : "vesklo: " + c.name + c.errors)
            << c.name;
        EXPECT_EQ(file_exists(at("made" + n)), c.errors.empty()) << c.name;
        unlink(at("L").c_str());
        for (const char *folder : {"devbind", "b", "hostdev", "plain"}) rmdir(at(folder).c_str());
    }
}

// A reason line goes out in one write: written a character at a time it
// could interleave with other programs' output on a shared terminal.
TEST_F(CliPosix, AReasonLineIsOneWrite)
{
    const running_tool tool = start_vesklo({"c", "missing\nname", "dst"}, dir);
    const long writes = write_calls_of(tool);
    const run_result r = wait_vesklo(tool);
    EXPECT_EQ(r.errors, "vesklo: missing\\x0aname: No such file or directory\n");
    // The message on standard output, and the reason.
    EXPECT_EQ(writes, 2);
}

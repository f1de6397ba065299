// Running the built tool as a user would, in a temporary directory of its
// own. The tool under test is the native build unless VESKLO_EXE names
// another (the Windows build, the armhf build); VESKLO_RUNNER, when set, is
// the program that runs it (wine, qemu-arm-static).
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

struct run_result {
    int status;          // the exit status, or -1 when the tool did not exit normally
    std::string output;  // standard output, CR-LF folded to LF
    int signal = 0;      // the signal that ended the tool, 0 when it exited
    std::string errors;  // standard error; under Wine only the tool's own lines
};

// The uid and gid of an ordinary user (nobody) for runs that must not have
// root's powers; those runs need root to switch (setpriv).
constexpr int ordinary_user = 65534;
bool can_run_as_ordinary_user();

// True when the tool under test is the Windows build: VESKLO_EXE names a
// .exe file.
bool testing_windows_build();

// The command that runs the tool under test, as words quoted for sh.
std::string tool_command();

// A copy of the file at path where every user can read and run it (the
// build folder may sit in a folder that others cannot enter), made once
// per test process and removed when it ends. A copy that cannot be made
// ends the tests, saying why.
std::string readable_by_all(const std::string &path);

// A fresh directory, removed by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string &dir);

run_result run_vesklo(const std::vector<std::string> &args, const std::string &cwd);

// How a run is started: as ordinary_user, with signals ignored as nohup or
// a script's background job would leave them (every other signal at its
// default action, whatever the test's own dispositions), and with variables
// ("NAME=value") added to its environment.
struct tool_options {
    bool as_user = false;
    std::vector<int> ignored_signals;
    std::vector<std::string> environment;
    int output_fd = -1;  // standard output goes here (a terminal), not to a file
    int input_fd = -1;   // standard input comes from here, not the test's
    std::vector<std::string> wrapper = {};  // a command that runs the tool (unshare ...)
};

// The same in two steps, for a test that acts on the running tool.
struct running_tool {
    pid_t pid;
    std::string output_file, error_file;
    int io = -1;  // the tool's /proc/PID/io, opened while the tool could not yet end
};
running_tool start_vesklo(const std::vector<std::string> &args, const std::string &cwd,
                          const tool_options &options = {});
run_result wait_vesklo(const running_tool &tool);

// Waits until the tool has ended, leaving it to wait_vesklo, and returns
// how many write calls it made in all (from /proc), or -1 when unknown.
long write_calls_of(const running_tool &tool);

void write_file(const std::string &path, const std::string &data);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);

// Bytes 0..n-1 of a fixed pattern that uses all 256 values.
std::string pattern(std::size_t n);

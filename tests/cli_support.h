// Running the built tool as a user would, in a temporary directory of its
// own. VESKLO_RUNNER (for example wine) is put in front of the binary when
// set, and VESKLO_EXE then names the binary that it runs.
#pragma once

#include <string>
#include <vector>

struct run_result {
    int status;          // the exit status, or -1 when the tool did not exit normally
    std::string output;  // standard output, CR-LF folded to LF
};

// True when the tool under test is the Windows build.
bool testing_windows_build();

// A fresh directory, removed by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string &dir);

run_result run_vesklo(const std::vector<std::string> &args, const std::string &cwd);

void write_file(const std::string &path, const std::string &data);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);

// Bytes 0..n-1 of a fixed pattern that uses all 256 values.
std::string pattern(std::size_t n);

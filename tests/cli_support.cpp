#include "cli_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

std::string env_or(const char *name, const char *fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? v : fallback;
}

std::string fold_crlf(const std::string &s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out += s[i];
    return out;
}

std::string lines_beginning(const std::string &text, const std::string &prefix)
{
    std::istringstream in(text);
    std::string kept;
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) kept += line + "\n";
    return kept;
}

// The runner, when there is one, and the tool under test.
std::vector<std::string> tool_words()
{
    std::vector<std::string> words;
    const std::string runner = env_or("VESKLO_RUNNER", "");
    if (!runner.empty()) words.push_back(runner);
    words.push_back(env_or("VESKLO_EXE", VESKLO_BIN));
    return words;
}

}  // namespace

bool testing_windows_build()
{
    const std::string exe = env_or("VESKLO_EXE", "");
    return exe.size() > 4 && exe.compare(exe.size() - 4, 4, ".exe") == 0;
}

std::string tool_command()
{
    std::string command;
    for (const std::string &word : tool_words()) {
        command += command.empty() ? "'" : " '";
        for (char c : word) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "'";
    }
    return command;
}

std::string make_temp_dir()
{
    char templ[] = "/tmp/vesklo-test-XXXXXX";
    const char *dir = mkdtemp(templ);
    return dir ? dir : "";
}

void remove_tree(const std::string &dir)
{
    if (dir.rfind("/tmp/vesklo-test-", 0) != 0) return;
    const std::string cmd = "chmod -R u+rwx '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) return;
}

namespace {

// The folder of the copies that every user can read, removed at exit.
struct shared_folder {
    std::string path;
    ~shared_folder()
    {
        if (!path.empty() && std::system(("rm -rf '" + path + "'").c_str()) != 0) return;
    }
};

[[noreturn]] void cannot_share(const std::string &what)
{
    std::fprintf(stderr, "cannot make %s readable by other users: %s\n", what.c_str(),
                 std::strerror(errno));
    std::abort();
}

}  // namespace

std::string readable_by_all(const std::string &path)
{
    static shared_folder folder;
    if (folder.path.empty()) {
        char templ[] = "/tmp/vesklo-shared-XXXXXX";
        if (!mkdtemp(templ) || chmod(templ, 0755) != 0) cannot_share(path);
        folder.path = templ;
    }
    const std::string copy = folder.path + "/" + path.substr(path.rfind('/') + 1);
    if (access(copy.c_str(), F_OK) == 0) return copy;
    const std::string data = read_file(path);
    if (data.empty()) cannot_share(path);
    write_file(copy, data);
    if (chmod(copy.c_str(), 0755) != 0) cannot_share(path);
    return copy;
}

bool can_run_as_ordinary_user()
{
    return geteuid() == 0 && std::system("command -v setpriv >/dev/null 2>&1") == 0;
}

running_tool start_vesklo(const std::vector<std::string> &args, const std::string &cwd,
                          const tool_options &options)
{
    std::vector<std::string> argv = options.wrapper;
    if (options.as_user) {
        const std::string id = std::to_string(ordinary_user);
        argv.insert(argv.end(), {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--"});
    }
    std::vector<std::string> tool = tool_words();
    // Another user may not reach the build folder.
    if (options.as_user) tool.back() = readable_by_all(tool.back());
    argv.insert(argv.end(), tool.begin(), tool.end());
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> raw;
    for (auto &a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    // Made before the fork: the child of a threaded test may only exec.
    std::vector<std::string> variables = options.environment;
    for (char **e = environ; *e; ++e) variables.push_back(*e);
    std::vector<char *> env;
    for (auto &v : variables) env.push_back(v.data());
    env.push_back(nullptr);

    // Output goes to a file, read once the tool has exited: under Wine,
    // helper processes that outlive the tool inherit its standard output,
    // so a pipe would not reach its end.
    char out_name[] = "/tmp/vesklo-out-XXXXXX", err_name[] = "/tmp/vesklo-err-XXXXXX";
    const int out = mkstemp(out_name), err = mkstemp(err_name);
    int go[2];
    if (out < 0 || err < 0 || pipe2(go, O_CLOEXEC) != 0) return {-1, "", "", -1};
    const pid_t pid = fork();
    if (pid == 0) {
        // Waits until the test holds the tool's /proc/PID/io: once the tool
        // has ended, only root may open it.
        char c;
        if (read(go[0], &c, 1) != 1) _exit(127);
        if (options.input_fd >= 0) dup2(options.input_fd, STDIN_FILENO);
        dup2(options.output_fd >= 0 ? options.output_fd : out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        // The tool must not hold the test's descriptors (a pseudo-terminal's
        // master would then never close).
        for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd) close(fd);
        // Dispositions and the signal mask pass through exec: start from the
        // defaults, not from whatever started the test.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
        for (int sig : options.ignored_signals) signal(sig, SIG_IGN);
        // A run ended by SIGQUIT leaves no core file behind.
        const rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        if (chdir(cwd.c_str()) != 0) _exit(127);
        execvpe(raw[0], raw.data(), env.data());
        _exit(127);
    }
    close(out);
    close(err);
    close(go[0]);
    const int io = open(("/proc/" + std::to_string(pid) + "/io").c_str(), O_RDONLY | O_CLOEXEC);
    if (write(go[1], "g", 1) != 1) kill(pid, SIGKILL);
    close(go[1]);
    return {pid, out_name, err_name, io};
}

run_result wait_vesklo(const running_tool &tool)
{
    if (tool.pid < 0) return {-1, "", 0, ""};
    // A tool that hangs is killed after 30 s, so that the test fails
    // instead of hanging; it then shows as ended by SIGKILL.
    int status = 0;
    for (int waited_ms = 0; waitpid(tool.pid, &status, WNOHANG) == 0; waited_ms += 10) {
        if (waited_ms == 30000) kill(tool.pid, SIGKILL);
        usleep(10000);
    }
    if (tool.io >= 0) close(tool.io);
    const std::string output = read_file(tool.output_file);
    unlink(tool.output_file.c_str());
    std::string errors = fold_crlf(read_file(tool.error_file));
    unlink(tool.error_file.c_str());
    // Wine has things of its own to say on standard error.
    if (testing_windows_build()) errors = lines_beginning(errors, "vesklo: ");
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, fold_crlf(output),
            WIFSIGNALED(status) ? WTERMSIG(status) : 0, errors};
}

long write_calls_of(const running_tool &tool)
{
    siginfo_t info;
    // WNOWAIT leaves the ended tool a zombie, whose counts /proc still has.
    if (tool.io < 0 || waitid(P_PID, static_cast<id_t>(tool.pid), &info, WEXITED | WNOWAIT) != 0)
        return -1;
    char text[1024];
    const ssize_t n = pread(tool.io, text, sizeof text - 1, 0);
    if (n <= 0) return -1;
    const std::string io(text, static_cast<std::size_t>(n));
    const std::size_t at = io.find("syscw: ");
    return at == std::string::npos ? -1 : std::stol(io.substr(at + 7));
}

run_result run_vesklo(const std::vector<std::string> &args, const std::string &cwd)
{
    return wait_vesklo(start_vesklo(args, cwd));
}

void write_file(const std::string &path, const std::string &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 13 + i / 256);
    return s;
}

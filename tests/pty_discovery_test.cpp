// End to end in real time: korvane-cli finds, reads, backs up and verifies the
// panels that the korvane-panels tool serves on a pseudo-terminal, through the
// serial tty driver, as it would reach a cable bound to ftdi_sio.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/bounded.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

// A child process that cannot outlive the test: it dies with this process,
// and on every way out of the test it is killed and reaped.
class Child {
public:
    // Runs body in the child, its standard output on a pipe of its own; body
    // returns the exit status (or execs).
    explicit Child(const std::function<int()>& body) {
        int fds[2];
        if (pipe(fds) != 0) return;
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            _exit(body());
        }
        close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    bool started() const { return pid_ > 0; }

    // One line of its output without the line end; past the limit a failure
    // naming what, and "".
    std::string readLine(const std::string& what, int limitMs) {
        std::string line;
        const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            pollfd p{out_, POLLIN, 0};
            char c;
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0 || read(out_, &c, 1) != 1) break;
            if (c == '\n') return line;
            line += c;
        }
        ADD_FAILURE() << "gave up waiting for " << what << "; read so far: \"" << line << "\"";
        return "";
    }

    // Its exit status; past the limit a failure naming what, and -1.
    int exitStatus(const std::string& what, int limitMs) {
        int status = 0;
        if (!waitFor(
                what, [&] { return waitpid(pid_, &status, WNOHANG) != 0; }, limitMs))
            return -1;
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

}  // namespace

TEST(PtyEndToEnd, CliBacksUpAndVerifiesThroughTheTool) {
    Child tool([] {
        execl(KORVANE_PANELS_TOOL, KORVANE_PANELS_TOOL, "--uid", "7FFFFFFF", "--uid", "7FFFFFFE",
              static_cast<char*>(nullptr));
        return 127;
    });
    ASSERT_TRUE(tool.started());
    const std::string path = tool.readLine("the tool to name its pseudo-terminal", 10000);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;

    TempDir dir;
    const std::string site = dir.file("site.json");
    // Standard output for the test, or `out` closed, without reader, or full (standard error for the test).
    auto cli = [&](std::vector<std::string> args, const std::string& out = "") {
        return Child([&] {
            setenv("KORVANE_PORT", path.c_str(), 1);
            int fds[2] = {-1, -1};
            if (!out.empty()) dup2(STDOUT_FILENO, STDERR_FILENO);
            if (out == "closed") close(STDOUT_FILENO);
            if (out == "no reader" && pipe(fds) == 0) close(fds[0]);
            if (out == "full") fds[1] = open("/dev/full", O_WRONLY);
            if (fds[1] >= 0) dup2(fds[1], STDOUT_FILENO);
            std::vector<char*> argv{const_cast<char*>(KORVANE_CLI_TOOL)};
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(KORVANE_CLI_TOOL, argv.data());
            return 127;
        });
    };
    // A whole discovery, then two setup reads: 15 to 30 s of real time here.
    Child backup = cli({"backup", site});
    EXPECT_EQ(backup.readLine("the backup's result", 45000), site + ": 2 panels saved");
    EXPECT_EQ(backup.exitStatus("korvane-cli backup", 5000), 0);
    // A second program on the bus is refused: PortChoice.APortInUseIsRefusedSayingSo.
    Child verify = cli({"verify", site});
    EXPECT_EQ(verify.readLine("the first panel's result", 20000), "7FFFFFFF: matches");
    EXPECT_EQ(verify.readLine("the second panel's result", 1000), "7FFFFFFE: matches");
    EXPECT_EQ(verify.readLine("the verify's summary", 1000), "verify: 2 panels: 2 match");
    EXPECT_EQ(verify.exitStatus("korvane-cli verify", 5000), 0);
    // A result that cannot be written whole is a failure said on standard error:
    // never a kill by SIGPIPE, nor a result written onto the bus.
    for (const std::string how : {"closed", "no reader", "full"}) {
        Child read = cli({"read", "7FFFFFFF"}, how);
        const std::string said = read.readLine("korvane-cli's complaint, " + how, 10000);
        EXPECT_EQ(said.rfind("korvane-cli: standard output: ", 0), 0u) << how << ": " << said;
        EXPECT_EQ(read.exitStatus("korvane-cli read, " + how, 5000), 1) << how;
    }
}

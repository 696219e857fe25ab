// cdcbus --serve run as a program: actions fed on its standard input, the
// serial child used through its pseudo-terminal as a terminal program would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int bound_ms = 10000;

int remaining(clock_type::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

class served_program {
 public:
    explicit served_program(const std::vector<std::string>& options) {
        int in[2], out[2];
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);  // the trace
            std::vector<char*> argv;
            std::string program = CDCBUS_PROGRAM, serve = "--serve";
            argv.push_back(program.data());
            argv.push_back(serve.data());
            std::vector<std::string> copies = options;
            for (auto& o : copies) argv.push_back(o.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~served_program() {
        if (to_ >= 0) close(to_);
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(from_);
    }

    void send(const std::string& line) {
        std::string text = line + "\n";
        ASSERT_EQ(write(to_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // The first line from now on that contains `text`; "" when none came in time.
    std::string line_with(const std::string& text) {
        auto deadline = clock_type::now() + std::chrono::milliseconds(bound_ms);
        for (;;) {
            size_t end;
            while ((end = buffer_.find('\n')) != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                lines_.push_back(line);
                if (line.find(text) != std::string::npos) return line;
            }
            pollfd p = {from_, POLLIN, 0};
            if (poll(&p, 1, remaining(deadline)) <= 0) return "";
            char chunk[1024];
            ssize_t n = read(from_, chunk, sizeof(chunk));
            if (n <= 0) return "";
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    // Ends standard input; the exit status once the program is done (-1 if it is not in time).
    int finish() {
        close(to_);
        to_ = -1;
        line_with("\x01never");  // reads to the end of its output
        auto deadline = clock_type::now() + std::chrono::milliseconds(bound_ms);
        while (remaining(deadline) > 0) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
                return status_;
            }
            pollfd none = {-1, 0, 0};
            poll(&none, 0, 10);
        }
        return -1;
    }
    const std::vector<std::string>& lines() const { return lines_; }

 private:
    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    int status_ = -1;
    std::string buffer_;
    std::vector<std::string> lines_;
};

// The slave as a terminal program opens it.
int open_terminal(const std::string& announcement) {
    size_t at = announcement.rfind(" on ");
    if (at == std::string::npos) return -1;
    int fd = open(announcement.substr(at + 4).c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return -1;
    termios raw;
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    return fd;
}

// Writes the command and reads until `reply` arrives; what was read.
std::string converse(int fd, const std::string& command, const std::string& reply) {
    if (write(fd, command.data(), command.size()) != static_cast<ssize_t>(command.size())) return "";
    std::string got;
    auto deadline = clock_type::now() + std::chrono::milliseconds(bound_ms);
    while (got.find(reply) == std::string::npos) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, remaining(deadline)) <= 0) break;
        char chunk[256];
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n <= 0) break;
        got.append(chunk, static_cast<size_t>(n));
    }
    return got;
}

class cdcbus_serve : public ::testing::Test {};

TEST_F(cdcbus_serve, the_modem_answers_on_its_terminal_and_the_program_ends_cleanly_at_end_of_input) {
    served_program program({});
    program.send("plug modem");
    EXPECT_NE(program.line_with("child 0 usbcdcacm\\VID_1234&PID_0001 reported"), "");
    program.send("open 0");
    EXPECT_EQ(program.line_with("open: "), "open: 0x00000000");
    std::string announced = program.line_with(" on /dev/pts/");
    ASSERT_EQ(announced.rfind("usbcdcacm\\VID_1234&PID_0001 on /dev/pts/", 0), 0u) << announced;
    int fd = open_terminal(announced);
    ASSERT_GE(fd, 0);
    std::string got = converse(fd, "AT\r", "OK");
    EXPECT_NE(got.find("\r\nOK\r\n"), std::string::npos) << got;
    EXPECT_EQ(got.find("AT"), std::string::npos);  // no echo
    // Unplugged, the child goes and its terminal with it.
    program.send("unplug");
    EXPECT_NE(program.line_with("child 0 usbcdcacm\\VID_1234&PID_0001 removed"), "");
    EXPECT_EQ(program.finish(), 0);
    bool closed = false;
    for (const auto& line : program.lines())
        closed = closed || line == announced.substr(announced.rfind(' ') + 1) + " closed";
    EXPECT_TRUE(closed);
    close(fd);
}

TEST_F(cdcbus_serve, a_malformed_or_failing_line_is_reported_and_the_loop_goes_on) {
    served_program program({});
    program.send("frobnicate 0");
    EXPECT_EQ(program.line_with("error"), "error: line 1: unknown action 'frobnicate'");
    program.send("open 3");
    EXPECT_EQ(program.line_with("error"), "error: line 2: no child 3");
    program.send("replug");
    EXPECT_EQ(program.line_with("error"), "error: line 3: nothing was unplugged");
    program.send("plug modem");
    EXPECT_NE(program.line_with("reported"), "");
    program.send("open 0");
    program.send("write 0 \"AT\\r\"");
    EXPECT_EQ(program.line_with("read"), "child 0 read \"\\r\\nOK\\r\\n\"");
    EXPECT_EQ(program.finish(), 0);
}

TEST_F(cdcbus_serve, a_replugged_modem_comes_back_as_a_new_child_that_answers_again) {
    served_program program({});
    program.send("plug modem at 6&1a2b3c4d&0&4");
    program.send("open 0");
    program.send("unplug");
    EXPECT_NE(program.line_with("child 0 usbcdcacm\\VID_1234&PID_0001 removed"), "");
    program.send("replug");
    EXPECT_EQ(program.line_with("plug "), "plug VID_1234&PID_0001 at 6&1a2b3c4d&0&4: 0x00000000");
    EXPECT_NE(program.line_with("child 1 usbcdcacm\\VID_1234&PID_0001 reported"), "");
    program.send("open 1");
    int fd = open_terminal(program.line_with(" on /dev/pts/"));
    ASSERT_GE(fd, 0);
    EXPECT_NE(converse(fd, "AT\r", "OK").find("OK"), std::string::npos);
    close(fd);
    program.send("replug at 6&1a2b3c4d&0&5");
    EXPECT_EQ(program.line_with("error"), "error: line 6: nothing was unplugged");
    EXPECT_EQ(program.finish(), 0);
}

TEST_F(cdcbus_serve, with_a_control_device_the_terminal_answers_in_the_same_way) {
    served_program program({"--control-device", "--root-device"});
    program.send("plug modem");
    program.send("open 0");
    std::string announced = program.line_with(" on /dev/pts/");
    int fd = open_terminal(announced);
    ASSERT_GE(fd, 0) << announced;
    std::string got = converse(fd, "AT\r", "OK");
    EXPECT_NE(got.find("OK"), std::string::npos) << got;
    close(fd);
    EXPECT_EQ(program.finish(), 0);
}

// The child keeps its function driver, and the terminal its path, while the
// modem is away; the system sleeping and the modem idling leave it working.
TEST_F(cdcbus_serve, with_a_control_device_the_terminal_lives_across_unplug_replug_sleep_and_idle) {
    served_program program({"--control-device", "--root-device"});
    program.send("plug modem");
    program.send("open 0");
    std::string announced = program.line_with(" on /dev/pts/");
    int fd = open_terminal(announced);
    ASSERT_GE(fd, 0) << announced;
    EXPECT_NE(converse(fd, "AT\r", "OK").find("OK"), std::string::npos);
    program.send("unplug");
    EXPECT_NE(program.line_with("unplugged"), "");
    program.send("replug");
    EXPECT_NE(program.line_with("plug "), "");
    std::string again = converse(fd, "AT\r", "OK");
    EXPECT_NE(again.find("OK"), std::string::npos) << again;
    program.send("sleep");
    EXPECT_NE(program.line_with("sleep: 0x00000000"), "");
    program.send("resume");
    EXPECT_NE(program.line_with("resume: 0x00000000"), "");
    program.send("idle 0");
    EXPECT_NE(program.line_with("idle: "), "");
    again = converse(fd, "AT\r", "OK");
    EXPECT_NE(again.find("OK"), std::string::npos) << again;
    close(fd);
    EXPECT_EQ(program.finish(), 0);
    for (const auto& line : program.lines()) EXPECT_EQ(line.find("removed"), std::string::npos) << line;
}

}  // namespace

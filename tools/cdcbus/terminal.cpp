#include "terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace cdcbus {

std::unique_ptr<terminal> terminal::create(std::string* error) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        *error = std::string("posix_openpt: ") + strerror(errno);
        return nullptr;
    }
    char* name = nullptr;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || (name = ptsname(master)) == nullptr) {
        *error = std::string("pseudo-terminal setup: ") + strerror(errno);
        close(master);
        return nullptr;
    }
    std::string path = name;
    int slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    int wake = slave < 0 ? -1 : eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (slave < 0 || wake < 0) {
        *error = path + ": " + strerror(errno);
        if (slave >= 0) close(slave);
        close(master);
        return nullptr;
    }
    termios raw;
    if (tcgetattr(slave, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
    }
    return std::unique_ptr<terminal>(new terminal(master, slave, wake, path));
}

terminal::terminal(int master, int slave, int wake, std::string path)
    : master_(master), slave_(slave), wake_(wake), path_(std::move(path)) {
    thread_ = std::thread([this] { run(); });
}

terminal::~terminal() {
    detach();
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    uint64_t one = 1;
    (void)!write(wake_, &one, sizeof(one));
    thread_.join();
    close(wake_);
    close(slave_);
    close(master_);
}

void terminal::attach(function_drivers::cdc_client* driver) {
    std::lock_guard<std::mutex> guard(driver_lock_);
    driver_ = driver;
    driver->set_read_sink([this](const uint8_t* data, size_t bytes) { deliver(data, bytes); });
}

void terminal::detach() {
    std::lock_guard<std::mutex> guard(driver_lock_);
    if (driver_ != nullptr) driver_->set_read_sink({});
    driver_ = nullptr;
}

// On a completion path: queue and wake the thread, never wait.
void terminal::deliver(const uint8_t* data, size_t bytes) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        output_.insert(output_.end(), data, data + bytes);
        if (output_.size() > backlog) output_.erase(output_.begin(), output_.end() - backlog);
    }
    uint64_t one = 1;
    (void)!write(wake_, &one, sizeof(one));
}

void terminal::run() {
    std::vector<uint8_t> input(4096);
    for (;;) {
        bool have_output;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_) return;
            have_output = !output_.empty();
        }
        pollfd fds[2] = {{master_, static_cast<short>(POLLIN | (have_output ? POLLOUT : 0)), 0}, {wake_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            (void)!read(wake_, &count, sizeof(count));
        }
        if (fds[0].revents & POLLOUT) {
            std::lock_guard<std::mutex> guard(lock_);
            ssize_t n = write(master_, output_.data(), output_.size());
            if (n > 0) output_.erase(output_.begin(), output_.begin() + n);
        }
        if (fds[0].revents & POLLIN) {
            ssize_t n = read(master_, input.data(), input.size());
            if (n > 0) {
                std::lock_guard<std::mutex> guard(driver_lock_);
                // Refused while the port is closed or its device away: the
                // bytes are lost, as on a serial line with nothing behind it.
                if (driver_ != nullptr) driver_->write(std::vector<uint8_t>(input.begin(), input.begin() + n));
            }
        }
    }
}

}  // namespace cdcbus

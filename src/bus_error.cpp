// The bus error reporter of the command: reading a memory-mapped input that another program
// truncated raises SIGBUS, which ends the run with one line naming the file instead of a crash.
#include "bus_error.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace bus_error {

namespace {

// Everything the handler uses is async-signal-safe: static buffers, open, read, write and _exit.
char prefix[512];
size_t prefix_length = 0;
std::atomic_flag reporting = ATOMIC_FLAG_INIT;

void write_text(const char* text, size_t length) {
    while (length > 0) {
        const ssize_t written = write(STDERR_FILENO, text, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text += written;
        length -= size_t(written);
    }
}

void write_text(const char* text) { write_text(text, std::strlen(text)); }

const char* parse_hex(const char* text, uintptr_t& value) {
    value = 0;
    for (;; ++text) {
        const char c = *text;
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) {
            return text;
        }
        value = value * 16 + uintptr_t(digit);
    }
}

}  // namespace

// The file of a line of /proc/self/maps ("start-end perms offset dev inode path") if its range
// holds `address`.
const char* file_at(const char* line, uintptr_t address) {
    uintptr_t start = 0, end = 0;
    line = parse_hex(line, start);
    if (*line != '-') {
        return nullptr;
    }
    line = parse_hex(line + 1, end);
    if (address < start || address >= end) {
        return nullptr;
    }
    for (int field = 0; field < 4; ++field) {  // perms, offset, dev, inode
        while (*line == ' ') {
            ++line;
        }
        while (*line != ' ' && *line != '\0') {
            ++line;
        }
    }
    while (*line == ' ') {
        ++line;
    }
    return *line == '/' ? line : nullptr;
}

namespace {

bool write_mapped_file(uintptr_t address) {
    static char buffer[4096];
    static char line[8192];
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    size_t length = 0;
    ssize_t count;
    while ((count = read(fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            if (buffer[i] != '\n') {
                if (length < sizeof line - 1) {
                    line[length++] = buffer[i];
                }
                continue;
            }
            line[length] = '\0';
            length = 0;
            if (const char* file = file_at(line, address)) {
                close(fd);
                const char* deleted = std::strstr(file, " (deleted)");
                write_text(file, deleted ? size_t(deleted - file) : std::strlen(file));
                return true;
            }
        }
    }
    close(fd);
    return false;
}

void report(int, siginfo_t* info, void*) {
    if (reporting.test_and_set()) {
        for (;;) {
            pause();  // another thread is reporting and will end the process
        }
    }
    write_text(prefix, prefix_length);
    if (!write_mapped_file(uintptr_t(info->si_addr))) {
        write_text("an input");
    }
    write_text(" changed or was removed during the run\n");
    _exit(1);
}

}  // namespace

void exit_on_bus_error(const std::string& text) {
    prefix_length = std::min(text.size(), sizeof prefix);
    std::memcpy(prefix, text.data(), prefix_length);
    struct sigaction action {};
    action.sa_sigaction = report;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGBUS, &action, nullptr) != 0) {
        throw std::system_error(errno, std::generic_category(), "sigaction");
    }
}

}  // namespace bus_error

#include "bus_error.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

TEST(BusError, FindsTheFileOfAnAddressInAMapsLine) {
    const char* line = "7f0000001000-7f0000003000 r--s 00000000 08:01 1234    /data/reads.pt";
    EXPECT_STREQ(bus_error::file_at(line, 0x7f0000001000), "/data/reads.pt");
    EXPECT_STREQ(bus_error::file_at(line, 0x7f0000002fff), "/data/reads.pt");
    EXPECT_EQ(bus_error::file_at(line, 0x7f0000003000), nullptr);  // the end is exclusive
    EXPECT_EQ(bus_error::file_at(line, 0x7f0000000fff), nullptr);
    // Mappings of no file, and lines that are not maps lines.
    EXPECT_EQ(bus_error::file_at("55d000-55e000 rw-p 00000000 00:00 0    [heap]", 0x55d000),
              nullptr);
    EXPECT_EQ(bus_error::file_at("7f00-7f10 rw-p 00000000 00:00 0", 0x7f00), nullptr);
    EXPECT_EQ(bus_error::file_at("", 0), nullptr);
    EXPECT_EQ(bus_error::file_at("zz-10 r", 0), nullptr);
    EXPECT_EQ(bus_error::file_at("10", 0x10), nullptr);
}

#if !defined(__SANITIZE_ADDRESS__)  // AddressSanitizer handles SIGBUS itself
// A file truncated under its mapping: reading past its new end raises SIGBUS, which the handler
// turns into one line naming the file and exit status 1.
TEST(BusErrorDeathTest, ATruncatedMappedFileEndsTheProcessWithOneLine) {
    char path[] = "/tmp/bus_error_test_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const long page = sysconf(_SC_PAGESIZE);
    ASSERT_EQ(ftruncate(fd, 2 * page), 0);
    auto* mapped =
        static_cast<volatile char*>(mmap(nullptr, size_t(2 * page), PROT_READ, MAP_SHARED, fd, 0));
    ASSERT_NE(mapped, MAP_FAILED);
    ASSERT_EQ(ftruncate(fd, 0), 0);
    EXPECT_EXIT(
        {
            bus_error::exit_on_bus_error("decoder: error: ");
            (void)mapped[page];
            std::exit(0);
        },
        testing::ExitedWithCode(1),
        "decoder: error: " + std::string(path) + " changed or was removed during the run");
    close(fd);
    unlink(path);
}
#endif

}  // namespace

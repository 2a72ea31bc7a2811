// The conversion file, written from the image that updater-ofdm2 carries.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "image/firmware_image.h"
#include "image/outfile.h"
#include "image_test_support.h"
#include "platform/platform.h"

namespace {
std::string console;
}

void platOut(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    console += text;
}

namespace {

const std::string outName = "qpsk_ofdm2_varek_V1.01.180_2.02c.fl.out";
const std::string banner = "Convert to progstand format...\n";

std::vector<unsigned char> carried() {
    return {firmwareImage.elfFile, firmwareImage.elfFile + firmwareImage.elfFileSize};
}

std::vector<std::string> folderContent(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Runs each conversion in a temporary current folder.
class Outfile : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(folder_.path());
        console.clear();
    }
    void TearDown() override { std::filesystem::current_path(previous_); }

    // Runs writeOutfile in a child process after prepare(); returns its result
    // (-1 when the child did not end normally) and its console text.
    std::pair<int, std::string> convertInChild(const std::function<void()>& prepare) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            return {-1, "pipe failed"};
        pid_t child = fork();
        if (child == 0) {
            close(pipeFds[0]);
            prepare();
            int result = writeOutfile();
            ssize_t ignored = write(pipeFds[1], console.data(), console.size());
            (void)ignored;
            _exit(result);
        }
        close(pipeFds[1]);
        std::string text;
        char buffer[512];
        ssize_t n;
        while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        close(pipeFds[0]);
        int status = 0;
        waitpid(child, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
    }

    void expectOldFileAloneInFolder(const std::vector<unsigned char>& old) {
        EXPECT_EQ(folderContent(folder_.path()), std::vector<std::string>{outName});
        EXPECT_TRUE(readBytes(outName) == old);
    }

    TempFolder folder_;
    std::filesystem::path previous_;
};

TEST_F(Outfile, WritesTheCarriedImageUnchanged) {
    ASSERT_EQ(firmwareImage.elfFileSize, 1253714u);
    EXPECT_TRUE(carried() == readBytes(std::filesystem::path(UPDATER_FIRMWARE_DIR) /
                                       "ofdm2_varek_V1.01.180_2.02c.fl.out"))
        << "the carried image differs from its file";

    EXPECT_EQ(writeOutfile(), 1);
    EXPECT_EQ(console, banner);
    EXPECT_EQ(folderContent(folder_.path()), std::vector<std::string>{outName});
    EXPECT_TRUE(readBytes(outName) == carried());
}

TEST_F(Outfile, SecondConversionReplacesTheFirst) {
    writeBytes(outName, std::vector<unsigned char>(2'000'000, 'x'));
    EXPECT_EQ(writeOutfile(), 1);
    EXPECT_EQ(writeOutfile(), 1);
    EXPECT_EQ(console, banner + banner);
    EXPECT_EQ(folderContent(folder_.path()), std::vector<std::string>{outName});
    EXPECT_TRUE(readBytes(outName) == carried());
}

TEST_F(Outfile, FailedWriteKeepsTheOldFile) {
    const std::vector<unsigned char> old(100, 'o');
    writeBytes(outName, old);
    auto [result, text] = convertInChild([] {
        struct rlimit limit = {4096, 4096};
        std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(text, banner + "Cannot write " + outName +
                        ": writing failed: " + std::strerror(EFBIG) + "\n");
    expectOldFileAloneInFolder(old);
}

TEST_F(Outfile, ReadOnlyFolderKeepsTheOldFile) {
    const std::vector<unsigned char> old(100, 'o');
    writeBytes(outName, old);
    std::filesystem::permissions(folder_.path(), std::filesystem::perms(0555));
    auto [result, text] = convertInChild([] {
        // Root writes into read-only folders; the conversion runs as nobody.
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(99);
    });
    std::filesystem::permissions(folder_.path(), std::filesystem::perms(0700));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(text, banner + "Cannot write " + outName +
                        ": cannot create the temporary file: " + std::strerror(EACCES) + "\n");
    expectOldFileAloneInFolder(old);
}

TEST_F(Outfile, FailedReplaceRemovesTheTemporaryFile) {
    std::filesystem::create_directory(outName);
    EXPECT_EQ(writeOutfile(), 0);
    EXPECT_EQ(console, banner + "Cannot write " + outName +
                           ": cannot replace the file: " + std::strerror(EISDIR) + "\n");
    EXPECT_EQ(folderContent(folder_.path()), std::vector<std::string>{outName});
    EXPECT_TRUE(std::filesystem::is_directory(outName));
}

// Names that somebody else prepared in the folder are never written through
// or opened: a link under the final name is replaced (its target stays as it
// was), a FIFO under the old fixed temporary name blocks nothing, and a final
// file made read-only is refused, by root as well. The file gets the mode of
// any new file.
TEST_F(Outfile, PreparedNamesAndReadOnlyFilesAreLeftAlone) {
    TempFolder elsewhere;
    const auto victim = elsewhere.path() / "victim";
    const std::vector<unsigned char> victimBytes(10, 'v');
    writeBytes(victim, victimBytes);
    std::filesystem::create_symlink(victim, outName);
    ASSERT_EQ(mkfifo((outName + ".tmp").c_str(), 0600), 0);
    auto [result, text] = convertInChild([] {
        alarm(20); // a conversion that blocks ends the child
        umask(027);
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(text, banner);
    EXPECT_TRUE(readBytes(victim) == victimBytes);
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(outName)));
    EXPECT_TRUE(readBytes(outName) == carried());
    struct stat written {};
    ASSERT_EQ(stat(outName.c_str(), &written), 0);
    EXPECT_EQ(written.st_mode & 0777, 0640u);
    EXPECT_EQ(folderContent(folder_.path()), (std::vector<std::string>{outName, outName + ".tmp"}));

    std::filesystem::remove(outName + ".tmp");
    const std::vector<unsigned char> old(100, 'o');
    std::filesystem::remove(outName);
    writeBytes(outName, old);
    std::filesystem::permissions(outName, std::filesystem::perms(0444));
    EXPECT_EQ(writeOutfile(), 0);
    EXPECT_EQ(console, banner + "Cannot write " + outName +
                           ": the file is read-only: " + std::strerror(EACCES) + "\n");
    expectOldFileAloneInFolder(old);
    EXPECT_EQ(std::filesystem::status(outName).permissions(), std::filesystem::perms(0444));
}

// A conversion interrupted while its temporary file exists leaves nothing.
TEST_F(Outfile, InterruptionRemovesTheTemporaryFile) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGTERM, SIG_DFL);
        if (platCreateTempFile("partial.tmp") == nullptr)
            _exit(1);
        raise(SIGTERM);
        _exit(2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WIFSIGNALED(status) ? WTERMSIG(status) : 0, SIGTERM);
    EXPECT_TRUE(folderContent(folder_.path()).empty());
}

} // namespace

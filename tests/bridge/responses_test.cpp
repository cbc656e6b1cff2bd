// The response writers and file helpers, called in a scratch working directory.
// Built without BUILD_ETOKEN, so the response file is marbek_out.txt.
#include "bridge_state.h"
#include "file_utils.h"
#include "responses.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
class ResponseFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/responses-test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folder = pattern;
        ASSERT_EQ(::getcwd(previous, sizeof previous), previous);
        ASSERT_EQ(::chdir(folder.c_str()), 0);
    }
    void TearDown() override
    {
        ASSERT_EQ(::chdir(previous), 0);
        std::string command = "rm -rf '" + folder + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    static std::string read(const char* name = "marbek_out.txt")
    {
        std::ifstream in(name, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }
    static bool exists(const char* name) { return ::access(name, F_OK) == 0; }
    static bool folderEmpty() { return std::system("test \"$(ls -A | wc -l)\" = 0") == 0; }
    // Runs `child` in a child process and returns its wait status.
    template <typename Child>
    static int inChild(Child child)
    {
        std::fflush(nullptr);
        pid_t pid = ::fork();
        if (pid == 0) {
            child();
            ::_exit(0);
        }
        int status = -1;
        ::waitpid(pid, &status, 0);
        return status;
    }
    std::string folder;
    char previous[PATH_MAX];
};
} // namespace

TEST_F(ResponseFile, ErrorBodyCarriesCodeNameAndLabel)
{
    PrintError("C_Login", 160);
    EXPECT_EQ(read(), "Result=160\nError=CKR_PIN_INCORRECT\nError func=C_Login");
    PrintError("C_FindToken", 1025);
    EXPECT_EQ(read(), "Result=1025\nError=CKR_TOKEN_NOT_FOUND\nError func=C_FindToken");
    PrintError("C_Initialize", 0);
    EXPECT_EQ(read(), "Result=0\nError=Unknown function\nError func=C_Initialize");
    PrintError("C_Sign", static_cast<int>(0x80000001UL));
    EXPECT_EQ(read(), "Result=-2147483647\nError=Unknown function\nError func=C_Sign");
    std::string longLabel(5000, 'L');
    PrintError(longLabel.c_str(), 7);
    EXPECT_EQ(read(), "Result=7\nError=CKR_ARGUMENTS_BAD\nError func=" + longLabel);
}

TEST_F(ResponseFile, WarningBodyPutsTheLabelWhereTheNameWouldBe)
{
    p11_warn("C_GetAttributeValue(CLASS)", 18);
    EXPECT_EQ(read(), "Result=18\nError=C_GetAttributeValue(CLASS)");
}

TEST_F(ResponseFile, SuccessBodies)
{
    writeInfo("");
    EXPECT_EQ(read(), "Result=0\nError=OK\nRawCert64Coded\n");
    writeInfo("TUlJ");
    EXPECT_EQ(read(), "Result=0\nError=OK\nRawCert64Coded\nTUlJ");
    writeSignedOut("abc");
    EXPECT_EQ(read(), "Result=0\nError=OK\nSignedData=abc");
}

TEST_F(ResponseFile, NullTextsEndTheBodyWithoutFailing)
{
    PrintError(nullptr, 5);
    EXPECT_EQ(read(), "Result=5\nError=CKR_GENERAL_ERROR\nError func=");
    p11_warn(nullptr, 5);
    EXPECT_EQ(read(), "Result=5\nError=");
    writeInfo(nullptr);
    EXPECT_EQ(read(), "Result=0\nError=OK\nRawCert64Coded\n");
}

TEST_F(ResponseFile, EveryBodyReplacesALongerOneWhole)
{
    writeSignedOut(std::string(10000, 'S'));
    p11_warn("x", 1);
    EXPECT_EQ(read(), "Result=1\nError=x");
}

TEST_F(ResponseFile, HasThePermissionsOfAPlainCreateAndNoTemporaryIsLeft)
{
    mode_t old = ::umask(027);
    writeSignedOut("abc");
    ::umask(old);
    struct stat info;
    ASSERT_EQ(::stat("marbek_out.txt", &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(std::system("test \"$(ls -A | wc -l)\" = 1"), 0) << "only the response file is left";
}

TEST_F(ResponseFile, DraftAppearsOnlyWhenCommittedAndDiscardKeepsTheOldBody)
{
    writeSignedOut("old");
    FileDraft draft;
    beginResponse(draft);
    appendDraft(draft, "[", 1);
    appendDraft(draft, "]", 1);
    EXPECT_EQ(read(), "Result=0\nError=OK\nSignedData=old") << "not before the commit";
    commitDraft(draft);
    EXPECT_EQ(read(), "[]");

    FileDraft dropped;
    beginResponse(dropped);
    appendDraft(dropped, "partial", 7);
    discardDraft(dropped);
    EXPECT_EQ(read(), "[]");
    EXPECT_EQ(std::system("test \"$(ls -A | wc -l)\" = 1"), 0) << "the discarded draft is gone";
}

TEST_F(ResponseFile, ADraftThatFailedRemovesTheOldAnswer)
{
    writeSignedOut("old");
    FileDraft draft;
    beginResponse(draft);
    draft.failed = true;  // as after a short write
    commitDraft(draft);
    EXPECT_FALSE(exists("marbek_out.txt"));
    EXPECT_EQ(std::system("test \"$(ls -A | wc -l)\" = 0"), 0);
}

TEST_F(ResponseFile, BinaryDumpsHoldExactlyTheBytes)
{
    char data[] = {'a', 0, 'b', 0};
    writeBinaryOut(data, 4, "forsign.bin");
    EXPECT_EQ(read("forsign.bin"), std::string(data, 4));
    writeBinaryOut(data, 0, "forsign.bin");
    EXPECT_TRUE(exists("forsign.bin"));
    EXPECT_EQ(read("forsign.bin"), "");
}

TEST_F(ResponseFile, FileExistsIsTrueForAnyReadableFile)
{
    EXPECT_FALSE(fileExists("VELNOR_VIVIRAV_NOTDELETE_LOGS.FLAG"));
    std::ofstream("VELNOR_VIVIRAV_NOTDELETE_LOGS.FLAG");
    EXPECT_TRUE(fileExists("VELNOR_VIVIRAV_NOTDELETE_LOGS.FLAG")) << "an empty flag file counts";
    EXPECT_FALSE(fileExists(nullptr));
}

TEST_F(ResponseFile, NamedDraftsReplaceTheTargetAndAreGoneWhenTheRunEndsEarly)
{
    writeSignedOut("old");
    FileDraft draft;
    beginNamedDraft(draft, "marbek_out.txt");
    ASSERT_GE(draft.fd, 0);
    ASSERT_FALSE(draft.inPlace);
    appendDraft(draft, "[]", 2);
    EXPECT_TRUE(commitDraft(draft));
    EXPECT_EQ(read(), "[]");
    EXPECT_EQ(std::system("test \"$(ls -A | wc -l)\" = 1"), 0) << "only the response file is left";
    ASSERT_EQ(::unlink("marbek_out.txt"), 0);

    int killed = inChild([] {
        FileDraft named;
        beginNamedDraft(named, "marbek_out.txt");
        appendDraft(named, "partial", 7);
        std::raise(SIGTERM);
    });
    EXPECT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGTERM) << "the signal still ends the run";
    EXPECT_TRUE(folderEmpty()) << "no draft left after SIGTERM";

    int exited = inChild([] {
        static FileDraft named; // never destroyed: only the exit can remove it
        beginNamedDraft(named, "marbek_out.txt");
        appendDraft(named, "partial", 7);
        std::exit(3);
    });
    EXPECT_TRUE(WIFEXITED(exited) && WEXITSTATUS(exited) == 3);
    EXPECT_TRUE(folderEmpty()) << "no draft left after exit";
}

TEST_F(ResponseFile, AHardLinkedAnswerIsNeitherEmptiedNorWrittenThrough)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the writer as another user";
    // A folder that user may read but not write, so the answer can only be
    // written in place; the earlier answer is that user's, with a second name.
    ASSERT_EQ(::chmod(".", 0755), 0);
    std::ofstream("other.txt") << "other";
    ASSERT_EQ(::chown("other.txt", 65534, 65534), 0);
    ASSERT_EQ(::link("other.txt", "marbek_out.txt"), 0);
    int status = inChild([] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        bool removed = removeOrEmpty("marbek_out.txt");
        writeSignedOut("abc");
        ::_exit(!removed && responseFailed ? 0 : 1);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "neither removed nor emptied, and the answer reported as not written";
    EXPECT_EQ(read("other.txt"), "other");
}

TEST_F(ResponseFile, AnAllocationFailureIsAnsweredUnderTheStepUnderWay)
{
    stepLabel = "getCertificateInfo";
    answerOutOfMemory();
    EXPECT_EQ(read(), "Result=2\nError=CKR_HOST_MEMORY\nError func=getCertificateInfo");
    EXPECT_FALSE(responseFailed);
    stepLabel = nullptr;
}

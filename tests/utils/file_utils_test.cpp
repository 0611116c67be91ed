#include <zel_upnp/utils.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <string>

#include <boost/filesystem.hpp>

#include "support/log_capture.h"

namespace {

using zel_upnp::utils::CheckFileExistance;
using zel_upnp::utils::OpenFileStream;
using zel_upnp::utils::ReadFileUTF8;
using zel_upnp::utils::UTILS_FAILURE;
using zel_upnp::utils::UTILS_SUCCESS;
using zel_upnp::utils::ZELFileStream;

// A fresh directory under /tmp for each test, removed afterwards.
class FileUtilsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zel_file_utils_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(dir_, ignored);
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    std::string Write(const std::string& name, const std::string& content) const {
        const std::string path = Path(name);
        std::ofstream out(path, std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        return path;
    }

    static std::string Slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::string dir_;
};

// ---------------------------------------------------------------------------
// ReadFileUTF8
// ---------------------------------------------------------------------------

TEST_F(FileUtilsTest, ReadsWholeFileNulTerminated) {
    const std::string text = "<root>\r\n  <device/>\r\n</root>\r\n";
    char* out = nullptr;
    ASSERT_EQ(ReadFileUTF8(Write("d.xml", text), &out), UTILS_SUCCESS);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(out), text);
    delete[] out;
}

TEST_F(FileUtilsTest, KeepsEmbeddedNulBytes) {
    const std::string data("a\0b\0c", 5);
    char* out = nullptr;
    ASSERT_EQ(ReadFileUTF8(Write("bin", data), &out), UTILS_SUCCESS);
    EXPECT_EQ(std::memcmp(out, "a\0b\0c\0", 6), 0);
    delete[] out;
}

TEST_F(FileUtilsTest, StripsByteOrderMark) {
    char* out = nullptr;
    ASSERT_EQ(ReadFileUTF8(Write("bom.xml", "\xEF\xBB\xBF<root/>"), &out), UTILS_SUCCESS);
    EXPECT_STREQ(out, "<root/>");
    delete[] out;
}

TEST_F(FileUtilsTest, ByteOrderMarkOnlyGivesEmptyText) {
    char* out = nullptr;
    ASSERT_EQ(ReadFileUTF8(Write("bom", "\xEF\xBB\xBF"), &out), UTILS_SUCCESS);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out[0], '\0');
    delete[] out;
}

TEST_F(FileUtilsTest, PartialMarkAndEmptyFileAreKept) {
    char* out = nullptr;
    ASSERT_EQ(ReadFileUTF8(Write("partial", "\xEF\xBBx"), &out), UTILS_SUCCESS);
    EXPECT_STREQ(out, "\xEF\xBBx");
    delete[] out;
    out = nullptr;
    ASSERT_EQ(ReadFileUTF8(Write("empty", ""), &out), UTILS_SUCCESS);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out[0], '\0');
    delete[] out;
}

TEST_F(FileUtilsTest, UnreadablePathsFailWithoutTouchingOutput) {
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(Path("subdir").c_str(), 0700), 0);
    for (const std::string& path : {Path("missing"), Path("fifo"), Path("subdir"), dir_}) {
        zel_test::LogCapture capture;
        char sentinel = 0;
        char* out = &sentinel;
        EXPECT_EQ(ReadFileUTF8(path, &out), UTILS_FAILURE) << path;
        EXPECT_EQ(out, &sentinel) << path;
        EXPECT_TRUE(capture.Contains("Unable to open file stream!!", "ZEL_CORE_UTILS")) << path;
    }
    EXPECT_EQ(ReadFileUTF8(Write("x", "y"), nullptr), UTILS_FAILURE);
}

// ---------------------------------------------------------------------------
// CheckFileExistance
// ---------------------------------------------------------------------------

TEST_F(FileUtilsTest, FindsFirstExistingNameInListOrder) {
    Write("second.xml", "2");
    Write("third.xml", "3");
    std::string name, path;
    CheckFileExistance(dir_ + "/", {"first.xml", "second.xml", "third.xml"}, name, path);
    EXPECT_EQ(name, "second.xml");
    EXPECT_EQ(path, Path("second.xml"));
}

TEST_F(FileUtilsTest, FallsBackToUpperCaseName) {
    Write("ICON.PNG", "png");
    std::string name, path;
    CheckFileExistance(dir_ + "/", {"icon.png"}, name, path);
    EXPECT_EQ(name, "ICON.PNG");
    EXPECT_EQ(path, Path("ICON.PNG"));
}

TEST_F(FileUtilsTest, ExactNamesWinOverUpperCaseOnes) {
    Write("A.XML", "upper");
    Write("b.xml", "exact");
    std::string name, path;
    CheckFileExistance(dir_ + "/", {"a.xml", "b.xml"}, name, path);
    EXPECT_EQ(name, "b.xml");
}

TEST_F(FileUtilsTest, DirectoryAndNameAreJoinedWithoutSeparator) {
    Write("subfile", "x");
    std::string name, path;
    CheckFileExistance(dir_ + "/sub", {"file"}, name, path);
    EXPECT_EQ(name, "file");
    EXPECT_EQ(path, dir_ + "/subfile");
}

TEST_F(FileUtilsTest, NothingFoundClearsBothOutputs) {
    std::string name = "stale", path = "stale";
    CheckFileExistance(dir_ + "/", {"none.xml", "NoNe2.xml"}, name, path);
    EXPECT_EQ(name, "");
    EXPECT_EQ(path, "");
}

TEST_F(FileUtilsTest, FifoCandidateDoesNotBlockTheSearch) {
    ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
    std::string name, path;
    CheckFileExistance(dir_ + "/", {"pipe"}, name, path);
    EXPECT_EQ(name, "pipe");
}

TEST_F(FileUtilsTest, EmptyDirectoryOrListLogsAndChangesNothing) {
    Write("a", "a");
    zel_test::LogCapture capture;
    std::string name = "n0", path = "p0";
    CheckFileExistance("", {"a"}, name, path);
    CheckFileExistance(dir_ + "/", {}, name, path);
    EXPECT_EQ(name, "n0");
    EXPECT_EQ(path, "p0");
    EXPECT_EQ(capture.Count("Invalid args!"), 2u);
    EXPECT_TRUE(capture.Contains("Invalid args!", "ZEL_CORE_MRCP"));
}

// ---------------------------------------------------------------------------
// OpenFileStream
// ---------------------------------------------------------------------------

TEST_F(FileUtilsTest, OpenFileStreamReportsMissingFileForReading) {
    zel_test::LogCapture capture;
    std::fstream stream;
    const std::string path = Path("missing");
    EXPECT_EQ(OpenFileStream(path, std::ios::in | std::ios::binary, stream), UTILS_FAILURE);
    EXPECT_TRUE(capture.Contains("Can not open physical file " + path));
}

TEST_F(FileUtilsTest, OpenFileStreamForOutputThrowsInsideAndFails) {
    zel_test::LogCapture capture;
    std::fstream stream;
    EXPECT_EQ(OpenFileStream(Path("no/such/dir"), std::ios::out | std::ios::binary, stream),
              UTILS_FAILURE);
    EXPECT_TRUE(capture.Contains("file_stream.open failed!"));
}

TEST_F(FileUtilsTest, OpenFileStreamWithOutputArmsExceptions) {
    std::fstream stream;
    ASSERT_EQ(OpenFileStream(Path("w"), std::ios::out | std::ios::binary, stream), UTILS_SUCCESS);
    EXPECT_EQ(stream.exceptions(), std::ios::badbit | std::ios::failbit);
    std::fstream reader;
    ASSERT_EQ(OpenFileStream(Path("w"), std::ios::in | std::ios::binary, reader), UTILS_SUCCESS);
    EXPECT_EQ(reader.exceptions(), std::ios::goodbit);
}

// ---------------------------------------------------------------------------
// ZELFileStream
// ---------------------------------------------------------------------------

TEST_F(FileUtilsTest, StreamWriteThenReadBack) {
    const std::string path = Path("data");
    ZELFileStream out;
    ASSERT_EQ(out.Open(path, ZELFileStream::ZEL_FILE_WRITE), UTILS_SUCCESS);
    EXPECT_TRUE(out.IsOpen());
    EXPECT_EQ(out.WriteBuffer(6, "abc\0de"), UTILS_SUCCESS);
    EXPECT_EQ(out.Close(), UTILS_SUCCESS);
    EXPECT_FALSE(out.IsOpen());
    EXPECT_EQ(out.Close(), UTILS_SUCCESS);

    ZELFileStream in;
    ASSERT_EQ(in.Open(path, ZELFileStream::ZEL_FILE_READ), UTILS_SUCCESS);
    long long size = -1;
    ASSERT_EQ(in.GetSize(size), UTILS_SUCCESS);
    EXPECT_EQ(size, 6);
    char buf[16] = {0};
    EXPECT_EQ(in.ReadBuffer(4, buf), 4);
    EXPECT_EQ(std::memcmp(buf, "abc\0", 4), 0);
    // A short read at the end returns what was there.
    EXPECT_EQ(in.ReadBuffer(10, buf), 2);
    EXPECT_EQ(std::memcmp(buf, "de", 2), 0);
}

TEST_F(FileUtilsTest, WriteModeTruncatesAndAppendModeAppends) {
    const std::string path = Write("log", "old content");
    ZELFileStream w;
    ASSERT_EQ(w.Open(path, ZELFileStream::ZEL_FILE_WRITE), UTILS_SUCCESS);
    w.WriteBuffer(3, "new");
    w.Close();
    EXPECT_EQ(Slurp(path), "new");

    ZELFileStream a;
    ASSERT_EQ(a.Open(path, ZELFileStream::ZEL_FILE_APPEND), UTILS_SUCCESS);
    a.WriteBuffer(4, "+one");
    a.Close();
    EXPECT_EQ(Slurp(path), "new+one");
}

TEST_F(FileUtilsTest, ReadWriteModeTruncatesAndReadsBackAfterSeek) {
    const std::string path = Write("rw", "previous");
    ZELFileStream rw;
    ASSERT_EQ(rw.Open(path, ZELFileStream::ZEL_FILE_READ_WRITE), UTILS_SUCCESS);
    long long size = -1;
    ASSERT_EQ(rw.GetSize(size), UTILS_SUCCESS);
    EXPECT_EQ(size, 0);
    ASSERT_EQ(rw.WriteBuffer(10, "0123456789"), UTILS_SUCCESS);
    long long position = 3;
    ASSERT_EQ(rw.SeekToPosition(position, ZELFileStream::ZEL_SEEK_BEGIN), UTILS_SUCCESS);
    char buf[8] = {0};
    EXPECT_EQ(rw.ReadBuffer(2, buf), 2);
    EXPECT_STREQ(buf, "34");
    position = 2;
    ASSERT_EQ(rw.SeekToPosition(position, ZELFileStream::ZEL_SEEK_CURRENT), UTILS_SUCCESS);
    EXPECT_EQ(rw.ReadBuffer(1, buf), 1);
    EXPECT_EQ(buf[0], '7');
    position = -1;
    ASSERT_EQ(rw.SeekToPosition(position, ZELFileStream::ZEL_SEEK_END), UTILS_SUCCESS);
    // This stream throws on failure; the short read at the end is still a count.
    EXPECT_EQ(rw.ReadBuffer(5, buf), 1);
    EXPECT_EQ(buf[0], '9');
}

TEST_F(FileUtilsTest, UnknownOpenModesFail) {
    const std::string path = Write("f", "x");
    for (int mode : {4, 7, -1, 1000}) {
        zel_test::LogCapture capture;
        ZELFileStream s;
        EXPECT_EQ(s.Open(path, static_cast<ZELFileStream::ZELFileOpenMode>(mode)), UTILS_FAILURE)
            << mode;
        EXPECT_FALSE(s.IsOpen());
        EXPECT_TRUE(capture.Contains("Can not open physical file")) << mode;
    }
    EXPECT_EQ(Slurp(path), "x");
}

TEST_F(FileUtilsTest, OpenMissingFileForReadingFails) {
    ZELFileStream s;
    EXPECT_EQ(s.Open(Path("missing"), ZELFileStream::ZEL_FILE_READ), UTILS_FAILURE);
    EXPECT_FALSE(s.IsOpen());
}

TEST_F(FileUtilsTest, SeekRefusesBadModeBadStateAndBadPosition) {
    ZELFileStream s;
    ASSERT_EQ(s.Open(Write("f", "0123"), ZELFileStream::ZEL_FILE_READ), UTILS_SUCCESS);
    zel_test::LogCapture capture;
    long long position = 0;
    EXPECT_EQ(s.SeekToPosition(position, static_cast<ZELFileStream::ZELFileSeekMode>(3)),
              UTILS_FAILURE);
    EXPECT_TRUE(capture.Contains("invalid seek mode!!!"));

    position = -5;
    EXPECT_EQ(s.SeekToPosition(position, ZELFileStream::ZEL_SEEK_BEGIN), UTILS_FAILURE);
    EXPECT_TRUE(capture.Contains("Error:: seekg failed to set position"));

    // The failed seek left the stream failed: everything after says so.
    position = 0;
    EXPECT_EQ(s.SeekToPosition(position, ZELFileStream::ZEL_SEEK_BEGIN), UTILS_FAILURE);
    EXPECT_TRUE(capture.Contains("file handle is not in good state"));
    long long size = 0;
    EXPECT_EQ(s.GetSize(size), UTILS_FAILURE);
    EXPECT_TRUE(capture.Contains("file stream is not in good state to find file size!!"));
    EXPECT_EQ(s.WriteBuffer(1, "x"), UTILS_FAILURE);
    EXPECT_TRUE(capture.Contains("UploadCrash fstream is not good to handle"));
}

TEST_F(FileUtilsTest, FailedSeekOnThrowingStreamIsCaught) {
    ZELFileStream s;
    ASSERT_EQ(s.Open(Path("w"), ZELFileStream::ZEL_FILE_WRITE), UTILS_SUCCESS);
    zel_test::LogCapture capture;
    long long position = -5;
    EXPECT_EQ(s.SeekToPosition(position, ZELFileStream::ZEL_SEEK_BEGIN), UTILS_FAILURE);
    EXPECT_TRUE(capture.Contains("Exception: "));
}

TEST_F(FileUtilsTest, WriteToReadOnlyStreamFails) {
    const std::string path = Write("ro", "keep");
    ZELFileStream s;
    ASSERT_EQ(s.Open(path, ZELFileStream::ZEL_FILE_READ), UTILS_SUCCESS);
    EXPECT_EQ(s.WriteBuffer(4, "lost"), UTILS_FAILURE);
    s.Close();
    EXPECT_EQ(Slurp(path), "keep");
}

TEST_F(FileUtilsTest, ReadAndWriteRefuseBadBuffers) {
    ZELFileStream s;
    ASSERT_EQ(s.Open(Write("f", "data"), ZELFileStream::ZEL_FILE_READ), UTILS_SUCCESS);
    char buf[4];
    EXPECT_EQ(s.ReadBuffer(-1, buf), -1);
    EXPECT_EQ(s.ReadBuffer(4, nullptr), -1);
    EXPECT_EQ(s.WriteBuffer(-1, buf), UTILS_FAILURE);
    EXPECT_EQ(s.WriteBuffer(4, nullptr), UTILS_FAILURE);
    // The stream is still usable.
    EXPECT_EQ(s.ReadBuffer(4, buf), 4);
}

TEST_F(FileUtilsTest, DeleteRemovesTheNamedFile) {
    const std::string path = Write("victim", "x");
    ZELFileStream s;
    s.Delete(path);
    EXPECT_FALSE(boost::filesystem::exists(path));
    // Deleting what is not there is not an error.
    zel_test::LogCapture capture;
    s.Delete(path);
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(FileUtilsTest, DeleteOnBadStreamLogsAndStillDeletes) {
    const std::string path = Write("victim", "x");
    ZELFileStream s;
    ASSERT_EQ(s.Open(Path("missing"), ZELFileStream::ZEL_FILE_READ), UTILS_FAILURE);
    zel_test::LogCapture capture;
    s.Delete(path);
    EXPECT_TRUE(capture.Contains("file_stream is not good"));
    EXPECT_FALSE(boost::filesystem::exists(path));
}

TEST_F(FileUtilsTest, DeleteOfNonEmptyDirectoryIsCaught) {
    ASSERT_TRUE(boost::filesystem::create_directory(Path("full")));
    Write("full/inner", "x");
    zel_test::LogCapture capture;
    ZELFileStream s;
    s.Delete(Path("full"));
    EXPECT_TRUE(capture.Contains("exception in deleting file"));
    EXPECT_TRUE(boost::filesystem::exists(Path("full/inner")));
}

}  // namespace

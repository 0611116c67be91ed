#include <zel_upnp/utils.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <string>
#include <vector>

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

TEST_F(FileUtilsTest, ReadFileUTF8) {
    const std::string kBom = "\xEF\xBB\xBF";
    const std::pair<std::string, std::string> cases[] = {
        {"<root>\r\n  <device/>\r\n</root>\r\n", "<root>\r\n  <device/>\r\n</root>\r\n"},
        {std::string("a\0b\0c", 5), std::string("a\0b\0c", 5)},
        {kBom + "<root/>", "<root/>"},
        {kBom, ""},
        {"\xEF\xBBx", "\xEF\xBBx"},  // a partial mark is kept
        {"", ""},
    };
    for (const auto& c : cases) {
        char* out = nullptr;
        ASSERT_EQ(ReadFileUTF8(Write("f", c.first), &out), UTILS_SUCCESS) << c.first;
        ASSERT_NE(out, nullptr);
        // The whole content with its terminating NUL.
        EXPECT_EQ(std::string(out, c.second.size() + 1), c.second + '\0') << c.first;
        delete[] out;
    }
}

TEST_F(FileUtilsTest, ReadFileUTF8OfUnreadablePathFailsWithoutTouchingOutput) {
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

TEST_F(FileUtilsTest, CheckFileExistance) {
    struct Case {
        std::vector<std::string> files;
        std::string directory;  // below the case's own directory
        std::list<std::string> names;
        std::string name;
        std::string path;  // below the case's own directory; "" for none
    };
    const Case cases[] = {
        // The first existing name in list order.
        {{"second.xml", "third.xml"},
         "/",
         {"first.xml", "second.xml", "third.xml"},
         "second.xml",
         "/second.xml"},
        // Then the upper-case name, reported as such; exact names win.
        {{"ICON.PNG"}, "/", {"icon.png"}, "ICON.PNG", "/ICON.PNG"},
        {{"A.XML", "b.xml"}, "/", {"a.xml", "b.xml"}, "b.xml", "/b.xml"},
        // Directory and name are joined without a separator.
        {{"subfile"}, "/sub", {"file"}, "file", "/subfile"},
        // Nothing found clears both outputs.
        {{}, "/", {"none.xml", "NoNe2.xml"}, "", ""},
    };
    int index = 0;
    for (const Case& c : cases) {
        const std::string caseDir = "c" + std::to_string(index++);
        ASSERT_TRUE(boost::filesystem::create_directory(Path(caseDir)));
        for (const std::string& file : c.files)
            Write(caseDir + "/" + file, "x");
        std::string name = "stale", path = "stale";
        CheckFileExistance(Path(caseDir) + c.directory, c.names, name, path);
        EXPECT_EQ(name, c.name) << caseDir;
        EXPECT_EQ(path, c.path.empty() ? "" : Path(caseDir) + c.path) << caseDir;
    }

    // A FIFO candidate does not block the search.
    ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
    std::string name, path;
    CheckFileExistance(dir_ + "/", {"pipe"}, name, path);
    EXPECT_EQ(name, "pipe");

    zel_test::LogCapture capture;
    name = "n0";
    path = "p0";
    CheckFileExistance("", {"pipe"}, name, path);
    CheckFileExistance(dir_ + "/", {}, name, path);
    EXPECT_EQ(name, "n0");
    EXPECT_EQ(path, "p0");
    EXPECT_EQ(capture.Count("Invalid args!"), 2u);
    EXPECT_TRUE(capture.Contains("Invalid args!", "ZEL_CORE_MRCP"));
}

TEST_F(FileUtilsTest, OpenFileStream) {
    zel_test::LogCapture capture;
    std::fstream missing;
    EXPECT_EQ(OpenFileStream(Path("missing"), std::ios::in | std::ios::binary, missing),
              UTILS_FAILURE);
    EXPECT_TRUE(capture.Contains("Can not open physical file " + Path("missing")));
    // For output, the stream throws on failure; the throw is caught inside.
    std::fstream bad;
    EXPECT_EQ(OpenFileStream(Path("no/such/dir"), std::ios::out | std::ios::binary, bad),
              UTILS_FAILURE);
    EXPECT_TRUE(capture.Contains("file_stream.open failed!"));

    std::fstream writer, reader;
    ASSERT_EQ(OpenFileStream(Path("w"), std::ios::out | std::ios::binary, writer), UTILS_SUCCESS);
    EXPECT_EQ(writer.exceptions(), std::ios::badbit | std::ios::failbit);
    ASSERT_EQ(OpenFileStream(Path("w"), std::ios::in | std::ios::binary, reader), UTILS_SUCCESS);
    EXPECT_EQ(reader.exceptions(), std::ios::goodbit);
}

TEST_F(FileUtilsTest, StreamModes) {
    const std::string path = Write("data", "old content");
    ZELFileStream w;
    ASSERT_EQ(w.Open(path, ZELFileStream::ZEL_FILE_WRITE), UTILS_SUCCESS);
    EXPECT_TRUE(w.IsOpen());
    EXPECT_EQ(w.WriteBuffer(6, "abc\0de"), UTILS_SUCCESS);
    EXPECT_EQ(w.Close(), UTILS_SUCCESS);
    EXPECT_FALSE(w.IsOpen());
    EXPECT_EQ(w.Close(), UTILS_SUCCESS);
    EXPECT_EQ(Slurp(path), std::string("abc\0de", 6));  // truncated

    ZELFileStream a;
    ASSERT_EQ(a.Open(path, ZELFileStream::ZEL_FILE_APPEND), UTILS_SUCCESS);
    a.WriteBuffer(4, "+one");
    a.Close();
    EXPECT_EQ(Slurp(path), std::string("abc\0de+one", 10));

    ZELFileStream r;
    ASSERT_EQ(r.Open(path, ZELFileStream::ZEL_FILE_READ), UTILS_SUCCESS);
    long long size = -1;
    ASSERT_EQ(r.GetSize(size), UTILS_SUCCESS);
    EXPECT_EQ(size, 10);
    char buf[16] = {0};
    EXPECT_EQ(r.ReadBuffer(4, buf), 4);
    EXPECT_EQ(std::memcmp(buf, "abc\0", 4), 0);
    // A short read at the end returns what was there.
    EXPECT_EQ(r.ReadBuffer(10, buf), 6);
    EXPECT_EQ(std::memcmp(buf, "de+one", 6), 0);
    // Writing to a read-only stream fails and changes nothing.
    EXPECT_EQ(r.WriteBuffer(4, "lost"), UTILS_FAILURE);
    r.Close();
    EXPECT_EQ(Slurp(path), std::string("abc\0de+one", 10));

    for (int mode : {4, 7, -1, 1000}) {
        zel_test::LogCapture capture;
        ZELFileStream s;
        EXPECT_EQ(s.Open(path, static_cast<ZELFileStream::ZELFileOpenMode>(mode)), UTILS_FAILURE)
            << mode;
        EXPECT_FALSE(s.IsOpen());
        EXPECT_TRUE(capture.Contains("Can not open physical file")) << mode;
    }
    ZELFileStream missing;
    EXPECT_EQ(missing.Open(Path("missing"), ZELFileStream::ZEL_FILE_READ), UTILS_FAILURE);
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(Slurp(path), std::string("abc\0de+one", 10));
}

TEST_F(FileUtilsTest, ReadWriteModeTruncatesAndSeeks) {
    ZELFileStream rw;
    ASSERT_EQ(rw.Open(Write("rw", "previous"), ZELFileStream::ZEL_FILE_READ_WRITE), UTILS_SUCCESS);
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

    // A failed seek on a throwing stream is caught.
    ZELFileStream w;
    ASSERT_EQ(w.Open(Path("w"), ZELFileStream::ZEL_FILE_WRITE), UTILS_SUCCESS);
    zel_test::LogCapture capture;
    position = -5;
    EXPECT_EQ(w.SeekToPosition(position, ZELFileStream::ZEL_SEEK_BEGIN), UTILS_FAILURE);
    EXPECT_TRUE(capture.Contains("Exception: "));
}

TEST_F(FileUtilsTest, StreamRefusesBadArgumentsAndBadState) {
    ZELFileStream s;
    ASSERT_EQ(s.Open(Write("f", "0123"), ZELFileStream::ZEL_FILE_READ), UTILS_SUCCESS);
    char buf[4];
    EXPECT_EQ(s.ReadBuffer(-1, buf), -1);
    EXPECT_EQ(s.ReadBuffer(4, nullptr), -1);
    EXPECT_EQ(s.WriteBuffer(-1, buf), UTILS_FAILURE);
    EXPECT_EQ(s.WriteBuffer(4, nullptr), UTILS_FAILURE);
    zel_test::LogCapture capture;
    long long position = 0;
    EXPECT_EQ(s.SeekToPosition(position, static_cast<ZELFileStream::ZELFileSeekMode>(3)),
              UTILS_FAILURE);
    EXPECT_TRUE(capture.Contains("invalid seek mode!!!"));
    // None of these broke the stream.
    EXPECT_EQ(s.ReadBuffer(4, buf), 4);

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

TEST_F(FileUtilsTest, Delete) {
    const std::string path = Write("victim", "x");
    ZELFileStream s;
    s.Delete(path);
    EXPECT_FALSE(boost::filesystem::exists(path));
    {
        // Deleting what is not there is not an error.
        zel_test::LogCapture capture;
        s.Delete(path);
        EXPECT_TRUE(capture.Lines().empty());
    }
    zel_test::LogCapture capture;
    ASSERT_TRUE(boost::filesystem::create_directory(Path("full")));
    Write("full/inner", "x");
    s.Delete(Path("full"));
    EXPECT_TRUE(capture.Contains("exception in deleting file"));
    EXPECT_TRUE(boost::filesystem::exists(Path("full/inner")));

    // A stream in a bad state logs, and still deletes.
    Write("victim", "x");
    ZELFileStream bad;
    ASSERT_EQ(bad.Open(Path("missing"), ZELFileStream::ZEL_FILE_READ), UTILS_FAILURE);
    bad.Delete(path);
    EXPECT_TRUE(capture.Contains("file_stream is not good"));
    EXPECT_FALSE(boost::filesystem::exists(path));
}

}  // namespace

#include <zel_upnp/utils.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <list>
#include <string>

#include <boost/algorithm/string/split.hpp>
#include <boost/filesystem.hpp>

namespace {

using namespace zel_upnp::utils;

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
        std::ofstream(Path(name), std::ios::binary) << content;
        return Path(name);
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
        {std::string("a\0b\0c", 5), std::string("a\0b\0c", 5)},
        {kBom + "<root/>", "<root/>"},
        {kBom, ""},
        {"\xEF\xBBx", "\xEF\xBBx"},  // a partial mark is kept
        {"", ""}};
    for (const auto& c : cases) {
        char* out = nullptr;
        ASSERT_EQ(ReadFileUTF8(Write("f", c.first), &out), UTILS_SUCCESS) << c.first;
        // The whole content with its terminating NUL.
        EXPECT_EQ(std::string(out, c.second.size() + 1), c.second + '\0') << c.first;
        delete[] out;
    }
    // Unreadable paths fail without touching the output; a FIFO never blocks.
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    for (const std::string& path : {Path("missing"), Path("fifo"), dir_}) {
        char sentinel = 0;
        char* out = &sentinel;
        EXPECT_EQ(ReadFileUTF8(path, &out), UTILS_FAILURE) << path;
        EXPECT_EQ(out, &sentinel) << path;
    }
    EXPECT_EQ(ReadFileUTF8(Write("x", "y"), nullptr), UTILS_FAILURE);
}

TEST_F(FileUtilsTest, CheckFileExistance) {
    // Files present, names asked for, name and path found ("" for none).
    // Exact names win over upper case; directory and name are joined as given.
    // Lists are split at '|'.
    const auto split = [](const std::string& text) {
        std::list<std::string> out;
        boost::algorithm::split(out, text, [](char c) { return c == '|'; });
        out.remove(std::string());
        return out;
    };
    const char* const cases[][5] = {
        {"second.xml|third.xml", "/", "first.xml|second.xml|third.xml", "second.xml",
         "/second.xml"},
        {"ICON.PNG", "/", "icon.png", "ICON.PNG", "/ICON.PNG"},
        {"A.XML|b.xml", "/", "a.xml|b.xml", "b.xml", "/b.xml"},
        {"subfile", "/sub", "file", "file", "/subfile"},
        {"", "/", "none.xml", "", ""},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string caseDir = "c" + std::to_string(index++);
        ASSERT_TRUE(boost::filesystem::create_directory(Path(caseDir)));
        for (const std::string& file : split(c[0]))
            Write(caseDir + "/" + file, "x");
        std::string name = "stale", path = "stale";
        CheckFileExistance(Path(caseDir) + c[1], split(c[2]), name, path);
        EXPECT_EQ(name, c[3]) << caseDir;
        EXPECT_EQ(path, *c[4] == '\0' ? "" : Path(caseDir) + c[4]) << caseDir;
    }
}

TEST_F(FileUtilsTest, StreamModes) {
    const std::string path = Write("data", "old content");
    ZELFileStream w;
    ASSERT_EQ(w.Open(path, ZELFileStream::ZEL_FILE_WRITE), UTILS_SUCCESS);
    EXPECT_EQ(w.WriteBuffer(6, "abc\0de"), UTILS_SUCCESS);
    EXPECT_EQ(w.Close(), UTILS_SUCCESS);
    EXPECT_EQ(w.Close(), UTILS_SUCCESS);
    EXPECT_EQ(Slurp(path), std::string("abc\0de", 6));  // truncated
    ZELFileStream a;
    ASSERT_EQ(a.Open(path, ZELFileStream::ZEL_FILE_APPEND), UTILS_SUCCESS);
    a.WriteBuffer(4, "+one");
    a.Close();
    const std::string content("abc\0de+one", 10);
    EXPECT_EQ(Slurp(path), content);

    ZELFileStream r;
    ASSERT_EQ(r.Open(path, ZELFileStream::ZEL_FILE_READ), UTILS_SUCCESS);
    long long size = -1;
    ASSERT_EQ(r.GetSize(size), UTILS_SUCCESS);
    EXPECT_EQ(size, 10);
    char buf[16] = {0};
    EXPECT_EQ(r.ReadBuffer(4, buf), 4);
    // A short read at the end returns what was there.
    EXPECT_EQ(r.ReadBuffer(10, buf), 6);
    EXPECT_EQ(std::memcmp(buf, "de+one", 6), 0);
    // A read-only stream refuses writes; a bad mode opens nothing.
    EXPECT_EQ(r.WriteBuffer(4, "lost"), UTILS_FAILURE);
    r.Close();
    ZELFileStream bad;
    EXPECT_EQ(bad.Open(path, static_cast<ZELFileStream::ZELFileOpenMode>(4)), UTILS_FAILURE);
    EXPECT_EQ(Slurp(path), content);
    bad.Delete(path);
    EXPECT_FALSE(boost::filesystem::exists(path));
}

}  // namespace

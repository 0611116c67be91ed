#include <zel_upnp/utils.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

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

}  // namespace

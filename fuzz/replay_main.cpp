// Replays a fuzz target's corpus without libFuzzer, so that every normal
// build runs the seeds (and any reproducer added to them) as a test: each
// argument is a file or a directory of files, each file one input. A crash,
// a sanitizer finding or a trap in the target fails the run.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The files of a directory in name order, so that a failure names the same
// input on every run.
std::vector<std::string> Inputs(const std::string& path) {
    std::vector<std::string> files;
    if (!IsDirectory(path)) {
        files.push_back(path);
        return files;
    }
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return files;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name != "." && name != ".." && !IsDirectory(path + "/" + name))
            files.push_back(path + "/" + name);
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const std::string& file : Inputs(argv[i])) {
            std::ifstream in(file, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", file.c_str());
                return 1;
            }
            std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
            std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), data.size());
            LLVMFuzzerTestOneInput(data.data(), data.size());
            ++replayed;
        }
    }
    if (replayed == 0) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 1;
    }
    std::printf("replayed %zu inputs\n", replayed);
    return 0;
}

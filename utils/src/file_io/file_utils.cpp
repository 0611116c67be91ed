// File helpers: opening streams, reading description documents as text,
// finding a file under either case of its name, and ZELFileStream, the
// binary stream with integer results used by the streaming family.
#include <zel_upnp/utils.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <fstream>
#include <limits>
#include <list>
#include <locale>
#include <new>
#include <string>

#include <boost/filesystem/operations.hpp>

#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace utils {

namespace {

// The UTF-8 byte order mark some editors put in front of description files.
constexpr unsigned char kUtf8Bom[] = {0xEF, 0xBB, 0xBF};
constexpr size_t kUtf8BomSize = sizeof(kUtf8Bom);

bool StartsWithBom(const char* data, size_t size) {
    return size >= kUtf8BomSize && std::memcmp(data, kUtf8Bom, kUtf8BomSize) == 0;
}

// Only regular files are read whole: a directory reports an absurd size and
// opening a FIFO for reading would block until some writer appears.
bool IsRegularFile(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Whether path can be opened for reading. O_NONBLOCK keeps a FIFO from
// blocking the search.
bool CanOpenForReading(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// One pass of CheckFileExistance over names, each transformed by toName.
template <typename ToName>
bool FindFirstReadable(const std::string& directory, const std::list<std::string>& names,
                       ToName toName, std::string& fileName, std::string& filePath) {
    for (const std::string& name : names) {
        fileName = toName(name);
        filePath = directory + fileName;
        if (CanOpenForReading(filePath))
            return true;
    }
    return false;
}

std::string ToUpper(const std::string& name) {
    const std::locale locale;
    std::string upper(name);
    for (char& c : upper)
        c = std::toupper(c, locale);
    return upper;
}

std::ios_base::openmode FlagsOf(ZELFileStream::ZELFileOpenMode mode) {
    switch (mode) {
        case ZELFileStream::ZEL_FILE_READ:
            return std::ios_base::in | std::ios_base::binary;
        case ZELFileStream::ZEL_FILE_WRITE:
            return std::ios_base::out | std::ios_base::trunc | std::ios_base::binary;
        case ZELFileStream::ZEL_FILE_READ_WRITE:
            return std::ios_base::in | std::ios_base::out | std::ios_base::trunc |
                   std::ios_base::binary;
        case ZELFileStream::ZEL_FILE_APPEND:
            return std::ios_base::out | std::ios_base::app | std::ios_base::binary;
    }
    // Binary alone names no access at all, so the open fails and reports it.
    return std::ios_base::binary;
}

}  // namespace

int OpenFileStream(const std::string& path, std::ios_base::openmode mode, std::fstream& stream) {
    try {
        if (mode & std::ios_base::out)
            stream.exceptions(std::ios_base::badbit | std::ios_base::failbit);
        stream.open(path, mode);
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "file_stream.open failed!");
        return UTILS_FAILURE;
    }
    if (!stream.good()) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Can not open physical file %s", path.c_str());
        return UTILS_FAILURE;
    }
    return UTILS_SUCCESS;
}

int ReadFileUTF8(const std::string& path, char** out) {
    if (out == nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Invalid input");
        return UTILS_FAILURE;
    }
    std::ifstream file;
    if (IsRegularFile(path))
        file.open(path, std::ios_base::in | std::ios_base::binary);
    if (!file.is_open()) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Unable to open file stream!!");
        return UTILS_FAILURE;
    }
    file.seekg(0, std::ios_base::end);
    const std::streamoff end = file.tellg();
    file.seekg(0, std::ios_base::beg);
    if (!file.good() || end < 0 ||
        static_cast<unsigned long long>(end) >= std::numeric_limits<size_t>::max()) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Unable to read from file stream!!");
        return UTILS_FAILURE;
    }
    const size_t size = static_cast<size_t>(end);
    // Zeroed, one byte longer than the file, so the text is NUL-terminated.
    char* text = new (std::nothrow) char[size + 1]();
    if (text == nullptr || !file.read(text, static_cast<std::streamsize>(size))) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Unable to read from file stream!!");
        delete[] text;
        return UTILS_FAILURE;
    }
    file.close();
    if (StartsWithBom(text, size)) {
        char* body = new (std::nothrow) char[size - kUtf8BomSize + 1]();
        if (body == nullptr) {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Unable to read from file stream!!");
            delete[] text;
            return UTILS_FAILURE;
        }
        std::memcpy(body, text + kUtf8BomSize, size - kUtf8BomSize);
        delete[] text;
        text = body;
    }
    *out = text;
    return UTILS_SUCCESS;
}

void CheckFileExistance(const std::string& directory, const std::list<std::string>& names,
                        std::string& fileName, std::string& filePath) {
    if (names.empty() || directory.empty()) {
        ZEL_LOGE(ZEL_CORE_MRCP, "Invalid args!");
        return;
    }
    const auto asGiven = [](const std::string& name) { return name; };
    if (FindFirstReadable(directory, names, asGiven, fileName, filePath))
        return;
    if (FindFirstReadable(directory, names, ToUpper, fileName, filePath))
        return;
    fileName.clear();
    filePath.clear();
}

int ZELFileStream::Open(const std::string& path, ZELFileOpenMode mode) {
    try {
        return OpenFileStream(path, FlagsOf(mode), *this);
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "fopen failed!");
        return UTILS_FAILURE;
    }
}

int ZELFileStream::Close() {
    try {
        if (is_open())
            close();
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "fclose failed!");
    }
    return UTILS_SUCCESS;
}

void ZELFileStream::Delete(const std::string& path) {
    if (!good())
        ZEL_LOGE(ZEL_CORE_UTILS, "file_stream is not good");
    try {
        boost::filesystem::remove(path);
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "exception in deleting file");
    }
}

bool ZELFileStream::IsOpen() {
    return is_open();
}

int ZELFileStream::GetSize(long long& size) {
    try {
        if (!good()) {
            ZEL_LOGE(ZEL_CORE_UTILS, "file stream is not in good state to find file size!!");
            return UTILS_FAILURE;
        }
        seekg(0, std::ios_base::end);
        const std::streamoff end = tellg();
        if (fail() || end < 0) {
            ZEL_LOGE(ZEL_CORE_UTILS,
                     "Error [1] Input File Stream Seek Error, Can't determinte file size!!");
            return UTILS_FAILURE;
        }
        seekg(0, std::ios_base::beg);
        if (fail()) {
            ZEL_LOGE(ZEL_CORE_UTILS,
                     "Error [2] Input File Stream Seek Error, Can't determinte file size!!");
            return UTILS_FAILURE;
        }
        size = end;
        return UTILS_SUCCESS;
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Exception: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Unknown exception thrown while determining the file size!");
    }
    return UTILS_FAILURE;
}

int ZELFileStream::ReadBuffer(const int& length, void* buffer) {
    if (length < 0 || (buffer == nullptr && length > 0)) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Invalid input");
        return -1;
    }
    try {
        read(static_cast<char*>(buffer), length);
        return static_cast<int>(gcount());
    } catch (const std::exception& e) {
        // Streams opened with output throw on a short read too; reaching the
        // end of the file is still a successful, shorter read.
        if (eof())
            return static_cast<int>(gcount());
        ZEL_LOGE(ZEL_CORE_UTILS, "Exception: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Unknown exception thrown while attempting to read from file!");
    }
    return -1;
}

int ZELFileStream::WriteBuffer(const int& length, const void* buffer) {
    if (length < 0 || (buffer == nullptr && length > 0)) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Invalid input");
        return UTILS_FAILURE;
    }
    try {
        if (!good()) {
            ZEL_LOGE(ZEL_CORE_UTILS, "UploadCrash fstream is not good to handle");
            return UTILS_FAILURE;
        }
        write(static_cast<const char*>(buffer), length);
        // A read-only stream does not throw; its failed write only sets the state.
        if (!good()) {
            ZEL_LOGE(ZEL_CORE_UTILS, "write of %d bytes failed", length);
            return UTILS_FAILURE;
        }
        return UTILS_SUCCESS;
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Exception: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Unknown exception thrown while writing into file!");
    }
    return UTILS_FAILURE;
}

int ZELFileStream::SeekToPosition(long long& position, ZELFileSeekMode mode) {
    std::ios_base::seekdir direction;
    switch (mode) {
        case ZEL_SEEK_BEGIN:
            direction = std::ios_base::beg;
            break;
        case ZEL_SEEK_CURRENT:
            direction = std::ios_base::cur;
            break;
        case ZEL_SEEK_END:
            direction = std::ios_base::end;
            break;
        default:
            ZEL_LOGE(ZEL_CORE_UTILS, "invalid seek mode!!!");
            return UTILS_FAILURE;
    }
    try {
        if (!good()) {
            ZEL_LOGE(ZEL_CORE_UTILS, "file handle is not in good state");
            return UTILS_FAILURE;
        }
        seekg(static_cast<std::streamoff>(position), direction);
        if (fail()) {
            ZEL_LOGE(ZEL_CORE_UTILS, "Error:: seekg failed to set position");
            return UTILS_FAILURE;
        }
        return UTILS_SUCCESS;
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Exception: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Unknown exception while seeking in file!");
    }
    return UTILS_FAILURE;
}

}  // namespace utils
}  // namespace zel_upnp
